// A bar graph of the last 68 speed samples (0..100, oldest first) over a background bitmap.
#pragma once

#include <QColor>
#include <QPixmap>
#include <QWidget>
#include <array>

class CGraphCtrl : public QWidget {
    Q_OBJECT

  public:
    static constexpr int kSampleCount = 68;
    static constexpr int kBarWidth = 3;
    static inline const QColor kBarColor{213, 186, 17};

    explicit CGraphCtrl(QWidget* parent = nullptr);

    void SetBackground(const QPixmap& background);
    // Drops the oldest sample, appends this one (clamped into 0..100) and repaints.
    void Append(int sample);
    const std::array<int, kSampleCount>& Samples() const { return samples_; }
    // The left edge of sample i's bar.
    int BarLeft(int index) const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    std::array<int, kSampleCount> samples_{};
    QPixmap background_;
};
