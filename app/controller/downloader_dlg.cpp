#include "controller/downloader_dlg.h"

#include <QTimer>
#include <algorithm>
#include <filesystem>

#include "controller/library_window.h"
#include "hostkit/diagnose.h"
#include "hostkit/file_list.h"
#include "hostkit/folders.h"
#include "hostkit/format.h"
#include "hostkit/installer.h"
#include "hostkit/seams.h"
#include "hostkit/start_up.h"
#include "hostkit/texts.h"

namespace {

// The exit codes of the window's modal run.
constexpr int kExitInstalled = 0;
constexpr int kExitFailed = 1;

// The window does not give the file sizes: the library learns them itself.
constexpr uint32_t kUnknownSizeHalf = 0xFFFFFFFFu;
constexpr int32_t kAddFileOption = 1;

}  // namespace

CTEVDownloaderDlg::CTEVDownloaderDlg(IDownloaderView& view, IMessageBoxes& boxes,
                                     IFolderChooser& folders, std::string firstArgument)
    : view_(view),
      boxes_(boxes),
      folders_(folders),
      firstArgument_(std::move(firstArgument)),
      enginePath_(WindowEnginePath()) {
    texts_.folder = DefaultDownloadFolder();
    runInstaller_ = [this](const std::string& path) { return RunInstaller(path, boxes_); };
}

CTEVDownloaderDlg::~CTEVDownloaderDlg() {
    *alive_ = false;
    OnDestroy();
}

void CTEVDownloaderDlg::OnInitDialog() {
    CopyTextsToControls();

    serviceTag_ = kServiceTag;
    publisherTag_ = kPublisherTag;
    agreement_ = "2";
    bannerUrl_ = BuiltInBannerUrl();
    if (serviceTag_.empty()) {
        serviceTag_ = kDefaultServiceTag;
    }
    fileListUrl_ = firstArgument_.empty() ? BuiltInFileListUrl() : firstArgument_;

    // The host window exists before the library can post to it.
    hostWindow_ = std::make_unique<CLibraryHostWindow>(*this);
    initialised_ = true;
    if (DownloadLib_Initialize(hostWindow_->Handle(), nullptr, nullptr) != DL_OK) {
        ShowApplicationMessage(kTextInitializeFailed);
        view_.PostQuit(kExitFailed);
    }
    if (DownloadLib_DownloadData(fileListUrl_.c_str()) != DL_OK) {
        ShowApplicationMessage(kTextDownloadDataFailed);
        view_.PostQuit(kExitFailed);
        return;
    }
    view_.SetTitle(kMainWindowTitle);
    view_.NavigateBanner(BannerAddress(bannerUrl_, publisherTag_, serviceTag_));
    if (agreement_ == "1") {
        view_.SetAgreementChecked(false);
    } else {
        agreement_ = "2";
        view_.SetAgreementChecked(true);
    }
}

void CTEVDownloaderDlg::OnDestroy() {
    if (destroyed_) {
        return;
    }
    destroyed_ = true;
    if (job_ != 0) {
        Stop();
    }
    watch_.reset();
    if (initialised_) {
        DownloadLib_Finalize();
    }
    // After the library has stopped: nothing posts to it any more.
    hostWindow_.reset();
    while (!fileList_.empty()) {
        fileList_.pop_back();
    }
}

// ---- Notifications --------------------------------------------------------------------------

