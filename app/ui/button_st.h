// A push button or check box drawn from bitmaps: the first while the mouse is over it or it is
// pressed (a check box: while ticked), the third while disabled, else the second.
#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QPixmap>

class CButtonST : public QAbstractButton {
    Q_OBJECT

  public:
    explicit CButtonST(QWidget* parent = nullptr);

    // Three bitmaps in their roles: hover or pressed, normal, disabled; missing ones are null.
    void SetBitmaps(const QPixmap& first, const QPixmap& second = {}, const QPixmap& third = {});
    // A check box shows its first bitmap while ticked and its second while cleared, then its text.
    void SetCheckBox(bool checkBox);
    void SetCheck(int check);
    int GetCheck() const { return isChecked() ? 1 : 0; }
    void SetDrawBorder(bool drawBorder);
    // Draws over whatever lies below instead of a button face.
    void SetDrawTransparent(bool transparent);
    void SizeToContent();
    void SetTextColor(const QColor& color);

    // Which bitmap the next paint draws: 0 first, 1 second, 2 third.
    int BitmapIndexToDraw() const;

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    QPixmap bitmaps_[3];
    bool drawBorder_ = true;
    bool transparent_ = false;
    bool mouseOver_ = false;
    QColor textColor_{239, 239, 239};
};
