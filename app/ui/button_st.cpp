#include "ui/button_st.h"

#include <QEnterEvent>
#include <QPainter>

CButtonST::CButtonST(QWidget* parent) : QAbstractButton(parent) {
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
}

void CButtonST::SetBitmaps(const QPixmap& first, const QPixmap& second, const QPixmap& third) {
    bitmaps_[0] = first;
    bitmaps_[1] = second;
    bitmaps_[2] = third;
    update();
}

void CButtonST::SetCheckBox(bool checkBox) {
    setCheckable(checkBox);
}

void CButtonST::SetCheck(int check) {
    setChecked(check != 0);
    update();
}

void CButtonST::SetDrawBorder(bool drawBorder) {
    drawBorder_ = drawBorder;
    update();
}

void CButtonST::SetDrawTransparent(bool transparent) {
    transparent_ = transparent;
    update();
}

void CButtonST::SetTextColor(const QColor& color) {
    textColor_ = color;
    update();
}

void CButtonST::SizeToContent() {
    if (!bitmaps_[0].isNull()) {
        resize(bitmaps_[0].deviceIndependentSize().toSize());
    }
}

QSize CButtonST::sizeHint() const {
    return bitmaps_[0].isNull() ? QSize(16, 16) : bitmaps_[0].deviceIndependentSize().toSize();
}

int CButtonST::BitmapIndexToDraw() const {
    if (isCheckable()) {
        if (isChecked()) {
            return 0;
        }
        return bitmaps_[1].isNull() ? 0 : 1;
    }
    if (!isEnabled() && !bitmaps_[2].isNull()) {
        return 2;
    }
    if (isEnabled() && (mouseOver_ || isDown())) {
        return 0;
    }
    return bitmaps_[1].isNull() ? 0 : 1;
}

void CButtonST::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (!transparent_) {
        painter.fillRect(rect(), palette().button());
    }
    const QPixmap& bitmap = bitmaps_[BitmapIndexToDraw()];
    if (isCheckable()) {
        const int top = (height() - bitmap.height()) / 2;
        painter.drawPixmap(0, top, bitmap);
        painter.setFont(font());
        painter.setPen(isEnabled() ? textColor_ : textColor_.darker(160));
        const QRect textRect = rect().adjusted(bitmap.width() + 4, 0, 0, 0);
        painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter, text());
    } else {
        painter.drawPixmap(0, 0, bitmap);
    }
    if (drawBorder_) {
        painter.setPen(palette().color(QPalette::Mid));
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

void CButtonST::enterEvent(QEnterEvent* event) {
    mouseOver_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void CButtonST::leaveEvent(QEvent* event) {
    mouseOver_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}