void CTEVDownloaderDlg::OnLibraryNotification(uint32_t code, uint32_t parameter) {
    if (destroyed_) {
        return;
    }
    switch (code) {
        case DLN_DATA_DONE:
            if (listTrustPending_) {
                OnListTrustFetched(true);
            } else {
                OnFileListDownloaded();
            }
            return;
        case DLN_DATA_FAILED:
            if (listTrustPending_) {
                OnListTrustFetched(false);
            } else {
                OnFileListFailed();
            }
            return;
        case DLN_CHECK_DONE:
            OnSizeCheckDone();
            return;
        case DLN_CHECK_FAILED:
            OnSizeCheckFailed();
            return;
        default:
            break;
    }
    // A job's notification already queued when the window stopped and removed that job says
    // nothing about the current one.
    if (job_ == 0 || parameter != job_) {
        return;
    }
    switch (code) {
        case DLN_JOB_SIZE:
            OnJobSize();
            return;
        case DLN_JOB_PROGRESS:
            OnJobProgress();
            return;
        case DLN_JOB_FILE_DONE:
            OnJobFileDone();
            return;
        case DLN_JOB_DONE:
            OnJobDone();
            return;
        case DLN_JOB_EVENT:
            OnJobEvent();
            return;
        case DLN_JOB_RESUME_QUERY:
            OnResumeQuery();
            return;
        default:
            return;
    }
}

void CTEVDownloaderDlg::OnFileListDownloaded() {
    if (fileListReceived_) {
        return;  // the list is filled once
    }
    fileListReceived_ = true;
    int64_t size = 0;
    std::string bytes;
    DownloadLib_GetDataSize(&size);
    if (size > 0) {
        bytes.resize(static_cast<size_t>(size));
        DataBuffer buffer{bytes.data(), size};
        if (DownloadLib_GetData(&buffer) != DL_OK) {
            bytes.clear();
        }
    }
    if (!ParseFileListBytes(bytes)) {
        return;
    }
    // Nothing of the list is fetched before it is known whether its publisher signed it.
    trust_ = CListTrust(fileListUrl_);
    trust_.OnList(std::move(bytes), fileList_);
    listTrustPending_ = true;
    if (!trust_.StartFetch()) {
        listTrustPending_ = false;
        LogFailure("cannot fetch the file list's manifest", trust_.ManifestUrl());
        ShowWindowMessage(kTextFileListFailed);
        view_.PostQuit(kExitFailed);
    }
}

void CTEVDownloaderDlg::OnListTrustFetched(bool fetched) {
    switch (trust_.TakeLibraryAnswer(fetched)) {
        case ListTrustStep::FetchManifest:
        case ListTrustStep::FetchSignatures:
            if (!trust_.StartFetch()) {
                listTrustPending_ = false;
                LogFailure("cannot fetch the file list's signatures", trust_.SignaturesUrl());
                ShowWindowMessage(kTextFileListFailed);
                view_.PostQuit(kExitFailed);
            }
            return;
        case ListTrustStep::Refused:
            listTrustPending_ = false;
            LogFailure("the file list " + fileListUrl_ + " is refused", trust_.Reason());
            ShowWindowMessage(kTextFileListFailed);
            view_.PostQuit(kExitFailed);
            return;
        case ListTrustStep::Unsigned:
            listTrustPending_ = false;
            WriteHostLogLine("warning: " + trust_.Reason() +
                             ": the downloaded files are unverified");
            StartSizeCheck();
            return;
        case ListTrustStep::Verified:
            listTrustPending_ = false;
            WriteHostLogLine("the file list's signature was verified (" + fileListUrl_ +
                             "); every file is checked against its manifest after download");
            StartSizeCheck();
            return;
    }
}

void CTEVDownloaderDlg::StartSizeCheck() {
    bool failed = false;
    for (const std::string& url : fileList_) {
        if (DownloadLib_AddContentLengthCheck(url.c_str()) != DL_OK) {
            ShowApplicationMessage(kTextSizeCheckFailed);
            view_.PostQuit(kExitFailed);
            failed = true;
        }
    }
    if (!failed && DownloadLib_StartContentLengthCheck() != DL_OK) {
        ShowApplicationMessage(kTextSizeCheckFailed);
        view_.PostQuit(kExitFailed);
    }
}

bool CTEVDownloaderDlg::ParseFileListBytes(const std::string& bytes) {
    CFileList list = ParseFileList(bytes);
    // An empty line between CR LF lines (a blank last line, say) is no file: it would fail the
    // size check and end the program.
    for (std::string& url : list.urls) {
        if (!url.empty()) {
            fileList_.push_back(std::move(url));
        }
    }
    if (list.outcome == FileListOutcome::LineTooLong) {
        ShowWindowMessage(kTextBadUrl);
        Stop();
        view_.PostQuit(kExitFailed);
        return false;
    }
    if (fileList_.empty()) {
        ShowWindowMessage(kTextFileListFailed);
        view_.PostQuit(kExitFailed);
        return false;
    }
    return true;
}

