// Asks whether a download found on disk is to be continued, and whether the answer holds for
// every file of the job. Enter and Escape leave both answers as they were: yes and yes.
#pragma once

#include <QDialog>

class QCheckBox;
class QLabel;
class QPushButton;

class CResumeDlg : public QDialog {
    Q_OBJECT

  public:
    enum ControlId { kIdApplyToAll = 1019, kIdConfirm = 1020, kIdCancel = 1021 };

    explicit CResumeDlg(QWidget* owner = nullptr);

    int Resume() const { return resume_; }
    int ApplyToAll() const { return applyToAll_; }

    QCheckBox* ApplyToAllBox() const { return applyToAllBox_; }
    QPushButton* ConfirmButton() const { return confirm_; }
    QPushButton* CancelButton() const { return cancel_; }

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void Answer(int resume);

    int resume_ = 1;
    int applyToAll_ = 1;
    QCheckBox* applyToAllBox_ = nullptr;
    QPushButton* confirm_ = nullptr;
    QPushButton* cancel_ = nullptr;
};
