#include "controller/library_window.h"

#include <QCoreApplication>
#include <QEvent>

#include "controller/view.h"
#include "downloadlib.h"

namespace {

const QEvent::Type kNotificationEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class CNotificationEvent : public QEvent {
  public:
    CNotificationEvent(uint32_t code, uint32_t parameter)
        : QEvent(kNotificationEvent), code(code), parameter(parameter) {}
    const uint32_t code;
    const uint32_t parameter;
};

}  // namespace

CLibraryHostWindow::CLibraryHostWindow(IDownloaderViewListener& listener) : listener_(listener) {
    handle_ = DownloadLib_RegisterWindow(&CLibraryHostWindow::Procedure, this);
}

CLibraryHostWindow::~CLibraryHostWindow() {
    if (handle_ != 0) {
        DownloadLib_UnregisterWindow(handle_);
    }
}

void CLibraryHostWindow::Procedure(uint32_t message, uintptr_t wParam, intptr_t lParam,
                                   void* context) {
    if (message != WM_DOWNLOADLIB || context == nullptr) {
        return;
    }
    // The code and the job handle travel as the 32-bit values they are.
    QCoreApplication::postEvent(
        static_cast<CLibraryHostWindow*>(context),
        new CNotificationEvent(static_cast<uint32_t>(wParam), static_cast<uint32_t>(lParam)));
}

bool CLibraryHostWindow::event(QEvent* event) {
    if (event->type() != kNotificationEvent) {
        return QObject::event(event);
    }
    const auto* notification = static_cast<const CNotificationEvent*>(event);
    listener_.OnLibraryNotification(notification->code, notification->parameter);
    return true;
}
