// Tool-tips of the window's controls: shown 500 ms after the cursor comes onto a tool, 20 pixels
// below it, and hidden when the cursor leaves the tool, after 5 seconds, or on a key or an
// unusual mouse button.
#pragma once

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>
#include <vector>

class QLabel;
class QWidget;

struct COXToolTipInfo {
    QPointer<QWidget> tool;
    QString text;
    int maxWidth = 0;
};

class COXToolTipCtrl : public QObject {
    Q_OBJECT

  public:
    static constexpr int kShowDelayMs = 500;
    static constexpr int kPollMs = 500;
    static constexpr int kDisplayLimitMs = 5000;
    static constexpr int kOffsetY = 20;

    explicit COXToolTipCtrl(QWidget* owner);
    ~COXToolTipCtrl() override;

    void SetMaxTipWidth(int width) { maxWidth_ = width; }
    void AddTool(QWidget* tool, const QString& text);

    bool IsTipVisible() const;
    QString VisibleText() const;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

  private:
    int ToolOf(QObject* object) const;
    const COXToolTipInfo* Current() const;
    void Show();
    void Hide();
    bool CursorOnCurrentTool() const;

    QPointer<QWidget> owner_;
    std::vector<COXToolTipInfo> tools_;
    int current_ = -1;  // index into tools_
    int maxWidth_ = 0;
    QBasicTimer showTimer_;
    QBasicTimer pollTimer_;
    QElapsedTimer shownFor_;
    std::unique_ptr<QLabel> tip_;
};
