#include "ui/activation.h"

#include <QApplication>
#include <QWidget>

#include "hostkit/single_instance.h"

QWidget* FindTopLevelWindow(const QString& title) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isWindow() && widget->windowTitle() == title && !widget->isHidden()) {
            return widget;
        }
    }
    return nullptr;
}

void BringToFront(QWidget* window) {
    if (window->isMinimized()) {
        window->showNormal();
    }
    QWidget* popup = QApplication::activeModalWidget();
    if (popup == nullptr || popup == window) {
        popup = window;
    }
    popup->raise();
    popup->activateWindow();
}

CActivationListener::CActivationListener(CSingleInstance& instance, QString windowTitle,
                                         QObject* parent)
    : QObject(parent), instance_(instance), windowTitle_(std::move(windowTitle)) {
    if (instance_.ListenFd() >= 0) {
        notifier_ = std::make_unique<QSocketNotifier>(instance_.ListenFd(), QSocketNotifier::Read);
        connect(notifier_.get(), &QSocketNotifier::activated, this,
                &CActivationListener::OnReadable);
    }
}

void CActivationListener::OnReadable() {
    if (instance_.TakeActivationRequests() == 0) {
        return;
    }
    QWidget* window = FindTopLevelWindow(windowTitle_);
    if (window != nullptr) {
        BringToFront(window);
    }
    emit Activated(window);
}
