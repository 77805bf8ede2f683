#include "ui/downloader_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QWindow>

#include "hostkit/texts.h"
#include "ui/banner.h"
#include "ui/button_st.h"
#include "ui/fonts.h"
#include "ui/graph_ctrl.h"
#include "ui/progress_st.h"
#include "ui/resume_dlg.h"
#include "ui/skin.h"
#include "ui/tool_tip.h"
#include "ui/transparent_static.h"

namespace {

struct TextPlace {
    int id;
    QRect geometry;
    bool figureFont;
};

// Where every text sits, and in which font.
const TextPlace kTextPlaces[] = {
    {kIdFileName, {456, 28, 263, 14}, true},     {kIdReceived, {456, 59, 263, 14}, true},
    {kIdTotal, {456, 90, 263, 14}, true},        {kIdElapsed, {460, 134, 85, 14}, true},
    {kIdRemaining, {634, 134, 85, 14}, true},    {kIdStatus, {456, 173, 270, 14}, true},
    {kIdFolderText, {447, 356, 201, 14}, false},
};

struct ButtonPlace {
    int id;
    QPoint topLeft;
    int bitmaps[3];
};

// The three bottom buttons are 26 pixels high above the bottom bar at 416: at 391 their last row
// lay under the bar, so they sit two pixels higher, clear of it with a pixel to spare.
constexpr int kBottomButtonsTop = 389;

const ButtonPlace kButtonPlaces[] = {
    {kIdFolderButton, {662, 352}, {164, 165, 166}},
    {kIdStart, {384, kBottomButtonsTop}, {176, 174, 175}},
    {kIdInstall, {502, kBottomButtonsTop}, {197, 199, 198}},
    {kIdClose, {620, kBottomButtonsTop}, {173, 171, 172}},
    {kIdHiddenButton, {395, 254}, {168, 169, 170}},
};
constexpr int kStopBitmaps[3] = {191, 192, 193};
constexpr int kStartBitmaps[3] = {176, 174, 175};

struct PanelPlace {
    int bitmap;
    QPoint topLeft;
};

const PanelPlace kPanelPlaces[4] = {
    {187, {0, 0}}, {188, {0, 416}}, {189, {0, 20}}, {190, {363, 20}}};

}  // namespace

CDownloaderWindow::CDownloaderWindow(QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint) {
    LoadApplicationFonts();
    QFont dialogFont(QStringLiteral("MS Shell Dlg"));
    dialogFont.setPointSize(8);
    setFont(dialogFont);
    setWindowIcon(WindowIcon());
    QPalette background = palette();
    background.setColor(QPalette::Window, QColor(20, 26, 37));
    setPalette(background);
    setAutoFillBackground(true);

    // The banner lies below the skin, which frames it.
    banner_ = new CExplorer1(this);
    banner_->setGeometry(9, 3, 383, 442);
    banner_->SetVisibleArea(QRect(21 - 9, 20 - 3, 363 - 21, 416 - 20));
    banner_->SetImage(DefaultBanner());
    controls_[kIdBanner] = banner_;

    CreatePanels();
    setFixedSize(kClientWidth, kClientHeight);
    move(0, 0);
    CreateControls();
    SetUpButtons();
    SetUpTexts();
    SetUpProgressBars();
    SetUpToolTip();
    EnableControl(kIdInstall, false);
}

CDownloaderWindow::~CDownloaderWindow() = default;

void CDownloaderWindow::CreatePanels() {
    for (int i = 0; i < 4; ++i) {
        const QPixmap bitmap = SkinBitmap(kPanelPlaces[i].bitmap);
        auto* panel = new QLabel(this);
        panel->setPixmap(bitmap);
        panel->setGeometry(QRect(kPanelPlaces[i].topLeft, bitmap.size()));
        // Presses pass through to the window (moving by the top band).
        panel->setAttribute(Qt::WA_TransparentForMouseEvents);
        panel->raise();
        panels_[i] = panel;
    }
    controls_[20000] = panels_[3];
}

