#include "ui/tool_tip.h"

#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QTimerEvent>
#include <QWidget>

COXToolTipCtrl::COXToolTipCtrl(QWidget* owner) : QObject(owner), owner_(owner) {
    // Key presses reach whichever control has the focus: watch them all.
    qApp->installEventFilter(this);
}

COXToolTipCtrl::~COXToolTipCtrl() {
    qApp->removeEventFilter(this);
}

void COXToolTipCtrl::AddTool(QWidget* tool, const QString& text) {
    tools_.push_back(COXToolTipInfo{tool, text, maxWidth_});
    tool->setAttribute(Qt::WA_Hover);
}

int COXToolTipCtrl::ToolOf(QObject* object) const {
    for (size_t i = 0; i < tools_.size(); ++i) {
        if (tools_[i].tool == object) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

const COXToolTipInfo* COXToolTipCtrl::Current() const {
    return current_ >= 0 ? &tools_[static_cast<size_t>(current_)] : nullptr;
}

bool COXToolTipCtrl::IsTipVisible() const {
    return tip_ != nullptr && tip_->isVisible();
}

QString COXToolTipCtrl::VisibleText() const {
    return IsTipVisible() ? tip_->text() : QString();
}

bool COXToolTipCtrl::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::Enter:
            if (const int index = ToolOf(watched); index >= 0) {
                Hide();
                current_ = index;
                showTimer_.start(kShowDelayMs, this);
            }
            break;
        case QEvent::Leave:
            if (Current() != nullptr && Current()->tool == watched && !IsTipVisible()) {
                showTimer_.stop();
                current_ = -1;
            }
            break;
        case QEvent::KeyPress:
        case QEvent::NonClientAreaMouseButtonPress:
            Hide();
            break;
        case QEvent::MouseButtonPress:
            if (static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton) {
                Hide();
            }
            break;
        default:
            break;
    }
    return false;
}

void COXToolTipCtrl::timerEvent(QTimerEvent* event) {
    if (event->timerId() == showTimer_.timerId()) {
        showTimer_.stop();
        if (CursorOnCurrentTool()) {
            Show();
        }
    } else if (event->timerId() == pollTimer_.timerId()) {
        if (!CursorOnCurrentTool() || shownFor_.elapsed() >= kDisplayLimitMs) {
            Hide();
        }
    }
}

bool COXToolTipCtrl::CursorOnCurrentTool() const {
    const COXToolTipInfo* info = Current();
    if (info == nullptr || info->tool == nullptr || !info->tool->isVisible()) {
        return false;
    }
    const QWidget* tool = info->tool;
    return tool->rect().contains(tool->mapFromGlobal(QCursor::pos()));
}

void COXToolTipCtrl::Show() {
    if (!tip_) {
        tip_ = std::make_unique<QLabel>(nullptr, Qt::ToolTip | Qt::FramelessWindowHint);
        tip_->setWordWrap(true);
        tip_->setMargin(4);
        tip_->setStyleSheet(QStringLiteral(
            "QLabel { background: #1b2230; color: #efefef; border: 1px solid #d5ba11; }"));
        if (owner_ != nullptr) {
            tip_->setFont(owner_->font());
        }
    }
    tip_->setText(Current()->text);
    if (Current()->maxWidth > 0) {
        tip_->setMaximumWidth(Current()->maxWidth);
    }
    tip_->adjustSize();
    tip_->move(QCursor::pos() + QPoint(0, kOffsetY));
    tip_->show();
    shownFor_.start();
    pollTimer_.start(kPollMs, this);
}

void COXToolTipCtrl::Hide() {
    showTimer_.stop();
    pollTimer_.stop();
    if (tip_) {
        tip_->hide();
    }
    current_ = -1;
}