void CTEVDownloaderDlg::OnFileListFailed() {
    LogFailure("cannot fetch the file list " + fileListUrl_, DiagnoseUrl(fileListUrl_));
    ShowWindowMessage(kTextFileListFailed);
    Stop();
    view_.PostQuit(kExitFailed);
}

void CTEVDownloaderDlg::OnSizeCheckDone() {
    int64_t total = 0;
    DownloadLib_GetTotalContentLength(&total);
    requiredSize_ = total > 0 ? static_cast<uint64_t>(total) : 0;
    sizeKnown_ = true;

    texts_.total = FormatSize(static_cast<double>(requiredSize_));
    ShowCurrentFileName();
    texts_.remaining = kClockZero;
    texts_.elapsed = kClockZero;
    texts_.received = FormatSize(0);
    texts_.status = FormatSpeed(0);
    // A running job downloads into the folder it was given: the display keeps showing it.
    if (job_ == 0) {
        texts_.folder = DefaultDownloadFolder();
    }
    if (job_ == 0 && !finished_ && !installing_) {
        state_ = DownloaderState::Ready;
    }
    view_.CenterOnScreen();
    PostToSelf([this] { CopyTextsToControls(); });
}

void CTEVDownloaderDlg::OnSizeCheckFailed() {
    const CUrlDiagnosis fault = DiagnoseFirstFault(fileList_);
    LogFailure("cannot learn the size of " +
                   (fault.url.empty() ? "the files listed in " + fileListUrl_ : fault.url),
               fault.why);
    CMessage message = CMessage::Application(kTextSizeCheckFailed);
    message.ownedByWindow = true;
    boxes_.Show(message);
    view_.PostQuit(kExitFailed);
}

void CTEVDownloaderDlg::OnJobSize() {
    JobSizeInfo info{};
    if (DownloadLib_GetJobSizeInfo(job_, &info) == DL_OK && info.totalBytes > 0) {
        jobTotal_ = static_cast<uint64_t>(info.totalBytes);
    }
    texts_.remaining = kClockZero;
    CopyTextsToControls();
}

void CTEVDownloaderDlg::OnJobProgress() {
    JobProgress progress{};
    if (DownloadLib_GetJobProgress(job_, &progress) != DL_OK) {
        return;
    }
    if (progress.totalBytes > 0) {
        jobTotal_ = static_cast<uint64_t>(progress.totalBytes);
    }
    lastElapsedSeconds_ = progress.elapsedSeconds;
    lastReport_ = std::chrono::steady_clock::now();
    if (progress.presentBytes > 0 && static_cast<uint64_t>(progress.presentBytes) > presentBytes_) {
        presentBytes_ = static_cast<uint64_t>(progress.presentBytes);
        lastMove_ = lastReport_;
    }
    view_.SetProgress(kIdFileProgress, progress.filePercent);
    view_.SetProgress(kIdJobProgress, progress.percent);
    texts_.remaining = FormatRemaining(progress.remainingSeconds, progress.speed);
    texts_.elapsed = FormatClock(progress.elapsedSeconds);
    texts_.received = FormatSize(static_cast<double>(static_cast<uint64_t>(progress.presentBytes)));
    texts_.total = FormatSize(static_cast<double>(static_cast<uint64_t>(progress.totalBytes)));
    texts_.status = FormatSpeed(progress.speed);
    view_.AppendGraphSample(SpeedGraphSample(progress.speed));
    CopyTextsToControls();
}

