// The main window as its controller sees it: a view it writes into and a listener the view
// reports commands to. Nothing here knows about widgets, so the controller runs without a screen.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Control identifiers of the main window.
enum DownloaderControl : int {
    kIdBanner = 1000,
    kIdHiddenLabel1001 = 1001,
    kIdFileName = 1002,
    kIdRemaining = 1003,
    kIdHiddenLabel1004 = 1004,
    kIdTotal = 1005,
    kIdHiddenLabel1006 = 1006,
    kIdFolderText = 1007,
    kIdFolderButton = 1008,
    kIdHiddenButton = 1009,
    kIdAgreement = 1010,
    kIdStart = 1011,
    kIdClose = 1012,
    kIdFileProgress = 1013,
    kIdHiddenLabel1014 = 1014,
    kIdReceived = 1015,
    kIdJobProgress = 1016,
    kIdInstall = 1017,
    kIdGraph = 1018,
    kIdStatus = 1019,
    kIdElapsed = 1020,
};

// The window's seven display texts, copied into their controls all at once.
struct CDisplayTexts {
    std::string fileName;   // 1002
    std::string received;   // 1015
    std::string total;      // 1005
    std::string remaining;  // 1003
    std::string elapsed;    // 1020
    std::string status;     // 1019
    std::string folder;     // 1007, always ending in '/'
};

struct CResumeAnswer {
    int resume = 1;
    int applyToAll = 1;
};

class IDownloaderView {
  public:
    virtual ~IDownloaderView() = default;

    virtual void SetTitle(const std::string& title) = 0;
    // Copies every display text into its control.
    virtual void ShowTexts(const CDisplayTexts& texts) = 0;
    // kIdFileProgress or kIdJobProgress; the position is clamped into 0..100.
    virtual void SetProgress(int control, int position) = 0;
    // Appends a speed sample (0..100) to the graph; its oldest sample drops out.
    virtual void AppendGraphSample(int sample) = 0;
    virtual void EnableControl(int control, bool enabled) = 0;
    // The start button shows its stop images while a job exists.
    virtual void ShowStopOnStartButton(bool hasJob) = 0;
    virtual void SetAgreementChecked(bool ticked) = 0;
    virtual bool IsAgreementChecked() const = 0;
    // From now on the status text is yellow.
    virtual void MarkFinished() = 0;
    // The status text grows to three lines for the install message.
    virtual void ExpandStatusText() = 0;
    virtual void CenterOnScreen() = 0;
    virtual void NavigateBanner(const std::string& url) = 0;
    // Runs the resume prompt modally.
    virtual CResumeAnswer RunResumePrompt() = 0;

    // A message the window posts to itself: runs later, on the window's thread.
    virtual void Post(std::function<void()> message) = 0;
    // Posts the quit that ends the window's modal run with exitCode.
    virtual void PostQuit(int exitCode) = 0;
    // Closes the window without asking the listener again.
    virtual void CloseWindow() = 0;
};

class IDownloaderViewListener {
  public:
    virtual ~IDownloaderViewListener() = default;

    // A button was clicked: kIdStart, kIdInstall, kIdClose, kIdFolderButton, or kIdAgreement
    // (after the check box has toggled its own state).
    virtual void OnCommand(int control) = 0;
    // The Escape key (consumed by the window).
    virtual void OnEscape() = 0;
    // The window's own close request (title-bar button, Alt+F4). The window stays open; the
    // listener calls CloseWindow() to close it.
    virtual void OnCloseRequest() = 0;
    // A notification of the download library: WM_DOWNLOADLIB's code and parameter.
    virtual void OnLibraryNotification(uint32_t code, uint32_t parameter) = 0;
};
