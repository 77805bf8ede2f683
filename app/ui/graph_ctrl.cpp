#include "ui/graph_ctrl.h"

#include <QPainter>
#include <algorithm>

CGraphCtrl::CGraphCtrl(QWidget* parent) : QWidget(parent) {}

void CGraphCtrl::SetBackground(const QPixmap& background) {
    background_ = background;
    update();
}

void CGraphCtrl::Append(int sample) {
    std::move(samples_.begin() + 1, samples_.end(), samples_.begin());
    samples_.back() = std::clamp(sample, 0, 100);
    update();
}

int CGraphCtrl::BarLeft(int index) const {
    return index * (width() / kSampleCount) + 2;
}

void CGraphCtrl::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (!background_.isNull()) {
        painter.drawPixmap(0, 0, background_);
    }
    const int clientHeight = height();
    for (int i = 0; i < kSampleCount; ++i) {
        const int value = samples_[static_cast<size_t>(i)];
        if (value <= 0) {
            continue;
        }
        const int barHeight = clientHeight * value / 100;
        painter.fillRect(BarLeft(i), clientHeight - barHeight, kBarWidth, barHeight, kBarColor);
    }
}
