// A text drawn straight over the window's background, light grey unless told otherwise.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

class CTransparentStatic2 : public QWidget {
    Q_OBJECT

  public:
    static inline const QColor kDefaultColor{239, 239, 239};

    explicit CTransparentStatic2(QWidget* parent = nullptr);

    void SetText(const QString& text);
    QString Text() const { return text_; }
    void SetTextColor(const QColor& color);
    QColor TextColor() const { return color_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QString text_;
    QColor color_ = kDefaultColor;
};
