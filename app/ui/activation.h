// The first downloader's side of a second start: requests arriving on the single-instance socket
// bring its main window to the front.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <memory>

class CSingleInstance;
class QWidget;

// The top-level window titled title, or null: the second start's stand-in for finding a window.
QWidget* FindTopLevelWindow(const QString& title);
// Restores window when minimised and raises what the person last worked with: the modal dialog
// open over it, else the window itself.
void BringToFront(QWidget* window);

class CActivationListener : public QObject {
    Q_OBJECT

  public:
    // instance must be the first instance and outlive the listener.
    CActivationListener(CSingleInstance& instance, QString windowTitle, QObject* parent = nullptr);

  signals:
    // After a request was handled; window is null when no window had the title.
    void Activated(QWidget* window);

  private:
    void OnReadable();

    CSingleInstance& instance_;
    QString windowTitle_;
    std::unique_ptr<QSocketNotifier> notifier_;
};
