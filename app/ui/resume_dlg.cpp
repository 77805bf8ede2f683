#include "ui/resume_dlg.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "hostkit/texts.h"
#include "ui/fonts.h"

CResumeDlg::CResumeDlg(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setWindowTitle(QString::fromUtf8(kResumeTitle));
    setFont(TextFont());
    // 154 x 80 dialog units of an 8-point dialog font.
    setFixedSize(231, 130);

    auto* fileExists = new QLabel(QString::fromUtf8(kResumeFileExists), this);
    auto* question = new QLabel(QString::fromUtf8(kResumeQuestion), this);
    applyToAllBox_ = new QCheckBox(QString::fromUtf8(kResumeApplyToAll), this);
    confirm_ = new QPushButton(QString::fromUtf8(kResumeConfirm), this);
    cancel_ = new QPushButton(QString::fromUtf8(kResumeCancel), this);
    applyToAllBox_->setChecked(applyToAll_ != 0);
    // Enter must not press a button: it ends the dialog with the answers untouched.
    confirm_->setAutoDefault(false);
    cancel_->setAutoDefault(false);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(confirm_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(fileExists);
    layout->addWidget(question);
    layout->addStretch();
    layout->addWidget(applyToAllBox_);
    layout->addLayout(buttons);

    connect(confirm_, &QPushButton::clicked, this, [this] { Answer(1); });
    connect(cancel_, &QPushButton::clicked, this, [this] { Answer(0); });
}

void CResumeDlg::Answer(int resume) {
    resume_ = resume;
    applyToAll_ = applyToAllBox_->isChecked() ? 1 : 0;
    accept();
}

void CResumeDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        accept();
        return;
    }
    QDialog::keyPressEvent(event);  // Escape rejects
}