void CDownloaderWindow::CreateControls() {
    for (const TextPlace& place : kTextPlaces) {
        auto* text = new CTransparentStatic2(this);
        text->setGeometry(place.geometry);
        controls_[place.id] = text;
    }

    graph_ = new CGraphCtrl(this);
    graph_->setGeometry(385, 191, 342, 69);
    graph_->SetBackground(SkinBitmap(200));
    controls_[kIdGraph] = graph_;

    auto* fileProgress = new CProgressST(this);
    fileProgress->setGeometry(441, 282, 286, 18);
    controls_[kIdFileProgress] = fileProgress;
    auto* jobProgress = new CProgressST(this);
    jobProgress->setGeometry(441, 312, 286, 18);
    controls_[kIdJobProgress] = jobProgress;

    for (const ButtonPlace& place : kButtonPlaces) {
        auto* button = new CButtonST(this);
        button->move(place.topLeft);
        connect(button, &CButtonST::clicked, this, [this, id = place.id] { OnCommand(id); });
        controls_[place.id] = button;
    }
    Control(kIdHiddenButton)->hide();

    auto* agreement = new CButtonST(this);
    agreement->setText(QStringLiteral("超高速下載"));
    agreement->setGeometry(13, 293, 160, 14);
    agreement->hide();
    connect(agreement, &CButtonST::clicked, this, [this] { OnCommand(kIdAgreement); });
    controls_[kIdAgreement] = agreement;

    const int labels[4] = {kIdHiddenLabel1001, kIdHiddenLabel1004, kIdHiddenLabel1014,
                           kIdHiddenLabel1006};
    const int labelTops[4] = {191, 215, 234, 259};
    for (int i = 0; i < 4; ++i) {
        auto* label = new QLabel(this);
        label->setFont(TextFont());
        label->setGeometry(13, labelTops[i], 48, 14);
        label->hide();
        controls_[labels[i]] = label;
    }
}

void CDownloaderWindow::SetUpButtons() {
    for (const ButtonPlace& place : kButtonPlaces) {
        CButtonST* button = Button(place.id);
        button->SetBitmaps(SkinBitmap(place.bitmaps[0]), SkinBitmap(place.bitmaps[1]),
                           SkinBitmap(place.bitmaps[2]));
        button->SetDrawBorder(false);
        button->SetDrawTransparent(true);
        button->SizeToContent();
    }
    CButtonST* agreement = Button(kIdAgreement);
    agreement->SetCheckBox(true);
    agreement->SetBitmaps(SkinBitmap(178), SkinBitmap(177));
    agreement->SetDrawBorder(false);
    agreement->SetDrawTransparent(true);
    agreement->setFont(TextFont());
}

void CDownloaderWindow::SetUpTexts() {
    for (const TextPlace& place : kTextPlaces) {
        Text(place.id)->setFont(place.figureFont ? FigureFont() : TextFont());
    }
}

void CDownloaderWindow::SetUpProgressBars() {
    for (const int id : {kIdFileProgress, kIdJobProgress}) {
        CProgressST* bar = Progress(id);
        bar->SetBitmaps(SkinBitmap(179), SkinBitmap(180));
        bar->SetRange(0, 100);
        bar->SetPos(0);
        bar->SetTextFormat(QStringLiteral("%d%%"));
        bar->setFont(FigureFont());
    }
}

void CDownloaderWindow::SetUpToolTip() {
    toolTip_ = new COXToolTipCtrl(this);
    toolTip_->SetMaxTipWidth(350);
    toolTip_->AddTool(Control(kIdAgreement), QString::fromUtf8(kTextAgreementToolTip));
}

QWidget* CDownloaderWindow::Control(int id) const {
    const auto found = controls_.find(id);
    return found == controls_.end() ? nullptr : found->second;
}

CButtonST* CDownloaderWindow::Button(int id) const {
    return qobject_cast<CButtonST*>(Control(id));
}

CProgressST* CDownloaderWindow::Progress(int id) const {
    return qobject_cast<CProgressST*>(Control(id));
}

CTransparentStatic2* CDownloaderWindow::Text(int id) const {
    return qobject_cast<CTransparentStatic2*>(Control(id));
}

void CDownloaderWindow::SetTitle(const std::string& title) {
    setWindowTitle(QString::fromStdString(title));
}

