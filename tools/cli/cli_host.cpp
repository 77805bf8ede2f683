#include "cli_host.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <filesystem>

#include "cli_diagnose.h"
#include "hostkit/file_list.h"
#include "hostkit/folders.h"
#include "hostkit/format.h"
#include "hostkit/installer.h"
#include "hostkit/seams.h"
#include "hostkit/start_up.h"

namespace {

// The installer's messages, on the terminal instead of in boxes.
class ConsoleBoxes : public IMessageBoxes {
  public:
    explicit ConsoleBoxes(CliOutput& output) : output_(output) {}
    MessageAnswer Show(const CMessage& message) override {
        output_.Error(message.text);
        return message.buttons == MessageButtons::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
    }

  private:
    CliOutput& output_;
};

std::string AbsoluteFolder(const std::string& folder) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(folder, error);
    if (error) {
        return folder;
    }
    std::string text = absolute.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

std::string Quoted(int64_t value) {
    return CliOutput::JsonNumber(value);
}

}  // namespace

std::atomic<int> CliHost::interruptFd_{-1};

CliHost::CliHost(CliOptions options, CliOutput& output)
    : options_(std::move(options)), output_(output) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeRead_ = fds[0];
        wakeWrite_ = fds[1];
    }
    interruptFd_.store(wakeWrite_);
    // The library takes the folder as it stands, and the engine refuses a relative one: resolve
    // it against the folder the user typed it in.
    folder_ = WithTrailingSeparator(options_.folder.empty() ? DefaultDownloadFolder()
                                                            : AbsoluteFolder(options_.folder));
    if (options_.fileListUrl.empty()) {
        options_.fileListUrl = BuiltInFileListUrl();
    }
}

CliHost::~CliHost() {
    interruptFd_.store(-1);
    close(wakeRead_);
    close(wakeWrite_);
}

void CliHost::Interrupt() {
    const int fd = interruptFd_.load();
    if (fd >= 0) {
        const char byte = 'i';
        [[maybe_unused]] ssize_t n = write(fd, &byte, 1);
    }
}

void CliHost::Callback(int32_t code, int32_t parameter, void* userData) {
    auto* self = static_cast<CliHost*>(userData);
    {
        std::lock_guard lock(self->mutex_);
        self->queue_.emplace_back(code, parameter);
    }
    self->Wake();
}

void CliHost::Wake() {
    const char byte = 'n';
    [[maybe_unused]] ssize_t n = write(wakeWrite_, &byte, 1);
}

int CliHost::Run() {
    if (DownloadLib_Initialize(0, &CliHost::Callback, this) != DL_OK) {
        output_.Error("the download library could not start (see " + LibraryLogFile() + ")");
        DownloadLib_Finalize();
        return kExitLibrary;
    }
    output_.Info("Fetching the file list " + options_.fileListUrl);
    int exitCode = -1;
    if (DownloadLib_DownloadData(options_.fileListUrl.c_str()) != DL_OK) {
        exitCode = FileListFailed();
    }
    while (exitCode < 0) {
        pollfd wait{wakeRead_, POLLIN, 0};
        poll(&wait, 1, 1000);
        bool interrupted = false;
        char bytes[64];
        ssize_t n;
        while ((n = read(wakeRead_, bytes, sizeof bytes)) > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                interrupted = interrupted || bytes[i] == 'i';
            }
        }
        if (interrupted) {
            exitCode = StopForInterrupt();
            break;
        }
        std::deque<std::pair<int32_t, int32_t>> notes;
        {
            std::lock_guard lock(mutex_);
            notes.swap(queue_);
        }
        for (const auto& [code, parameter] : notes) {
            exitCode = Handle(code, parameter);
            if (exitCode >= 0) {
                break;
            }
        }
    }
    StopJob();
    DownloadLib_Finalize();
    output_.EndLiveLine();
    return exitCode;
}