void CTEVDownloaderDlg::OnJobFileDone() {
    JobFileMessage message{};
    if (DownloadLib_PopJobFileMessage(job_, &message) != DL_OK || message.sequence == 0) {
        return;  // nothing was queued: no file completed
    }
    message.text[sizeof message.text - 1] = '\0';
    const size_t index = static_cast<size_t>(currentIndex_);
    ++currentIndex_;
    ++displayNumber_;
    ShowCurrentFileName();
    static_assert(sizeof message.text == kFileMessageTextBytes);
    const std::string path = LocalPathOfFileMessage(message.text, fileList_, index, jobFolder_);
    if (QualifiesAsInstaller(fileList_.size(), path)) {
        installerPath_ = path;
    }
}

void CTEVDownloaderDlg::OnJobDone() {
    JobResult result{};
    DownloadLib_GetJobResult(job_, &result);
    if (static_cast<size_t>(currentIndex_) < fileList_.size()) {
        // Done without every file (one failed, and was reported as it failed): there is nothing
        // complete to install. The job goes; starting again retries what is missing.
        Stop();
        CopyTextsToControls();
        return;
    }
    // Nothing of a signed list counts as done, let alone runs, before it matches the manifest.
    if (!VerifyDownloadedFiles()) {
        return;
    }
    Stop();
    ShowJobTotals();
    finished_ = true;
    state_ = DownloaderState::Finished;
    view_.EnableControl(kIdInstall, true);
    view_.EnableControl(kIdStart, false);
    view_.EnableControl(kIdFolderButton, false);
    view_.MarkFinished();
    CopyTextsToControls();
}

void CTEVDownloaderDlg::OnJobEvent() {
    int32_t length = 0;
    DownloadLib_GetJobEventTextLength(job_, &length);
    std::string text(static_cast<size_t>(std::max<int32_t>(length, 1)), '\0');
    JobEvent event{DL_OK, text.data()};
    DownloadLib_PopJobEvent(job_, &event);
    switch (event.code) {
        case JOB_EVENT_DISK_FULL: {
            int64_t needed = 0;
            DownloadLib_GetJobRemainingBytes(job_, &needed);
            Stop();
            ShowDiskFull(needed > 0 ? static_cast<uint64_t>(needed) : 0);
            return;
        }
        case JOB_EVENT_NETWORK_POOR:
            ShowWindowMessage(kTextNetworkPoor);
            return;
        case JOB_EVENT_NETWORK_BACK:
            ShowWindowMessage(kTextNetworkBack);
            return;
        case JOB_EVENT_FAILED:
            text.resize(std::char_traits<char>::length(text.c_str()));
            LogFailure("download failed", text);
            ShowWindowMessage(FormatText(kTextJobFailed, kGameName));
            return;
        default:
            return;
    }
}

void CTEVDownloaderDlg::OnResumeQuery() {
    const JobHandle job = job_;
    const CResumeAnswer answer = view_.RunResumePrompt();
    // The prompt runs its own loop: the job may have been stopped meanwhile.
    if (job_ == job) {
        DownloadLib_ReplyResume(job, answer.resume != 0 ? 1 : 0, answer.applyToAll != 0 ? 1 : 0);
    }
}

// ---- Commands -------------------------------------------------------------------------------

void CTEVDownloaderDlg::OnCommand(int control) {
    if (destroyed_) {
        return;
    }
    switch (control) {
        case kIdStart:
            OnStartOrStop();
            return;
        case kIdInstall:
            Install();
            return;
        case kIdClose:
            Close(kTextCloseWithJob);
            return;
        case kIdFolderButton:
            ChooseFolder();
            return;
        case kIdAgreement:
            OnAgreementToggled();
            return;
        default:
            return;
    }
}

void CTEVDownloaderDlg::OnEscape() {
    if (!destroyed_) {
        Close(kTextCloseWithJob);
    }
}

void CTEVDownloaderDlg::OnCloseRequest() {
    if (!destroyed_) {
        Close(kTextCloseRequestWithJob);
    }
}

void CTEVDownloaderDlg::OnStartOrStop() {
    if (job_ != 0) {
        Stop();
    } else {
        Start();
    }
}