void CDownloaderWindow::ShowTexts(const CDisplayTexts& texts) {
    const std::pair<int, const std::string*> fields[] = {
        {kIdFileName, &texts.fileName}, {kIdReceived, &texts.received},
        {kIdTotal, &texts.total},       {kIdRemaining, &texts.remaining},
        {kIdElapsed, &texts.elapsed},   {kIdStatus, &texts.status},
        {kIdFolderText, &texts.folder},
    };
    for (const auto& [id, text] : fields) {
        Text(id)->SetText(QString::fromStdString(*text));
    }
}

void CDownloaderWindow::SetProgress(int control, int position) {
    if (CProgressST* bar = Progress(control); bar != nullptr) {
        bar->SetPos(position);
    }
}

void CDownloaderWindow::AppendGraphSample(int sample) {
    graph_->Append(sample);
}

void CDownloaderWindow::EnableControl(int control, bool enabled) {
    if (QWidget* widget = Control(control); widget != nullptr) {
        widget->setEnabled(enabled);
    }
}

void CDownloaderWindow::ShowStopOnStartButton(bool hasJob) {
    const int(&bitmaps)[3] = hasJob ? kStopBitmaps : kStartBitmaps;
    Button(kIdStart)->SetBitmaps(SkinBitmap(bitmaps[0]), SkinBitmap(bitmaps[1]),
                                 SkinBitmap(bitmaps[2]));
}

void CDownloaderWindow::SetAgreementChecked(bool ticked) {
    Button(kIdAgreement)->SetCheck(ticked ? 1 : 0);
}

bool CDownloaderWindow::IsAgreementChecked() const {
    return Button(kIdAgreement)->GetCheck() != 0;
}

void CDownloaderWindow::MarkFinished() {
    Text(kIdStatus)->SetTextColor(kFinishedStatusColor);
}

void CDownloaderWindow::ExpandStatusText() {
    CTransparentStatic2* status = Text(kIdStatus);
    status->setGeometry(456, 173, 270, 42);
    // Its lower lines reach over the graph: they must stay readable.
    status->raise();
    status->repaint();
}

void CDownloaderWindow::CenterOnScreen() {
    const QScreen* screen =
        this->screen() != nullptr ? this->screen() : QApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
}

void CDownloaderWindow::NavigateBanner(const std::string& url) {
    banner_->Navigate(QString::fromStdString(url));
}

CResumeAnswer CDownloaderWindow::RunResumePrompt() {
    CResumeDlg prompt(this);
    prompt.exec();
    return CResumeAnswer{prompt.Resume(), prompt.ApplyToAll()};
}

void CDownloaderWindow::Post(std::function<void()> message) {
    QMetaObject::invokeMethod(this, std::move(message), Qt::QueuedConnection);
}

void CDownloaderWindow::PostQuit(int exitCode) {
    QMetaObject::invokeMethod(
        this, [this, exitCode] { done(exitCode); }, Qt::QueuedConnection);
}

void CDownloaderWindow::CloseWindow() {
    closeAllowed_ = true;
    close();
}

void CDownloaderWindow::OnCommand(int id) {
    if (listener_ != nullptr) {
        listener_->OnCommand(id);
    }
}

void CDownloaderWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && listener_ != nullptr) {
        event->accept();
        listener_->OnEscape();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CDownloaderWindow::closeEvent(QCloseEvent* event) {
    if (!closeAllowed_ && listener_ != nullptr) {
        event->ignore();
        listener_->OnCloseRequest();
        return;
    }
    QDialog::closeEvent(event);
}

void CDownloaderWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || event->position().y() >= kMoveBandHeight) {
        QDialog::mousePressEvent(event);
        return;
    }
    event->accept();
    // The window manager moves the window when it can; otherwise we follow the mouse.
    if (windowHandle() != nullptr && windowHandle()->startSystemMove()) {
        return;
    }
    dragging_ = true;
    dragOffset_ = event->globalPosition().toPoint() - pos();
}

void CDownloaderWindow::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_ && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - dragOffset_);
        event->accept();
        return;
    }
    QDialog::mouseMoveEvent(event);
}

void CDownloaderWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (dragging_ && event->button() == Qt::LeftButton) {
        dragging_ = false;
        event->accept();
        return;
    }
    QDialog::mouseReleaseEvent(event);
}