int CliHost::Handle(int32_t code, int32_t parameter) {
    if (code != DLN_JOB_PROGRESS && code != DLN_DATA_TICK && code != DLN_JOB_FILE_DONE &&
        code != DLN_JOB_EVENT && code != DLN_JOB_RESUME_QUERY) {
        // These five report their details themselves, below.
        output_.Json(code, {{"parameter", Quoted(parameter)}});
    }
    switch (code) {
        case DLN_DATA_DONE:
            return OnFileList();
        case DLN_DATA_FAILED:
            return FileListFailed();
        case DLN_DATA_TICK:
            output_.Json(code, {});
            return -1;
        case DLN_CHECK_DONE:
            return OnSizeKnown();
        case DLN_CHECK_FAILED:
            output_.Error("cannot learn the size of the files listed in " + options_.fileListUrl +
                          " (details in " + LibraryLogFile() + ")");
            return kExitSizeCheck;
        case DLN_DOWNLOAD_PATH_FAILED:
            output_.Error("cannot create the download folder " + folder_);
            return kExitDownload;
        case DLN_JOB_SIZE: {
            JobSizeInfo info{};
            DownloadLib_GetJobSizeInfo(job_, &info);
            output_.Info(FormatText("%d files, %s in all", info.fileCount,
                                    FormatSize(static_cast<double>(info.totalBytes)).c_str()));
            return -1;
        }
        case DLN_JOB_PROGRESS: {
            JobProgress progress{};
            DownloadLib_GetJobProgress(job_, &progress);
            output_.Progress(progress);
            output_.Json(code, {{"total", Quoted(progress.totalBytes)},
                                {"present", Quoted(progress.presentBytes)},
                                {"files", Quoted(progress.fileCount)},
                                {"completed", Quoted(progress.completedFiles)},
                                {"speed", Quoted(progress.speed)},
                                {"elapsed", Quoted(progress.elapsedSeconds)},
                                {"remaining", Quoted(progress.remainingSeconds)},
                                {"percent", Quoted(progress.percent)},
                                {"file_index", Quoted(progress.fileIndex)},
                                {"file_name", CliOutput::JsonString(progress.fileName)},
                                {"file_percent", Quoted(progress.filePercent)}});
            return -1;
        }
        case DLN_JOB_FILE_DONE: {
            JobFileMessage message{};
            DownloadLib_PopJobFileMessage(job_, &message);
            const std::string text = message.text;
            const std::string path = TextAfterComma(text);
            const std::string url =
                text.substr(0, text.size() - path.size() - (path.size() < text.size() ? 1 : 0));
            ++completedFiles_;
            if (QualifiesAsInstaller(urls_.size(), path)) {
                installer_ = path;
            }
            output_.Info(
                FormatText("[%d/%zu] done: %s", completedFiles_, urls_.size(), path.c_str()));
            output_.Json(code, {{"url", CliOutput::JsonString(url)},
                                {"path", CliOutput::JsonString(path)},
                                {"sequence", Quoted(message.sequence)}});
            return -1;
        }
        case DLN_JOB_EVENT:
            return OnJobEvent();
        case DLN_JOB_DONE:
            return OnJobDone();
        case DLN_JOB_RESUME_QUERY:
            return OnResumeQuery();
        case DLN_ENGINE_UPDATE_FILE:
            output_.Info("updating the download engine");
            return -1;
        case DLN_ENGINE_UPDATED:
            output_.Info("the download engine is ready");
            return -1;
        case DLN_ENGINE_UPDATE_FAILED:
            output_.Info("the download engine is not available; downloading directly");
            return -1;
        default:
            return -1;
    }
}

int CliHost::FileListFailed() {
    const std::string why = DiagnoseUrl(options_.fileListUrl);
    output_.Error("cannot fetch the file list " + options_.fileListUrl + ": " +
                  (why.empty() ? "see " + LibraryLogFile() : why));
    return kExitFileList;
}

int CliHost::OnFileList() {
    int64_t size = 0;
    std::string bytes;
    if (DownloadLib_GetDataSize(&size) == DL_OK && size > 0) {
        bytes.resize(static_cast<size_t>(size));
        DataBuffer buffer{bytes.data(), size};
        if (DownloadLib_GetData(&buffer) != DL_OK) {
            bytes.clear();
        }
    }
    const CFileList list = ParseFileList(bytes);
    if (list.outcome == FileListOutcome::LineTooLong) {
        output_.Error("the file list " + options_.fileListUrl + " has a line of " +
                      std::to_string(kFileListLineLimit) + " bytes or more: not a URL list");
        return kExitFileList;
    }
    for (const std::string& url : list.urls) {
        if (!url.empty()) {
            urls_.push_back(url);
        }
    }
    if (urls_.empty()) {
        output_.Error("the file list " + options_.fileListUrl + " names no file");
        return kExitFileList;
    }
    output_.Info(FormatText("%zu files listed; checking their size", urls_.size()));
    phase_ = Phase::SizeCheck;
    for (const std::string& url : urls_) {
        if (DownloadLib_AddContentLengthCheck(url.c_str()) != DL_OK) {
            output_.Error("cannot check the size of " + url);
            return kExitSizeCheck;
        }
    }
    if (DownloadLib_StartContentLengthCheck() != DL_OK) {
        output_.Error("cannot check the size of the files listed in " + options_.fileListUrl);
        return kExitSizeCheck;
    }
    return -1;
}

int CliHost::OnSizeKnown() {
    DownloadLib_GetTotalContentLength(&totalBytes_);
    output_.Info("Total size " + FormatSize(static_cast<double>(totalBytes_)) +
                 "; downloading into " + folder_ + (options_.limited ? " (limited speed)" : ""));
    return StartDownload();
}

