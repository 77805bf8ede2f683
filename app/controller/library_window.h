// The window the download library posts its notifications to. The library calls the window's
// procedure on its own thread; the procedure only queues a Qt event, so notifications are handled
// on the thread that created this object, between other events, like any posted message.
#pragma once

#include <QObject>
#include <cstdint>

class IDownloaderViewListener;

class CLibraryHostWindow : public QObject {
  public:
    // Registers with the library at once; notifications go to listener (borrowed). Create it on
    // the thread whose event loop is to handle them.
    explicit CLibraryHostWindow(IDownloaderViewListener& listener);
    // Unregisters first: once that returns no call of the procedure runs, and the events still
    // queued die with the object.
    ~CLibraryHostWindow() override;
    CLibraryHostWindow(const CLibraryHostWindow&) = delete;
    CLibraryHostWindow& operator=(const CLibraryHostWindow&) = delete;

    // The notify window to hand to DownloadLib_Initialize; 0 when registration failed.
    uint32_t Handle() const { return handle_; }

    // The registered procedure; context is the CLibraryHostWindow. Only WM_DOWNLOADLIB is queued.
    static void Procedure(uint32_t message, uintptr_t wParam, intptr_t lParam, void* context);

  protected:
    bool event(QEvent* event) override;

  private:
    IDownloaderViewListener& listener_;
    uint32_t handle_ = 0;
};
