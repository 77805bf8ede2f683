// The main download window's widgets: the skin, the texts, the bars, the graph, the buttons and
// the banner, laid out at their fixed places. It shows what its controller tells it and reports
// clicks, Escape and close requests back. Library notifications reach the controller through its
// own host window (core/library_window.h).
#pragma once

#include <QDialog>
#include <QPoint>
#include <QPointer>
#include <cstdint>
#include <map>

#include "controller/view.h"

class CButtonST;
class CExplorer1;
class CGraphCtrl;
class COXToolTipCtrl;
class CProgressST;
class CTransparentStatic2;
class QLabel;

class CDownloaderWindow : public QDialog, public IDownloaderView {
    Q_OBJECT

  public:
    static constexpr int kClientWidth = 748;
    static constexpr int kClientHeight = 437;
    // A press above this line moves the window, as on a title bar.
    static constexpr int kMoveBandHeight = 28;
    static inline const QColor kFinishedStatusColor{255, 255, 0};

    explicit CDownloaderWindow(QWidget* parent = nullptr);
    ~CDownloaderWindow() override;

    // Borrowed; null reports nothing (Escape and close then simply close the window).
    void SetListener(IDownloaderViewListener* listener) { listener_ = listener; }

    // The control with a window id (see DownloaderControl), or null.
    QWidget* Control(int id) const;
    CButtonST* Button(int id) const;
    CProgressST* Progress(int id) const;
    CTransparentStatic2* Text(int id) const;
    CGraphCtrl* Graph() const { return graph_; }
    CExplorer1* Banner() const { return banner_; }
    COXToolTipCtrl* ToolTip() const { return toolTip_; }
    // The four skin panels, in the order they were created.
    QLabel* Panel(int index) const { return panels_[index]; }

    // IDownloaderView
    void SetTitle(const std::string& title) override;
    void ShowTexts(const CDisplayTexts& texts) override;
    void SetProgress(int control, int position) override;
    void AppendGraphSample(int sample) override;
    void EnableControl(int control, bool enabled) override;
    void ShowStopOnStartButton(bool hasJob) override;
    void SetAgreementChecked(bool ticked) override;
    bool IsAgreementChecked() const override;
    void MarkFinished() override;
    void ExpandStatusText() override;
    void CenterOnScreen() override;
    void NavigateBanner(const std::string& url) override;
    CResumeAnswer RunResumePrompt() override;
    void Post(std::function<void()> message) override;
    void PostQuit(int exitCode) override;
    void CloseWindow() override;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    void CreatePanels();
    void CreateControls();
    void SetUpButtons();
    void SetUpTexts();
    void SetUpProgressBars();
    void SetUpToolTip();
    void OnCommand(int id);

    IDownloaderViewListener* listener_ = nullptr;
    std::map<int, QWidget*> controls_;
    QLabel* panels_[4] = {};
    CExplorer1* banner_ = nullptr;
    CGraphCtrl* graph_ = nullptr;
    COXToolTipCtrl* toolTip_ = nullptr;
    bool closeAllowed_ = false;
    bool dragging_ = false;
    QPoint dragOffset_;
};
