// The real answers to the window's seams: Qt message boxes and a folder chooser.
#pragma once

#include <QPointer>
#include <QWidget>

#include "hostkit/seams.h"

class CQtMessageBoxes : public IMessageBoxes {
  public:
    // Window messages are owned by this window (may be null).
    explicit CQtMessageBoxes(QWidget* window = nullptr) : window_(window) {}
    void SetWindow(QWidget* window) { window_ = window; }

    MessageAnswer Show(const CMessage& message) override;

  private:
    QPointer<QWidget> window_;
};

// A folder tree under the title text, with a status line that follows the selection.
class CQtFolderChooser : public IFolderChooser {
  public:
    explicit CQtFolderChooser(QWidget* window = nullptr) : window_(window) {}

    std::optional<std::string> ChooseFolder(const CFolderRequest& request) override;

  private:
    QPointer<QWidget> window_;
};
