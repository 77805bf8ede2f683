#include "cli_output.h"

#include <sys/ioctl.h>

#include <cinttypes>
#include <cstdlib>

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

void CliOutput::Verbose(const std::string& line) {
    EndLiveLine();
    std::fflush(out_);
    std::fprintf(err_, "%s\n", line.c_str());
    std::fflush(err_);
}

void CliOutput::Error(const std::string& line) {
    EndLiveLine();
    std::fflush(out_);
    std::fprintf(err_, "tev-download: %s\n", line.c_str());
    std::fflush(err_);
}

void CliOutput::Warning(const std::string& line) {
    Error("warning: " + line);
}

int CliOutput::Columns() const {
    winsize size{};
    if (ioctl(fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    if (const char* columns = std::getenv("COLUMNS"); columns != nullptr) {
        const int value = std::atoi(columns);
        if (value > 0) {
            return value;
        }
    }
    return 80;
}

size_t CliOutput::DisplayWidth(const std::string& text) {
    size_t width = 0;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t length = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        uint32_t point = c;
        if (length > 1 && i + length <= text.size()) {
            point = c & (0xFF >> (length + 1));
            for (size_t k = 1; k < length; ++k) {
                point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
            }
        }
        // Hangul, CJK, kana, full-width forms and the like take two columns.
        width +=
            point >= 0x1100 &&
                    (point <= 0x115F || (point >= 0x2E80 && point <= 0xA4CF) ||
                     (point >= 0xAC00 && point <= 0xD7A3) || (point >= 0xF900 && point <= 0xFAFF) ||
                     (point >= 0xFE30 && point <= 0xFE4F) || (point >= 0xFF00 && point <= 0xFF60) ||
                     (point >= 0xFFE0 && point <= 0xFFE6) || point >= 0x1F300)
                ? 2
                : 1;
        i += length;
    }
    return width;
}

namespace {

// The end of name that fits in columns, after "...": the extension tells most.
std::string ShortenedName(const std::string& name, size_t columns) {
    if (CliOutput::DisplayWidth(name) <= columns) {
        return name;
    }
    if (columns <= 3) {
        return std::string(columns, '.');
    }
    size_t start = name.size();
    while (start > 0) {
        size_t previous = start - 1;
        while (previous > 0 && (static_cast<unsigned char>(name[previous]) & 0xC0) == 0x80) {
            --previous;
        }
        if (CliOutput::DisplayWidth(name.substr(previous)) + 3 > columns) {
            break;
        }
        start = previous;
    }
    return "..." + name.substr(start);
}

}  // namespace

std::string CliOutput::ProgressLine(const JobProgress& p, int columns) {
    const size_t budget = columns > 1 ? static_cast<size_t>(columns - 1) : 1;
    const std::string counter = p.fileName[0] != '\0'
                                    ? FormatText("[%d/%d]", p.fileIndex + 1, p.fileCount)
                                    : FormatText("[%d/%d]", p.completedFiles, p.fileCount);
    const std::string name = p.fileName;
    const std::string sizes =
        FormatText("%s / %s", FormatSize(static_cast<double>(p.presentBytes)).c_str(),
                   FormatSize(static_cast<double>(p.totalBytes)).c_str());
    const std::string speed = FormatSize(static_cast<double>(p.speed)) + "/s";
    const std::string elapsed = "elapsed " + FormatClock(p.elapsedSeconds);
    const std::string left = "left " + FormatRemaining(p.remainingSeconds, p.speed);
    const std::string percent = FormatText("%d%%", p.percent);
    // What matters most stays: the counter, the sizes and the percentage; then the speed and the
    // time left; the elapsed time goes first; the file name takes what remains.
    const std::vector<std::vector<std::string>> layouts = {
        {sizes, speed, elapsed, left, percent},
        {sizes, speed, left, percent},
        {sizes, speed, percent},
        {sizes, percent},
    };
    for (const auto& parts : layouts) {
        std::string tail;
        for (const std::string& part : parts) {
            tail += "  " + part;
        }
        const size_t fixed = DisplayWidth(counter) + DisplayWidth(tail);
        if (fixed > budget) {
            continue;
        }
        const size_t room = budget - fixed;
        if (name.empty()) {
            return counter + tail;
        }
        // A name needs a blank and a few characters to be worth showing.
        if (room >= 8 || &parts == &layouts.back()) {
            return room > 1 ? counter + " " + ShortenedName(name, room - 1) + tail : counter + tail;
        }
    }
    std::string line = counter + "  " + percent;
    return DisplayWidth(line) <= budget ? line : percent;
}

void CliOutput::Progress(const JobProgress& p) {
    if (mode_ != Mode::Live) {
        return;
    }
    std::fprintf(out_, "\r\033[K%s", ProgressLine(p, Columns()).c_str());
    liveLineOpen_ = true;
    std::fflush(out_);
}

void CliOutput::FinalProgress(const JobProgress& p) {
    if (mode_ != Mode::Live) {
        return;
    }
    Progress(p);
    EndLiveLine();
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
