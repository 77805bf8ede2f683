#include "ui/transparent_static.h"

#include <QPainter>
#include <QTextOption>

CTransparentStatic2::CTransparentStatic2(QWidget* parent) : QWidget(parent) {
    // Nothing of our own below the text: the window's skin shows through.
    setAutoFillBackground(false);
}

void CTransparentStatic2::SetText(const QString& text) {
    if (text != text_) {
        text_ = text;
        update();
    }
}

void CTransparentStatic2::SetTextColor(const QColor& color) {
    if (color != color_) {
        color_ = color;
        update();
    }
}

void CTransparentStatic2::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(color_);
    QTextOption option(Qt::AlignLeft | Qt::AlignTop);
    // Long texts wrap where a taller control has room for them; CJK text breaks anywhere.
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    painter.drawText(QRectF(rect()), text_, option);
}
