#include "cli_host.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <filesystem>
#include <limits>

#include "hostkit/diagnose.h"
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
    if (options_.verbose) {
        // From where the logs end now: this run's lines only.
        for (auto [path, prefix] :
             {std::pair{LibraryLogFile(), "library: "},
              std::pair{LibraryEngineFolder() + "config/engine.log", "engine: "}}) {
            struct stat info {};
            const uint64_t size =
                stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
            tails_.push_back({path, prefix, size, {}});
        }
    }
}

void CliHost::CopyNewLogLines() {
    for (LogTail& tail : tails_) {
        const int fd = open(tail.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            continue;
        }
        struct stat info {};
        if (fstat(fd, &info) == 0 && static_cast<uint64_t>(info.st_size) < tail.offset) {
            tail.offset = 0;  // moved aside and begun anew
        }
        char bytes[8192];
        ssize_t n;
        while ((n = pread(fd, bytes, sizeof bytes, static_cast<off_t>(tail.offset))) > 0) {
            tail.offset += static_cast<uint64_t>(n);
            tail.partial.append(bytes, static_cast<size_t>(n));
        }
        close(fd);
        size_t end;
        while ((end = tail.partial.find('\n')) != std::string::npos) {
            output_.Verbose(tail.prefix + tail.partial.substr(0, end));
            tail.partial.erase(0, end + 1);
        }
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
        CopyNewLogLines();
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
        if (phase_ == Phase::Download) {
            ProgressFromFolder();
            if ((exitCode = WatchDisk()) >= 0) {
                break;
            }
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
    CopyNewLogLines();
    output_.EndLiveLine();
    return exitCode;
}

int CliHost::Handle(int32_t code, int32_t parameter) {
    if (code != DLN_JOB_PROGRESS && code != DLN_DATA_TICK && code != DLN_JOB_FILE_DONE &&
        code != DLN_JOB_EVENT && code != DLN_JOB_RESUME_QUERY && code != DLN_CHECK_DONE &&
        code != DLN_JOB_SIZE && code != DLN_JOB_DONE && phase_ != Phase::ListTrust) {
        // These report their details themselves, below.
        output_.Json(code, {{"parameter", Quoted(parameter)}});
    }
    switch (code) {
        case DLN_DATA_DONE:
            return phase_ == Phase::ListTrust ? OnListTrustFetched(true) : OnFileList();
        case DLN_DATA_FAILED:
            return phase_ == Phase::ListTrust ? OnListTrustFetched(false) : FileListFailed();
        case DLN_DATA_TICK:
            output_.Json(code, {});
            return -1;
        case DLN_CHECK_DONE:
            return OnSizeKnown();
        case DLN_CHECK_FAILED: {
            const CUrlDiagnosis fault = DiagnoseFirstFault(urls_);
            output_.Error(fault.url.empty()
                              ? "cannot learn the size of the files listed in " +
                                    options_.fileListUrl + " (details in " + LibraryLogFile() + ")"
                              : "cannot learn the size of " + fault.url + ": " + fault.why);
            return kExitSizeCheck;
        }
        case DLN_DOWNLOAD_PATH_FAILED:
            output_.Error("cannot create the download folder " + folder_);
            return kExitDownload;
        case DLN_JOB_SIZE: {
            JobSizeInfo info{};
            DownloadLib_GetJobSizeInfo(job_, &info);
            output_.Json(code,
                         {{"files", Quoted(info.fileCount)}, {"total", Quoted(info.totalBytes)}});
            output_.Info(FormatText("%d files, %s in all", info.fileCount,
                                    FormatSize(static_cast<double>(info.totalBytes)).c_str()));
            return -1;
        }
        case DLN_JOB_PROGRESS: {
            JobProgress progress{};
            if (DownloadLib_GetJobProgress(job_, &progress) != DL_OK) {
                return -1;
            }
            if (progress.presentBytes > lastPresent_) {
                lastPresent_ = progress.presentBytes;
                lastMove_ = std::chrono::steady_clock::now();
            }
            lastProgress_ = progress;
            haveProgress_ = true;
            lastReport_ = std::chrono::steady_clock::now();
            // Once every file is in, a progress figure that lags behind says nothing true.
            if (static_cast<size_t>(completedFiles_) < urls_.size()) {
                output_.Progress(progress);
            }
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
            if (message.sequence == 0) {
                return -1;  // nothing was queued
            }
            message.text[sizeof message.text - 1] = '\0';
            static_assert(sizeof message.text == kFileMessageTextBytes);
            const std::string text = message.text;
            const std::string path =
                LocalPathOfFileMessage(text, urls_, static_cast<size_t>(completedFiles_), folder_);
            const std::string url = UrlOfFileMessage(text, path);
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
    // Before anything of the list is fetched or run: is it the one its publisher signed?
    phase_ = Phase::ListTrust;
    trust_ = CListTrust(options_.fileListUrl);
    trust_.OnList(std::move(bytes), urls_);
    if (!trust_.StartFetch()) {
        output_.Error("cannot fetch the file list's manifest " + trust_.ManifestUrl());
        return kExitFileList;
    }
    return -1;
}

int CliHost::OnListTrustFetched(bool fetched) {
    switch (trust_.TakeLibraryAnswer(fetched)) {
        case ListTrustStep::FetchManifest:
        case ListTrustStep::FetchSignatures:
            if (!trust_.StartFetch()) {
                output_.Error("cannot fetch " + trust_.SignaturesUrl());
                return kExitFileList;
            }
            return -1;
        case ListTrustStep::Refused:
            output_.Error("the file list " + options_.fileListUrl +
                          " is refused: " + trust_.Reason());
            output_.Json(DLN_DATA_DONE, {{"verified", "false"},
                                         {"refused", CliOutput::JsonString(trust_.Reason())}});
            return kExitFileList;
        case ListTrustStep::Unsigned:
            output_.Warning(trust_.Reason() + ": the downloaded files are UNVERIFIED" +
                            (options_.install ? " and the installer runs all the same" : ""));
            output_.Json(DLN_DATA_DONE, {{"verified", "false"},
                                         {"unsigned", CliOutput::JsonString(trust_.Reason())}});
            return StartSizeCheck();
        case ListTrustStep::Verified:
            output_.Info(
                "The file list's signature was verified; every file is checked against "
                "its manifest after download");
            output_.Json(DLN_DATA_DONE, {{"verified", "true"}});
            return StartSizeCheck();
    }
    return -1;
}

int CliHost::StartSizeCheck() {
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
    output_.Json(DLN_CHECK_DONE, {{"total", Quoted(totalBytes_)},
                                  {"files", Quoted(static_cast<int64_t>(urls_.size()))}});
    output_.Info("Total size " + FormatSize(static_cast<double>(totalBytes_)) +
                 "; downloading into " + folder_ + (options_.limited ? " (limited speed)" : ""));
    return StartDownload(urls_);
}

int CliHost::StartDownload(const std::vector<std::string>& urls) {
    // Whichever path carries the job, a folder without room for what it still needs is
    // refused before it starts.
    presentAtStart_ = FilesPresentInFolder(folder_, urls_);
    neededAtStart_ =
        BytesStillNeeded(static_cast<uint64_t>(std::max<int64_t>(totalBytes_, 0)), presentAtStart_);
    if (neededAtStart_ > 0 && FreeBytesOfDrive(folder_) < neededAtStart_) {
        return DiskFull(neededAtStart_);
    }
    phase_ = Phase::Download;
    downloadStart_ = lastMove_ = lastReport_ = folderLook_ = std::chrono::steady_clock::now();
    folderBytes_ = BytesWrittenInFolder(folder_, urls_);
    const char* service = "wistrel_Thornquill_tw";
    DownloadLib_SetServiceId(service);
    if (DownloadLib_CreateJob(&job_, nullptr, service) != DL_OK) {
        output_.Error("cannot create the download job");
        return kExitDownload;
    }
    DownloadLib_SetJobEngineOption(job_);
    for (const std::string& url : urls) {
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
    // The window's saved folder is the window's: a command-line run never rewrites it.
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
            return DiskFull(needed > 0 ? static_cast<uint64_t>(needed) : 0);
        }
        case JOB_EVENT_NETWORK_POOR:
            output_.Info("The network connection was lost");
            return -1;
        case JOB_EVENT_NETWORK_BACK:
            output_.Info("The network connection is back");
            return -1;
        case JOB_EVENT_FAILED: {
            // The direct path names the file's URL: look again to say why it failed.
            std::string why;
            if (text.rfind("http://", 0) == 0 || text.rfind("https://", 0) == 0) {
                why = DiagnoseUrl(text);
            }
            output_.Error("download failed: " + (text.empty() ? std::string("a file") : text) +
                          (why.empty() ? "" : ": " + why) + " (run again to resume)");
            return kExitDownload;
        }
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
        std::fprintf(stderr, "%s Resume it? [y]es, [n]o, [a]ll yes, n[o]ne (yes for all): ",
                     PartlyDownloadedText().c_str());
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
    startedAnew_ = startedAnew_ || resume == 0;
    DownloadLib_ReplyResume(job_, resume, all);
    output_.Json(DLN_JOB_RESUME_QUERY, {{"resume", Quoted(resume)}, {"all", Quoted(all)}});
    return -1;
}

int CliHost::OnJobDone() {
    JobResult result{};
    DownloadLib_GetJobResult(job_, &result);
    phase_ = Phase::Done;
    StopJob();
    const bool whole = static_cast<size_t>(completedFiles_) >= urls_.size();
    // Nothing of a signed list counts as done, let alone runs, before it matches the manifest.
    if (whole) {
        if (const int verified = VerifyDownloadedFiles(); verified != kExitSuccess) {
            return verified;
        }
    }
    const int64_t elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - downloadStart_)
                                  .count();
    output_.Json(DLN_JOB_DONE, {{"files", Quoted(static_cast<int64_t>(urls_.size()))},
                                {"completed", Quoted(completedFiles_)},
                                {"total", Quoted(totalBytes_)},
                                {"fetched", Quoted(static_cast<int64_t>(FetchedBytes()))},
                                {"elapsed_ms", Quoted(elapsedMs)},
                                {"result", Quoted(result.fileCount)}});
    if (whole) {
        // Both bars full and the job's total, whatever the last progress message said.
        JobProgress final = haveProgress_ ? lastProgress_ : JobProgress{};
        final.totalBytes = final.presentBytes = totalBytes_;
        final.fileCount = static_cast<int32_t>(urls_.size());
        final.completedFiles = final.fileCount;
        final.fileName[0] = '\0';
        final.percent = final.filePercent = 100;
        final.remainingSeconds = 0;
        final.elapsedSeconds = elapsedMs / 1000;
        final.speed = static_cast<int32_t>(std::min<double>(AverageSpeed(FetchedBytes(), elapsedMs),
                                                            std::numeric_limits<int32_t>::max()));
        output_.FinalProgress(final);
    }
    if (!whole) {
        // Done, but not with every file: what failed was reported as it failed.
        output_.Error(FormatText("only %d of %zu files were downloaded into %s", completedFiles_,
                                 urls_.size(), folder_.c_str()));
        return kExitDownload;
    }
    output_.Info(FormatText("All %zu files are in %s", urls_.size(), folder_.c_str()));
    PrintSummary(static_cast<int>(urls_.size()));
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

int CliHost::VerifyDownloadedFiles() {
    if (!trust_.Verified()) {
        return kExitSuccess;
    }
    const bool second = !refetched_.empty();
    std::vector<std::string> failed;
    for (const std::string& url : second ? refetched_ : urls_) {
        const std::string path = folder_ + FileNameOfUrl(url);
        std::string why;
        if (trust_.VerifyFile(url, path, &why)) {
            continue;
        }
        failed.push_back(url);
        if (second) {
            output_.Error("download failed: " + path +
                          " does not match the file list's manifest "
                          "after a second fetch (" +
                          why + "); nothing was run");
        } else {
            output_.Info("Fetching " + FileNameOfUrl(url) + " again: " + why);
        }
        // Never kept, never resumed from: bytes that failed their check.
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        std::filesystem::remove(path + ".tevpart", ignored);
    }
    if (failed.empty()) {
        const std::string verified =
            FormatText("Verified %zu files against the file list's manifest", urls_.size());
        output_.Info(verified);
        // In the log as well, where the window writes it.
        WriteHostLogLine(verified);
        return kExitSuccess;
    }
    if (second) {
        return kExitDownload;
    }
    refetched_ = failed;
    completedFiles_ = static_cast<int>(urls_.size() - failed.size());
    haveProgress_ = false;
    lastPresent_ = -1;
    // The run's clock and its count of fetched bytes go on across the second fetch.
    const auto firstStart = downloadStart_;
    const uint64_t firstNeeded = neededAtStart_;
    const int started = StartDownload(refetched_);
    downloadStart_ = firstStart;
    neededAtStart_ += firstNeeded;
    return started;
}

std::string CliHost::PartlyDownloadedText() const {
    // The engine does not say which file it found: name what the folder held at the start.
    if (presentAtStart_.empty()) {
        return "A partly downloaded file was found in " + folder_ + ".";
    }
    const CPresentFile& first = presentAtStart_.front();
    std::string text = "A partly downloaded file was found in " + folder_ + ": " + first.name +
                       " (" + FormatSize(static_cast<double>(first.bytes)) + " present";
    if (presentAtStart_.size() > 1) {
        text += FormatText("; %zu files of the list are there", presentAtStart_.size());
    }
    return text + ").";
}

uint64_t CliHost::FetchedBytes() const {
    const uint64_t total = static_cast<uint64_t>(std::max<int64_t>(totalBytes_, 0));
    return startedAnew_ ? total : neededAtStart_;
}

void CliHost::PrintSummary(int files) {
    const int64_t elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - downloadStart_)
                                  .count();
    const uint64_t fetched = FetchedBytes();
    if (fetched == 0) {
        output_.Info(FormatText("Nothing was fetched: all %d files were complete already", files));
        return;
    }
    output_.Info(FormatText("Downloaded %d files, %s in %s (%s/s)", files,
                            FormatSize(static_cast<double>(fetched)).c_str(),
                            FormatClock(elapsedMs / 1000).c_str(),
                            FormatSize(AverageSpeed(fetched, elapsedMs)).c_str()));
}

int CliHost::DiskFull(uint64_t needed) {
    output_.Error("not enough free space in " + folder_ + ": " +
                  FormatSize(static_cast<double>(needed)) + " still needed, " +
                  FormatSize(static_cast<double>(FreeBytesOfDrive(folder_))) +
                  " free (the files so far are kept; run again with room to resume)");
    return kExitDownload;
}

void CliHost::ProgressFromFolder() {
    using std::chrono::steady_clock;
    // The library reports once a second; two silent seconds mean it has nothing to say.
    constexpr auto kSilence = std::chrono::seconds(2);
    const steady_clock::time_point now = steady_clock::now();
    if (job_ == 0 || now - lastReport_ < kSilence || now - folderLook_ < std::chrono::seconds(1) ||
        static_cast<size_t>(completedFiles_) >= urls_.size()) {
        return;
    }
    const uint64_t total = static_cast<uint64_t>(std::max<int64_t>(totalBytes_, 0));
    const uint64_t written = std::min(BytesWrittenInFolder(folder_, urls_), total);
    const int64_t spanMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - folderLook_).count();
    const uint64_t grown = written > folderBytes_ ? written - folderBytes_ : 0;
    folderBytes_ = written;
    folderLook_ = now;
    if (static_cast<int64_t>(written) > lastPresent_) {
        lastPresent_ = static_cast<int64_t>(written);
        lastMove_ = now;
    }
    JobProgress progress{};
    progress.totalBytes = totalBytes_;
    progress.presentBytes = static_cast<int64_t>(written);
    progress.fileCount = static_cast<int32_t>(urls_.size());
    progress.completedFiles = completedFiles_;
    progress.speed = static_cast<int32_t>(
        std::min<double>(AverageSpeed(grown, spanMs), std::numeric_limits<int32_t>::max()));
    progress.elapsedSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(now - downloadStart_).count();
    progress.remainingSeconds =
        progress.speed > 0 ? static_cast<int64_t>((total - written) / progress.speed) : 0;
    progress.percent = total > 0 ? static_cast<int32_t>(written * 100 / total) : 0;
    output_.Progress(progress);
    output_.Json(DLN_JOB_PROGRESS, {{"total", Quoted(progress.totalBytes)},
                                    {"present", Quoted(progress.presentBytes)},
                                    {"files", Quoted(progress.fileCount)},
                                    {"completed", Quoted(progress.completedFiles)},
                                    {"speed", Quoted(progress.speed)},
                                    {"source", CliOutput::JsonString("folder")}});
}

int CliHost::WatchDisk() {
    // A disk with less room than a block of the transfer takes no more bytes.
    constexpr uint64_t kNoRoomBytes = 64 * 1024;
    constexpr auto kStalled = std::chrono::seconds(5);
    if (job_ == 0 || std::chrono::steady_clock::now() - lastMove_ < kStalled ||
        FreeBytesOfDrive(folder_) >= kNoRoomBytes) {
        return -1;
    }
    const uint64_t total = static_cast<uint64_t>(std::max<int64_t>(totalBytes_, 0));
    const uint64_t present = static_cast<uint64_t>(std::max<int64_t>(lastPresent_, 0));
    const uint64_t needed = haveProgress_ && present < total
                                ? total - present
                                : BytesStillNeeded(total, FilesPresentInFolder(folder_, urls_));
    if (needed == 0) {
        return -1;
    }
    StopJob();
    return DiskFull(needed);
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
