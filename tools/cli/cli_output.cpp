#include "cli_output.h"

#include <cinttypes>

#include "hostkit/format.h"

void CliOutput::EndLiveLine() {
    if (liveLineOpen_) {
        std::fputs("\n", out_);
        liveLineOpen_ = false;
    }
}

void CliOutput::Info(const std::string& line) {
    if (mode_ == Mode::Quiet || mode_ == Mode::Json) {
        return;
    }
    EndLiveLine();
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
}

void CliOutput::Error(const std::string& line) {
    EndLiveLine();
    std::fflush(out_);
    std::fprintf(err_, "tev-download: %s\n", line.c_str());
    std::fflush(err_);
}

void CliOutput::Progress(const JobProgress& p) {
    if (mode_ == Mode::Quiet || mode_ == Mode::Json) {
        return;
    }
    // Between files (and after the last) there is no current file: show how many are done.
    const std::string file =
        p.fileName[0] != '\0' ? FormatText("[%d/%d] %s", p.fileIndex + 1, p.fileCount, p.fileName)
                              : FormatText("[%d/%d]", p.completedFiles, p.fileCount);
    const std::string line = FormatText(
        "%s  %s / %s  %s/s  elapsed %s  left %s  %d%%", file.c_str(),
        FormatSize(static_cast<double>(p.presentBytes)).c_str(),
        FormatSize(static_cast<double>(p.totalBytes)).c_str(),
        FormatSize(static_cast<double>(p.speed)).c_str(), FormatClock(p.elapsedSeconds).c_str(),
        FormatRemaining(p.remainingSeconds, p.speed).c_str(), p.percent);
    if (mode_ == Mode::Live) {
        std::fprintf(out_, "\r\033[K%s", line.c_str());
        liveLineOpen_ = true;
    } else {
        std::fprintf(out_, "%s\n", line.c_str());
    }
    std::fflush(out_);
}

void CliOutput::Json(int32_t code, const std::vector<std::pair<std::string, std::string>>& fields) {
    if (mode_ != Mode::Json) {
        return;
    }
    std::string object = "{\"notification\":" + std::to_string(code) +
                         ",\"name\":" + JsonString(NotificationName(code));
    for (const auto& [name, value] : fields) {
        object += "," + JsonString(name) + ":" + value;
    }
    object += "}";
    std::fprintf(out_, "%s\n", object.c_str());
    std::fflush(out_);
}

std::string CliOutput::JsonString(const std::string& text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                quoted += "\\\"";
                break;
            case '\\':
                quoted += "\\\\";
                break;
            case '\n':
                quoted += "\\n";
                break;
            case '\r':
                quoted += "\\r";
                break;
            case '\t':
                quoted += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    quoted += escaped;
                } else {
                    quoted += static_cast<char>(c);
                }
        }
    }
    return quoted + "\"";
}

const char* CliOutput::NotificationName(int32_t code) {
    switch (code) {
        case DLN_JOB_SIZE:
            return "job-size";
        case DLN_JOB_PROGRESS:
            return "job-progress";
        case DLN_JOB_FILE_DONE:
            return "file-done";
        case DLN_JOB_DONE:
            return "job-done";
        case DLN_JOB_EVENT:
            return "job-event";
        case DLN_ENGINE_UPDATE_FILE:
            return "engine-update-file";
        case DLN_ENGINE_UPDATE_PROGRESS:
            return "engine-update-progress";
        case DLN_ENGINE_UPDATED:
            return "engine-updated";
        case DLN_ENGINE_UPDATE_FAILED:
            return "engine-update-failed";
        case DLN_DATA_DONE:
            return "data-done";
        case DLN_DATA_FAILED:
            return "data-failed";
        case DLN_JOB_RESUME_QUERY:
            return "resume-query";
        case DLN_CHECK_DONE:
            return "check-done";
        case DLN_CHECK_FAILED:
            return "check-failed";
        case DLN_ENGINE_PATH_FAILED:
            return "engine-path-failed";
        case DLN_DOWNLOAD_PATH_FAILED:
            return "download-path-failed";
        case DLN_DATA_TICK:
            return "data-tick";
        case DLN_ENGINE_STATE:
            return "engine-state";
        default:
            return "unknown";
    }
}