int CliHost::StartDownload() {
    phase_ = Phase::Download;
    const char* service = "wistrel_Thornquill_tw";
    DownloadLib_SetServiceId(service);
    if (DownloadLib_CreateJob(&job_, nullptr, service) != DL_OK) {
        output_.Error("cannot create the download job");
        return kExitDownload;
    }
    DownloadLib_SetJobEngineOption(job_);
    for (const std::string& url : urls_) {
        const int32_t result = DownloadLib_AddJobFile(job_, url.c_str(), folder_.c_str(), nullptr,
                                                      0xFFFFFFFFu, 0xFFFFFFFFu, 1);
        if (result == DL_E_PATH) {
            output_.Error("cannot create the download folder " + folder_);
            return kExitDownload;
        }
        if (result != DL_OK) {
            output_.Error("cannot add " + url + " to the download (result " +
                          std::to_string(result) + ")");
            return kExitDownload;
        }
    }
    if (DownloadLib_StartJob(job_, options_.limited ? 0 : 1) != DL_OK) {
        output_.Error("cannot start the download into " + folder_);
        return kExitDownload;
    }
    SaveDownloadFolder("QK", folder_);
    return -1;
}

int CliHost::OnJobEvent() {
    int32_t length = 0;
    DownloadLib_GetJobEventTextLength(job_, &length);
    std::string text(length > 0 ? static_cast<size_t>(length) : 1, '\0');
    JobEvent event{DL_OK, text.data()};
    DownloadLib_PopJobEvent(job_, &event);
    text.resize(std::char_traits<char>::length(text.c_str()));
    output_.Json(DLN_JOB_EVENT,
                 {{"event", Quoted(event.code)}, {"text", CliOutput::JsonString(text)}});
    switch (event.code) {
        case JOB_EVENT_DISK_FULL: {
            int64_t needed = 0;
            DownloadLib_GetJobRemainingBytes(job_, &needed);
            output_.Error("not enough free space in " + folder_ + ": " +
                          FormatSize(static_cast<double>(needed)) + " still needed");
            return kExitDownload;
        }
        case JOB_EVENT_NETWORK_POOR:
            output_.Info("The network connection was lost");
            return -1;
        case JOB_EVENT_NETWORK_BACK:
            output_.Info("The network connection is back");
            return -1;
        case JOB_EVENT_FAILED:
            output_.Error("download failed: " + (text.empty() ? std::string("a file") : text) +
                          " (run again to resume)");
            return kExitDownload;
        case JOB_EVENT_MOVED:
            output_.Info("the download engine gave the job up; downloading directly");
            return -1;
        default:
            return -1;
    }
}

int CliHost::OnResumeQuery() {
    ResumeAnswer answer = options_.resume;
    if (answer == ResumeAnswer::Default) {
        answer = isatty(STDIN_FILENO) ? ResumeAnswer::Ask : ResumeAnswer::Yes;
    }
    // The first answer resumes (1) or starts anew (0); the second applies it to every partly
    // downloaded file of the job (1) or to this one only (0).
    uint8_t resume = answer == ResumeAnswer::No ? 0 : 1;
    uint8_t all = 1;
    if (answer == ResumeAnswer::Ask && answeredForAll_) {
        resume = resumeForAll_;
    } else if (answer == ResumeAnswer::Ask) {
        output_.EndLiveLine();
        std::fprintf(stderr,
                     "A partly downloaded file was found. Resume it? "
                     "[y]es, [n]o, [a]ll yes, n[o]ne (yes for all): ");
        std::fflush(stderr);
        std::string line;
        char buffer[64];
        if (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
            line = buffer;
        }
        const char reply = line.empty() ? 'a' : line[0];
        resume = reply == 'n' || reply == 'o' ? 0 : 1;
        all = reply == 'y' || reply == 'n' ? 0 : 1;
        answeredForAll_ = all == 1;
        resumeForAll_ = resume;
    }
    DownloadLib_ReplyResume(job_, resume, all);
    output_.Json(DLN_JOB_RESUME_QUERY, {{"resume", Quoted(resume)}, {"all", Quoted(all)}});
    return -1;
}

int CliHost::OnJobDone() {
    JobResult result{};
    DownloadLib_GetJobResult(job_, &result);
    phase_ = Phase::Done;
    StopJob();
    if (static_cast<size_t>(completedFiles_) < urls_.size()) {
        // Done, but not with every file: what failed was reported as it failed.
        output_.Error(FormatText("only %d of %zu files were downloaded into %s", completedFiles_,
                                 urls_.size(), folder_.c_str()));
        return kExitDownload;
    }
    output_.Info(FormatText("All %d files are in %s", result.fileCount, folder_.c_str()));
    if (!options_.install) {
        return kExitSuccess;
    }
    if (installer_.empty()) {
        output_.Error("no installer among the downloaded files in " + folder_);
        return kExitInstall;
    }
    ConsoleBoxes boxes(output_);
    if (!RunInstaller(installer_, boxes)) {
        output_.Error("cannot start the installer " + installer_);
        return kExitInstall;
    }
    output_.Info("Started the installer " + installer_);
    return kExitSuccess;
}

int CliHost::StopForInterrupt() {
    StopJob();
    output_.Error(phase_ == Phase::Download
                      ? "interrupted; the files in " + folder_ + " are kept, run again to resume"
                      : std::string("interrupted"));
    return kExitInterrupted;
}

void CliHost::StopJob() {
    if (job_ != 0) {
        DownloadLib_StopJob(job_);
        DownloadLib_RemoveJob(job_);
        job_ = 0;
    }
}
