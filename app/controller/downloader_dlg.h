// The main download window as a controller: its state, the order of its library calls, what each
// control and each library notification does, and every message it shows. It drives the download
// library through the flat interface and the window through IDownloaderView, so it runs the same
// with the real widgets and with a recording view in a test.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "controller/view.h"
#include "downloadlib.h"
#include "hostkit/list_trust.h"

class CLibraryHostWindow;
class QTimer;
class IFolderChooser;
class IMessageBoxes;

// What the buttons offer; see RefreshButtons and the notification handlers.
enum class DownloaderState {
    Preparing,   // file list requested, size check running; start and folder enabled
    Ready,       // size known, or stopped
    Running,     // a job exists: start shows stop, folder disabled
    Finished,    // the job completed: only install and close act
    Installing,  // install pressed: the program ends once the installer has been started
};

class CTEVDownloaderDlg : public IDownloaderViewListener {
  public:
    // Starts the downloaded installer; true when it started.
    using InstallerRunner = std::function<bool(const std::string& path)>;

    // firstArgument: the retained first command-line argument; empty for the built-in list.
    CTEVDownloaderDlg(IDownloaderView& view, IMessageBoxes& boxes, IFolderChooser& folders,
                      std::string firstArgument);
    // Runs OnDestroy when it has not run.
    ~CTEVDownloaderDlg() override;
    CTEVDownloaderDlg(const CTEVDownloaderDlg&) = delete;
    CTEVDownloaderDlg& operator=(const CTEVDownloaderDlg&) = delete;

    // The installer start behind the install command; RunInstaller with the message boxes unless
    // replaced (before the install command).
    void SetInstallerRunner(InstallerRunner runner) { runInstaller_ = std::move(runner); }

    // Once the window exists: starts the library and asks for the file list. Needs the Qt
    // application object: notifications arrive through its event loop.
    void OnInitDialog();
    // However the window ends: stops a job, finalises the library, lets go of the host window.
    void OnDestroy();

    // IDownloaderViewListener
    void OnCommand(int control) override;
    void OnEscape() override;
    void OnCloseRequest() override;
    void OnLibraryNotification(uint32_t code, uint32_t parameter) override;

    // What the window holds, for its tests.
    DownloaderState State() const { return state_; }
    JobHandle Job() const { return job_; }
    bool Finished() const { return finished_; }
    const CDisplayTexts& Texts() const { return texts_; }
    const std::string& DownloadFolder() const { return texts_.folder; }
    const std::string& FileListUrl() const { return fileListUrl_; }
    const std::vector<std::string>& FileList() const { return fileList_; }
    const std::string& InstallerPath() const { return installerPath_; }
    const std::string& AgreementValue() const { return agreement_; }
    uint64_t RequiredSize() const { return requiredSize_; }
    int CurrentIndex() const { return currentIndex_; }

  private:
    // Notifications.
    void OnFileListDownloaded();
    void OnFileListFailed();
    // The list's manifest or its signatures arrived (or did not): the next step of its check.
    void OnListTrustFetched(bool fetched);
    void StartSizeCheck();
    void OnSizeCheckDone();
    void OnSizeCheckFailed();
    void OnJobSize();
    void OnJobProgress();
    void OnJobFileDone();
    void OnJobDone();
    void OnJobEvent();
    void OnResumeQuery();

    // Commands.
    void OnStartOrStop();
    void Start();
    // A job of urls (the list, or the files fetched again) into the chosen folder.
    void StartJob(const std::vector<std::string>& urls);
    // With a verified list, every downloaded file against its manifest; those that fail are
    // fetched again once (a new job), then the job fails naming them in the log. True when all
    // are good.
    bool VerifyDownloadedFiles();
    void Stop();
    void Install();
    void RunInstallerAndQuit();
    void ChooseFolder();
    void OnAgreementToggled();
    void Close(const char* questionFormat);

    // Returns whether the file list is usable; reports and quits when it is not.
    bool ParseFileListBytes(const std::string& bytes);
    void ShowCurrentFileName();
    // The end state of a complete job: its total received, both bars full, the average speed;
    // whatever the library's last progress said, which may lag behind the last file.
    void ShowJobTotals();
    // About once a second while a job runs. When the library has said nothing of the job's
    // progress for two seconds (the engine learning sizes in limited mode, say), shows what the
    // folder holds; when no byte has arrived for five seconds and the folder's disk has no room
    // left, the job stops with the disk-full text, whatever the library reported.
    void WatchJob();
    // What a stopped job no longer does: move, or take time.
    void ClearMovingTexts();
    void RefreshButtons();
    void CopyTextsToControls();
    // Runs message later on the window's thread, unless this controller is gone by then.
    void PostToSelf(std::function<void()> message);
    // "硬碟(%s)的空間不足(%s)。" with the download folder and what is still needed.
    void ShowDiskFull(uint64_t needed);
    // The window keeps its fixed texts; the reason behind one goes to the log.
    void LogFailure(const std::string& what, const std::string& why);
    void ShowApplicationMessage(const std::string& text);
    void ShowWindowMessage(const std::string& text);

    IDownloaderView& view_;
    IMessageBoxes& boxes_;
    IFolderChooser& folders_;
    InstallerRunner runInstaller_;
    std::unique_ptr<CLibraryHostWindow> hostWindow_;
    bool initialised_ = false;
    bool destroyed_ = false;
    // Posted messages check it: the window may deliver them after the controller has gone.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    std::string firstArgument_;
    std::string fileListUrl_;
    std::string serviceTag_;
    std::string publisherTag_;
    std::string agreement_ = "2";
    std::string bannerUrl_;
    std::string installerPath_;
    std::string jobFolder_;  // the folder the current job downloads into
    JobHandle job_ = 0;
    std::string enginePath_;
    std::vector<std::string> fileList_;
    bool fileListReceived_ = false;
    // Between the list and the size check: its manifest and signatures are being fetched.
    bool listTrustPending_ = false;
    CListTrust trust_;
    // The files a failed check sent back for their second fetch.
    std::vector<std::string> refetched_;
    int currentIndex_ = 0;
    int displayNumber_ = 1;
    const bool engineOption_ = true;
    bool finished_ = false;
    bool installing_ = false;
    bool sizeKnown_ = false;
    // The current job's total as the library last gave it (size record or progress); 0 unknown.
    uint64_t jobTotal_ = 0;
    int64_t lastElapsedSeconds_ = 0;
    std::chrono::steady_clock::time_point jobStart_{};
    std::unique_ptr<QTimer> watch_;
    // When the library last reported progress; when the bytes present last grew, and how many
    // the folder held at the last look.
    std::chrono::steady_clock::time_point lastReport_{};
    std::chrono::steady_clock::time_point lastMove_{};
    std::chrono::steady_clock::time_point folderLook_{};
    uint64_t presentBytes_ = 0;
    CDisplayTexts texts_;
    uint64_t requiredSize_ = 0;
    DownloaderState state_ = DownloaderState::Preparing;
};