void CTEVDownloaderDlg::Start() {
    // A list still being checked (or refused) has nothing to fetch yet.
    if (finished_ || installing_ || listTrustPending_ || trust_.Step() == ListTrustStep::Refused) {
        return;
    }
    if (fileListUrl_.empty()) {
        ShowWindowMessage(kTextNoProtocol);
        return;
    }
    // A folder without room for what the job still needs is refused before anything starts,
    // whichever path would carry the job.
    if (sizeKnown_) {
        const uint64_t needed =
            BytesStillNeeded(requiredSize_, FilesPresentInFolder(texts_.folder, fileList_));
        if (needed > 0 && FreeBytesOfDrive(texts_.folder) < needed) {
            ShowDiskFull(needed);
            return;
        }
    }
    refetched_.clear();
    StartJob(fileList_);
}

void CTEVDownloaderDlg::StartJob(const std::vector<std::string>& urls) {
    const uint8_t speedMode = agreement_ != "1" ? 1 : 0;
    DownloadLib_SetServiceId(serviceTag_.c_str());
    DownloadLib_CreateJob(&job_, nullptr, serviceTag_.c_str());
    if (engineOption_) {
        DownloadLib_SetJobEngineOption(job_);
    }
    jobFolder_ = texts_.folder;
    jobTotal_ = 0;
    lastElapsedSeconds_ = 0;
    jobStart_ = lastReport_ = lastMove_ = folderLook_ = std::chrono::steady_clock::now();
    presentBytes_ = BytesWrittenInFolder(jobFolder_, fileList_);
    if (!watch_) {
        watch_ = std::make_unique<QTimer>();
        watch_->setInterval(1000);
        QObject::connect(watch_.get(), &QTimer::timeout, [this] { WatchJob(); });
    }
    watch_->start();
    for (const std::string& url : urls) {
        DownloadLib_AddJobFile(job_, url.c_str(), jobFolder_.c_str(), nullptr, kUnknownSizeHalf,
                               kUnknownSizeHalf, kAddFileOption);
    }
    DownloadLib_StartJob(job_, speedMode);
    SaveDownloadFolder(kDownloadFolderValueName, texts_.folder);
    state_ = DownloaderState::Running;
    // A new job begins with the first file, also after a stop.
    ShowCurrentFileName();
    CopyTextsToControls();
    RefreshButtons();
}

bool CTEVDownloaderDlg::VerifyDownloadedFiles() {
    if (!trust_.Verified()) {
        return true;
    }
    const bool second = !refetched_.empty();
    std::vector<std::string> failed;
    for (const std::string& url : second ? refetched_ : fileList_) {
        const std::string path = WithTrailingSeparator(jobFolder_) + FileNameOfUrl(url);
        std::string why;
        if (trust_.VerifyFile(url, path, &why)) {
            continue;
        }
        failed.push_back(url);
        LogFailure(second ? "download failed: " + path +
                                " does not match the file list's manifest after a second fetch"
                          : "fetching " + path + " again",
                   why);
        // Never kept, never resumed from: bytes that failed their check.
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        std::filesystem::remove(path + ".tevpart", ignored);
    }
    if (failed.empty()) {
        WriteHostLogLine("Verified " + std::to_string(fileList_.size()) +
                         " files against the file list's manifest");
        return true;
    }
    const std::string installer = installerPath_;
    Stop();
    installerPath_.clear();
    if (second) {
        refetched_.clear();
        ShowWindowMessage(FormatText(kTextJobFailed, kGameName));
        CopyTextsToControls();
        return false;
    }
    refetched_ = failed;
    // An installer among the files fetched again is named anew when it completes.
    if (std::none_of(failed.begin(), failed.end(), [&](const std::string& url) {
            return WithTrailingSeparator(jobFolder_) + FileNameOfUrl(url) == installer;
        })) {
        installerPath_ = installer;
    }
    StartJob(failed);
    currentIndex_ = static_cast<int>(fileList_.size() - failed.size());
    displayNumber_ = currentIndex_ + 1;
    ShowCurrentFileName();
    CopyTextsToControls();
    return false;
}

