// A progress bar drawn from two bitmaps: the background at its own size, the bar tiled from the
// left over the filled part, and the percentage centred over both.
#pragma once

#include <QColor>
#include <QPixmap>
#include <QString>
#include <QWidget>

class CProgressST : public QWidget {
    Q_OBJECT

  public:
    explicit CProgressST(QWidget* parent = nullptr);

    void SetBitmaps(const QPixmap& bar, const QPixmap& background);
    void SetRange(int low, int high);
    // Clamped into the range.
    void SetPos(int position);
    int GetPos() const { return position_; }
    // A printf format with one %d: the percentage.
    void SetTextFormat(const QString& format);
    void SetTextColor(const QColor& color);

    int Percent() const;
    QString Text() const;
    // Width of the filled part in pixels.
    int FilledWidth() const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QPixmap bar_;
    QPixmap background_;
    int low_ = 0;
    int high_ = 100;
    int position_ = 0;
    QString format_ = QStringLiteral("%d%%");
    QColor textColor_{239, 239, 239};
};
