#include "ui/progress_st.h"

#include <QPainter>
#include <algorithm>

CProgressST::CProgressST(QWidget* parent) : QWidget(parent) {}

void CProgressST::SetBitmaps(const QPixmap& bar, const QPixmap& background) {
    bar_ = bar;
    background_ = background;
    update();
}

void CProgressST::SetRange(int low, int high) {
    low_ = low;
    high_ = std::max(high, low + 1);
    SetPos(position_);
}

void CProgressST::SetPos(int position) {
    const int clamped = std::clamp(position, low_, high_);
    if (clamped != position_) {
        position_ = clamped;
        update();
    }
}

void CProgressST::SetTextFormat(const QString& format) {
    format_ = format;
    update();
}

void CProgressST::SetTextColor(const QColor& color) {
    textColor_ = color;
    update();
}

int CProgressST::Percent() const {
    return static_cast<int>(static_cast<long long>(position_ - low_) * 100 / (high_ - low_));
}

QString CProgressST::Text() const {
    // The format is the window's own ("%d%%"), never outside input.
    return QString::asprintf(format_.toUtf8().constData(), Percent());
}

int CProgressST::FilledWidth() const {
    return static_cast<int>(static_cast<long long>(width()) * (position_ - low_) / (high_ - low_));
}

void CProgressST::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (!background_.isNull()) {
        painter.drawPixmap(0, 0, background_);
    }
    const int filled = FilledWidth();
    if (!bar_.isNull() && filled > 0) {
        const int top = std::max(0, (height() - bar_.height()) / 2);
        painter.drawTiledPixmap(QRect(0, top, filled, bar_.height()), bar_);
    }
    painter.setFont(font());
    painter.setPen(textColor_);
    painter.drawText(rect(), Qt::AlignCenter, Text());
}