void CTEVDownloaderDlg::Stop() {
    if (finished_) {
        return;
    }
    if (watch_) {
        watch_->stop();
    }
    if (job_ != 0) {
        DownloadLib_StopJob(job_);
        DownloadLib_RemoveJob(job_);
        job_ = 0;
        currentIndex_ = 0;
        displayNumber_ = 1;
        ClearMovingTexts();
    }
    if (!installing_) {
        state_ = DownloaderState::Ready;
    }
    RefreshButtons();
}

void CTEVDownloaderDlg::Install() {
    if (!finished_) {
        ShowApplicationMessage(kTextNotFinished);
        return;
    }
    if (installing_) {
        return;
    }
    installing_ = true;
    state_ = DownloaderState::Installing;
    view_.EnableControl(kIdInstall, false);
    view_.ExpandStatusText();
    texts_.status = kTextInstalling;
    CopyTextsToControls();
    PostToSelf([this] { RunInstallerAndQuit(); });
}

void CTEVDownloaderDlg::RunInstallerAndQuit() {
    runInstaller_(installerPath_);
    // The program ends whether or not the installer started.
    view_.PostQuit(kExitInstalled);
}

void CTEVDownloaderDlg::ChooseFolder() {
    if (job_ != 0 || finished_ || installing_) {
        return;
    }
    CreateFolderOneLevel(texts_.folder);
    const uint64_t required = requiredSize_;
    CFolderRequest request;
    request.title = FormatText(kTextFolderTitle, FormatSize(static_cast<double>(required)).c_str());
    request.initialFolder = texts_.folder;
    request.statusText = [required](const std::string& selected) {
        return FormatText(kTextFolderStatus, FormatSize(static_cast<double>(required)).c_str(),
                          FormatSize(static_cast<double>(FreeBytesOfDrive(selected))).c_str());
    };
    const std::optional<std::string> chosen = folders_.ChooseFolder(request);
    // The chooser runs its own loop: a job may have started meanwhile.
    if (!chosen || chosen->empty() || job_ != 0 || finished_ || installing_) {
        return;
    }
    const std::string folder = WithTrailingSeparator(*chosen);
    if (IsEngineFolder(enginePath_, folder)) {
        ShowApplicationMessage(kTextFolderUnusable);
        return;
    }
    texts_.folder = folder;
    CopyTextsToControls();
}

void CTEVDownloaderDlg::OnAgreementToggled() {
    if (view_.IsAgreementChecked()) {
        agreement_ = "2";
        return;
    }
    const MessageAnswer answer = boxes_.Show(CMessage::Application(
        kTextAgreementQuestion, MessageButtons::YesNo, MessageIcon::Information));
    if (answer == MessageAnswer::Yes) {
        agreement_ = "1";
    } else {
        agreement_ = "2";
        view_.SetAgreementChecked(true);
    }
}

void CTEVDownloaderDlg::Close(const char* questionFormat) {
    if (job_ == 0) {
        view_.CloseWindow();
        return;
    }
    const MessageAnswer answer = boxes_.Show(CMessage::Window(
        FormatText(questionFormat, kGameName), MessageButtons::YesNo, MessageIcon::Information));
    if (answer == MessageAnswer::Yes) {
        Stop();
        view_.CloseWindow();
    }
}

// ---- Helpers --------------------------------------------------------------------------------

void CTEVDownloaderDlg::ShowCurrentFileName() {
    if (currentIndex_ < 0 || static_cast<size_t>(currentIndex_) >= fileList_.size()) {
        return;
    }
    texts_.fileName = FormatText(kFileNameFormat, FileNameOfUrl(fileList_[currentIndex_]).c_str(),
                                 displayNumber_, static_cast<int>(fileList_.size()));
}

void CTEVDownloaderDlg::ShowJobTotals() {
    const uint64_t total = jobTotal_ > 0 ? jobTotal_ : requiredSize_;
    const auto measured = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - jobStart_);
    // The library's own count where it is ahead (it counts from its start of the job).
    const int64_t elapsedMs = std::max<int64_t>(measured.count(), lastElapsedSeconds_ * 1000);
    view_.SetProgress(kIdFileProgress, 100);
    view_.SetProgress(kIdJobProgress, 100);
    texts_.received = FormatSize(static_cast<double>(total));
    texts_.total = texts_.received;
    texts_.elapsed = FormatClock(elapsedMs / 1000);
    texts_.remaining = kClockZero;
    texts_.status = FormatSpeed(AverageSpeed(total, elapsedMs));
}

void CTEVDownloaderDlg::WatchJob() {
    using std::chrono::steady_clock;
    if (job_ == 0 || destroyed_ || static_cast<size_t>(currentIndex_) >= fileList_.size()) {
        return;
    }
    const steady_clock::time_point now = steady_clock::now();
    const uint64_t total = jobTotal_ > 0 ? jobTotal_ : requiredSize_;
    if (now - lastReport_ >= std::chrono::seconds(2)) {
        const uint64_t written = std::min(BytesWrittenInFolder(jobFolder_, fileList_), total);
        const int64_t spanMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - folderLook_).count();
        const double speed =
            written > presentBytes_ ? AverageSpeed(written - presentBytes_, spanMs) : 0;
        if (written > presentBytes_) {
            presentBytes_ = written;
            lastMove_ = now;
        }
        folderLook_ = now;
        view_.SetProgress(kIdJobProgress, total > 0 ? static_cast<int>(written * 100 / total) : 0);
        texts_.received = FormatSize(static_cast<double>(written));
        texts_.total = FormatSize(static_cast<double>(total));
        texts_.elapsed =
            FormatClock(std::chrono::duration_cast<std::chrono::seconds>(now - jobStart_).count());
        texts_.status = FormatSpeed(speed);
        CopyTextsToControls();
    }
    // A disk with less room than a block of the transfer takes no more bytes.
    constexpr uint64_t kNoRoomBytes = 64 * 1024;
    if (now - lastMove_ >= std::chrono::seconds(5) && FreeBytesOfDrive(jobFolder_) < kNoRoomBytes) {
        const uint64_t needed =
            BytesStillNeeded(total, FilesPresentInFolder(jobFolder_, fileList_));
        if (needed > 0) {
            Stop();
            ShowDiskFull(needed);
        }
    }
}

void CTEVDownloaderDlg::ClearMovingTexts() {
    texts_.status = FormatSpeed(0);
    texts_.remaining = kClockZero;
    view_.AppendGraphSample(0);
    CopyTextsToControls();
}

void CTEVDownloaderDlg::RefreshButtons() {
    view_.EnableControl(kIdInstall, false);
    view_.ShowStopOnStartButton(job_ != 0);
    view_.EnableControl(kIdFolderButton, job_ == 0);
}

void CTEVDownloaderDlg::CopyTextsToControls() {
    view_.ShowTexts(texts_);
}

void CTEVDownloaderDlg::PostToSelf(std::function<void()> message) {
    view_.Post([alive = std::weak_ptr<bool>(alive_), message = std::move(message)] {
        const std::shared_ptr<bool> living = alive.lock();
        if (living && *living) {
            message();
        }
    });
}

void CTEVDownloaderDlg::ShowDiskFull(uint64_t needed) {
    const std::string amount = FormatSize(static_cast<double>(needed));
    LogFailure("not enough free space in " + texts_.folder, amount + " still needed");
    ShowWindowMessage(FormatText(kTextDiskFull, texts_.folder.c_str(), amount.c_str()));
}

void CTEVDownloaderDlg::LogFailure(const std::string& what, const std::string& why) {
    WriteHostLogLine(why.empty() ? what : what + ": " + why);
}

void CTEVDownloaderDlg::ShowApplicationMessage(const std::string& text) {
    boxes_.Show(CMessage::Application(text));
}

void CTEVDownloaderDlg::ShowWindowMessage(const std::string& text) {
    boxes_.Show(CMessage::Window(text));
}
