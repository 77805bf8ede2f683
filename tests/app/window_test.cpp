#include <gtest/gtest.h>

#include <cmath>

#include <QApplication>
#include <QCursor>
#include <QEnterEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <vector>

#include "controller/view.h"
#include "hostkit/texts.h"
#include "qt_environment.h"
#include "support/subprocess.h"
#include "ui/banner.h"
#include "ui/button_st.h"
#include "ui/downloader_window.h"
#include "ui/graph_ctrl.h"
#include "ui/progress_st.h"
#include "ui/skin.h"
#include "ui/tool_tip.h"
#include "ui/transparent_static.h"

namespace {

QRgb Rgb(const QImage& image, int x, int y) {
    return image.pixel(x, y) & 0x00FFFFFFu;
}

QRgb Rgb(const QColor& color) {
    return color.rgb() & 0x00FFFFFFu;
}

// The window's rendering of one control's rectangle.
QImage Region(CDownloaderWindow& window, int id) {
    return window.grab(window.Control(id)->geometry()).toImage();
}

int CountPixels(const QImage& image, const QRect& area, const std::function<bool(QColor)>& match) {
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            count += match(image.pixelColor(x, y)) ? 1 : 0;
        }
    }
    return count;
}

bool IsYellow(QColor c) {
    return c.red() > 200 && c.green() > 200 && c.blue() < 90;
}

bool IsLightGrey(QColor c) {
    return c.red() > 200 && c.green() > 200 && c.blue() > 200;
}

// A point inside the button's shape, away from its label.
const QPoint kButtonProbe(6, 12);

class RecordingListener : public IDownloaderViewListener {
  public:
    void OnCommand(int control) override { commands.push_back(control); }
    void OnEscape() override { ++escapes; }
    void OnCloseRequest() override { ++closeRequests; }
    void OnLibraryNotification(uint32_t code, uint32_t parameter) override {
        notifications.emplace_back(code, parameter);
    }

    std::vector<int> commands;
    int escapes = 0;
    int closeRequests = 0;
    std::vector<std::pair<uint32_t, uint32_t>> notifications;
};

CDisplayTexts RunningTexts() {
    CDisplayTexts texts;
    texts.fileName = "QK_Setup_part2.zip [2/3]";
    texts.received = "1.26 GB";
    texts.total = "3.75 GB";
    texts.remaining = "00:12:48";
    texts.elapsed = "00:04:51";
    texts.status = "4.43 MB/Sec";
    texts.folder = "/home/player/orvix9/QK/";
    return texts;
}

}  // namespace

TEST(CDownloaderWindow, EveryControlAtItsPlace) {
    CDownloaderWindow window;
    window.SetTitle(kMainWindowTitle);
    window.show();
    EXPECT_EQ(window.windowTitle(), QString::fromUtf8("QK DownLoader"));
    EXPECT_EQ(window.size(), QSize(748, 437));
    EXPECT_EQ(window.pos(), QPoint(0, 0));

    struct Place {
        int id;
        QRect geometry;
    };
    const Place places[] = {
        {kIdBanner, {9, 3, 383, 442}},           {kIdFileName, {456, 28, 263, 14}},
        {kIdReceived, {456, 59, 263, 14}},       {kIdTotal, {456, 90, 263, 14}},
        {kIdElapsed, {460, 134, 85, 14}},        {kIdRemaining, {634, 134, 85, 14}},
        {kIdStatus, {456, 173, 270, 14}},        {kIdGraph, {385, 191, 342, 69}},
        {kIdFileProgress, {441, 282, 286, 18}},  {kIdJobProgress, {441, 312, 286, 18}},
        {kIdFolderText, {447, 356, 201, 14}},    {kIdFolderButton, {662, 352, 65, 19}},
        {kIdStart, {384, 389, 108, 26}},         {kIdInstall, {502, 389, 108, 26}},
        {kIdClose, {620, 389, 108, 26}},         {kIdHiddenButton, {395, 254, 65, 19}},
        {kIdHiddenLabel1001, {13, 191, 48, 14}}, {kIdHiddenLabel1004, {13, 215, 48, 14}},
        {kIdHiddenLabel1014, {13, 234, 48, 14}}, {kIdHiddenLabel1006, {13, 259, 48, 14}},
    };
    for (const Place& place : places) {
        ASSERT_NE(window.Control(place.id), nullptr) << place.id;
        EXPECT_EQ(window.Control(place.id)->geometry(), place.geometry) << place.id;
    }
    EXPECT_EQ(window.Control(kIdAgreement)->pos(), QPoint(13, 293));
    const QRect panels[] = {
        {0, 0, 748, 20}, {0, 416, 748, 21}, {0, 20, 21, 396}, {363, 20, 385, 396}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(window.Panel(i)->geometry(), panels[i]) << i;
    }
    for (const int hidden : {kIdAgreement, kIdHiddenButton, kIdHiddenLabel1001, kIdHiddenLabel1004,
                             kIdHiddenLabel1014, kIdHiddenLabel1006}) {
        EXPECT_FALSE(window.Control(hidden)->isVisible()) << hidden;
    }
    EXPECT_FALSE(window.Control(kIdInstall)->isEnabled());
    EXPECT_TRUE(window.Control(kIdStart)->isEnabled());
    // The skin frames the banner: its edges lie below the panels.
    EXPECT_LT(window.children().indexOf(window.Banner()),
              window.children().indexOf(window.Panel(0)));
}

TEST(CDownloaderWindow, ScreenshotsOfItsThreeLooks) {
    CDownloaderWindow window;
    window.SetTitle(kMainWindowTitle);
    window.show();

    // Preparing: nothing known yet, start enabled, install disabled.
    CDisplayTexts texts;
    texts.folder = "/home/player/orvix9/QK/";
    window.ShowTexts(texts);
    const QImage preparing = SaveScreenshot(window, QStringLiteral("window-preparing"));
    EXPECT_EQ(preparing.size(), QSize(748, 437));
    const QImage startNormal = SkinImage(174);
    const QImage installDisabled = SkinImage(198);
    EXPECT_EQ(Rgb(Region(window, kIdStart), kButtonProbe.x(), kButtonProbe.y()),
              Rgb(startNormal, kButtonProbe.x(), kButtonProbe.y()));
    EXPECT_EQ(Rgb(Region(window, kIdInstall), kButtonProbe.x(), kButtonProbe.y()),
              Rgb(installDisabled, kButtonProbe.x(), kButtonProbe.y()));
    EXPECT_GT(CountPixels(Region(window, kIdFolderText), QRect(0, 0, 201, 14), IsLightGrey), 10);

    // Running: stop images, folder locked, a full current-file bar and a speed history.
    window.ShowStopOnStartButton(true);
    window.EnableControl(kIdFolderButton, false);
    window.ShowTexts(RunningTexts());
    window.SetProgress(kIdFileProgress, 150);
    window.SetProgress(kIdJobProgress, 37);
    for (int i = 0; i < CGraphCtrl::kSampleCount; ++i) {
        // Samples 10 (full) and 11 (empty) are checked below; the rest look like a download.
        const int sample = i == 10 ? 100 : i == 11 ? 0 : 30 + (i * 37) % 45;
        window.AppendGraphSample(sample);
    }
    SaveScreenshot(window, QStringLiteral("window-running"));

    CProgressST* bar = window.Progress(kIdFileProgress);
    EXPECT_EQ(bar->GetPos(), 100);
    EXPECT_EQ(bar->Text(), QStringLiteral("100%"));
    const QImage barImage = Region(window, kIdFileProgress);
    const QImage tile = SkinImage(179);
    for (const int x : {0, 3, 140 - 40, 285}) {
        EXPECT_EQ(Rgb(barImage, x, 8), Rgb(tile, x % tile.width(), 7)) << x;
    }
    // The percentage is drawn over the middle of the bar in light grey.
    EXPECT_GT(
        CountPixels(barImage, QRect(123, 2, 40, 14),
                    [](QColor c) { return c.red() > 225 && c.green() > 225 && c.blue() > 225; }),
        8);
    // The overall bar stops at 37% of its width.
    const QImage jobImage = Region(window, kIdJobProgress);
    const QImage groove = SkinImage(180);
    EXPECT_EQ(Rgb(jobImage, 5, 8), Rgb(tile, 5, 7));
    EXPECT_EQ(Rgb(jobImage, 286 * 37 / 100 + 3, 8), Rgb(groove, 286 * 37 / 100 + 3, 8));

    const QImage graph = Region(window, kIdGraph);
    const QImage graphBackground = SkinImage(200);
    CGraphCtrl* graphCtrl = window.Graph();
    EXPECT_EQ(graphCtrl->Samples()[10], 100);
    EXPECT_EQ(graphCtrl->Samples()[11], 0);
    const int full = graphCtrl->BarLeft(10);
    const int empty = graphCtrl->BarLeft(11);
    EXPECT_EQ(full, 52);
    for (int y = 0; y < 69; ++y) {
        for (int dx = 0; dx < CGraphCtrl::kBarWidth; ++dx) {
            ASSERT_EQ(Rgb(graph, full + dx, y), Rgb(CGraphCtrl::kBarColor)) << y;
            ASSERT_EQ(Rgb(graph, empty + dx, y), Rgb(graphBackground, empty + dx, y)) << y;
        }
    }
    EXPECT_EQ(Rgb(Region(window, kIdStart), kButtonProbe.x(), kButtonProbe.y()),
              Rgb(SkinImage(192), kButtonProbe.x(), kButtonProbe.y()));
    EXPECT_EQ(Rgb(Region(window, kIdFolderButton), kButtonProbe.x(), kButtonProbe.y()),
              Rgb(SkinImage(166), kButtonProbe.x(), kButtonProbe.y()));
    EXPECT_EQ(CountPixels(Region(window, kIdStatus), QRect(0, 0, 270, 14), IsYellow), 0);

    // Finished: install enabled, start and folder disabled, the status text yellow.
    window.ShowStopOnStartButton(false);
    window.EnableControl(kIdStart, false);
    window.EnableControl(kIdInstall, true);
    window.SetProgress(kIdFileProgress, 100);
    window.SetProgress(kIdJobProgress, 100);
    CDisplayTexts done = RunningTexts();
    done.fileName = "QK_Setup.sh [3/3]";
    done.received = done.total;
    done.remaining = kClockZero;
    done.status = "0.0 Bytes";
    window.ShowTexts(done);
    window.MarkFinished();
    SaveScreenshot(window, QStringLiteral("window-finished"));
    EXPECT_GT(CountPixels(Region(window, kIdStatus), QRect(0, 0, 270, 14), IsYellow), 10);
    EXPECT_EQ(Rgb(Region(window, kIdInstall), kButtonProbe.x(), kButtonProbe.y()),
              Rgb(SkinImage(199), kButtonProbe.x(), kButtonProbe.y()));
    EXPECT_EQ(Rgb(Region(window, kIdStart), kButtonProbe.x(), kButtonProbe.y()),
              Rgb(SkinImage(175), kButtonProbe.x(), kButtonProbe.y()));

    // Installing: the status text grows to three lines and a long message wraps into them.
    window.EnableControl(kIdInstall, false);
    window.ExpandStatusText();
    done.status = std::string(kTextInstalling) + kTextInstalling + kTextInstalling;
    window.ShowTexts(done);
    EXPECT_EQ(window.Control(kIdStatus)->geometry(), QRect(456, 173, 270, 42));
    SaveScreenshot(window, QStringLiteral("window-installing"));
    const QImage status = Region(window, kIdStatus);
    EXPECT_GT(CountPixels(status, QRect(0, 0, 270, 14), IsYellow), 10);
    EXPECT_GT(CountPixels(status, QRect(0, 16, 270, 26), IsYellow), 10);
}

TEST(CButtonST, WhichBitmapIsDrawn) {
    CButtonST button;
    const auto pixmap = [](Qt::GlobalColor color) {
        QPixmap pixmap(20, 10);
        pixmap.fill(color);
        return pixmap;
    };
    button.SetBitmaps(pixmap(Qt::red), pixmap(Qt::green), pixmap(Qt::blue));
    button.SizeToContent();
    EXPECT_EQ(button.size(), QSize(20, 10));
    EXPECT_EQ(button.BitmapIndexToDraw(), 1);
    QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
    QApplication::sendEvent(&button, &enter);
    EXPECT_EQ(button.BitmapIndexToDraw(), 0);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&button, &leave);
    button.setDown(true);
    EXPECT_EQ(button.BitmapIndexToDraw(), 0);
    button.setDown(false);
    button.setEnabled(false);
    EXPECT_EQ(button.BitmapIndexToDraw(), 2);
    button.SetBitmaps(pixmap(Qt::red), pixmap(Qt::green));
    EXPECT_EQ(button.BitmapIndexToDraw(), 1);  // no disabled image: the normal one
    button.SetBitmaps(pixmap(Qt::red));
    button.setEnabled(true);
    EXPECT_EQ(button.BitmapIndexToDraw(), 0);

    // A check box toggles before its click is reported.
    CButtonST box;
    box.SetCheckBox(true);
    box.SetBitmaps(pixmap(Qt::yellow), pixmap(Qt::gray));
    box.SetCheck(1);
    EXPECT_EQ(box.BitmapIndexToDraw(), 0);
    int seen = -1;
    QObject::connect(&box, &CButtonST::clicked, [&] { seen = box.GetCheck(); });
    box.click();
    EXPECT_EQ(seen, 0);
    EXPECT_EQ(box.BitmapIndexToDraw(), 1);
}

TEST(CButtonST, MagentaIsTransparent) {
    const QPixmap bitmap = SkinBitmap(174);
    const QImage stored = SkinImage(174);
    ASSERT_FALSE(bitmap.isNull());
    EXPECT_EQ(Rgb(stored, 0, 0), Rgb(QColor(255, 0, 255)));
    const QImage drawn = bitmap.toImage();
    EXPECT_EQ(qAlpha(drawn.pixel(0, 0)), 0);
    EXPECT_EQ(qAlpha(drawn.pixel(kButtonProbe)), 255);
}

TEST(CProgressST, ClampsIntoItsRange) {
    CProgressST bar;
    bar.resize(286, 18);
    bar.SetRange(0, 100);
    const int cases[][3] = {{0, 0, 0}, {37, 37, 105}, {150, 100, 286}, {-5, 0, 0}, {100, 100, 286}};
    for (const auto& c : cases) {
        bar.SetPos(c[0]);
        EXPECT_EQ(bar.GetPos(), c[1]) << c[0];
        EXPECT_EQ(bar.Percent(), c[1]) << c[0];
        EXPECT_EQ(bar.FilledWidth(), c[2]) << c[0];
        EXPECT_EQ(bar.Text(), QString::number(c[1]) + "%");
    }
}

TEST(CGraphCtrl, KeepsTheLast68SamplesClamped) {
    CGraphCtrl graph;
    graph.resize(342, 69);
    graph.Append(150);
    graph.Append(-3);
    graph.Append(42);
    const auto& samples = graph.Samples();
    EXPECT_EQ(samples[65], 100);
    EXPECT_EQ(samples[66], 0);
    EXPECT_EQ(samples[67], 42);
    for (int i = 0; i < 70; ++i) {
        graph.Append(i);
    }
    EXPECT_EQ(graph.Samples().front(), 2);
    EXPECT_EQ(graph.Samples().back(), 69);
    EXPECT_EQ(graph.BarLeft(0), 2);
    EXPECT_EQ(graph.BarLeft(67), 67 * 5 + 2);
}

TEST(CDownloaderWindow, ReportsCommandsEscapeAndCloseRequests) {
    CDownloaderWindow window;
    RecordingListener listener;
    window.SetListener(&listener);
    window.show();
    window.EnableControl(kIdInstall, true);
    for (const int id : {kIdStart, kIdInstall, kIdClose, kIdFolderButton, kIdAgreement}) {
        window.Button(id)->click();
    }
    EXPECT_EQ(listener.commands,
              (std::vector<int>{kIdStart, kIdInstall, kIdClose, kIdFolderButton, kIdAgreement}));

    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&window, &escape);
    EXPECT_EQ(listener.escapes, 1);
    EXPECT_TRUE(window.isVisible());

    window.close();
    EXPECT_EQ(listener.closeRequests, 1);
    EXPECT_TRUE(window.isVisible());
    window.CloseWindow();
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(listener.closeRequests, 1);
}

TEST(CDownloaderWindow, PostedMessagesAndQuitRunLater) {
    CDownloaderWindow window;
    std::vector<int> order;
    window.Post([&] { order.push_back(1); });
    order.push_back(0);
    window.PostQuit(5);
    EXPECT_EQ(window.exec(), 5);
    EXPECT_EQ(order, (std::vector<int>{0, 1}));
}

TEST(CDownloaderWindow, MovesByItsTopBandAndCentres) {
    CDownloaderWindow window;
    window.show();
    ASSERT_EQ(window.pos(), QPoint(0, 0));
    const auto mouse = [&window](QEvent::Type type, QPoint local, Qt::MouseButtons buttons) {
        QMouseEvent event(type, QPointF(local), QPointF(window.mapToGlobal(local)),
                          type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons,
                          Qt::NoModifier);
        QApplication::sendEvent(&window, &event);
    };
    // Below the band nothing moves.
    mouse(QEvent::MouseButtonPress, {200, 30}, Qt::LeftButton);
    mouse(QEvent::MouseMove, {230, 50}, Qt::LeftButton);
    mouse(QEvent::MouseButtonRelease, {230, 50}, Qt::NoButton);
    EXPECT_EQ(window.pos(), QPoint(0, 0));

    mouse(QEvent::MouseButtonPress, {200, 10}, Qt::LeftButton);
    mouse(QEvent::MouseMove, {230, 30}, Qt::LeftButton);
    mouse(QEvent::MouseButtonRelease, {230, 30}, Qt::NoButton);
    EXPECT_EQ(window.pos(), QPoint(30, 20));

    window.CenterOnScreen();
    const QRect screen = window.screen()->availableGeometry();
    EXPECT_LE((window.frameGeometry().center() - screen.center()).manhattanLength(), 2);
}

TEST(COXToolTipCtrl, ShowsAfterTheDelayAndHidesOnAKey) {
    QWidget owner;
    owner.resize(200, 100);
    auto* tool = new QLabel(QStringLiteral("tool"), &owner);
    tool->setGeometry(10, 10, 80, 20);
    COXToolTipCtrl tip(&owner);
    tip.SetMaxTipWidth(350);
    tip.AddTool(tool, QString::fromUtf8(kTextAgreementToolTip));
    owner.show();

    QCursor::setPos(tool->mapToGlobal(QPoint(5, 5)));
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(tool->mapToGlobal(QPoint(5, 5))));
    QApplication::sendEvent(tool, &enter);
    EXPECT_FALSE(tip.IsTipVisible());  // not before the delay
    ASSERT_TRUE(ProcessEventsUntil([&] { return tip.IsTipVisible(); }, std::chrono::seconds(3)));
    EXPECT_EQ(tip.VisibleText(), QString::fromUtf8(kTextAgreementToolTip));

    QKeyEvent key(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier);
    QApplication::sendEvent(&owner, &key);
    EXPECT_FALSE(tip.IsTipVisible());
}

TEST(CDownloaderWindow, TheHiddenAgreementBoxNeverShowsItsTip) {
    CDownloaderWindow window;
    window.show();
    QWidget* box = window.Control(kIdAgreement);
    QCursor::setPos(window.mapToGlobal(QPoint(15, 296)));
    QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(window.mapToGlobal(QPoint(15, 296))));
    QApplication::sendEvent(box, &enter);
    ProcessEventsUntil([] { return false; }, std::chrono::milliseconds(800));
    EXPECT_FALSE(window.ToolTip()->IsTipVisible());
}

// The bottom buttons lie clear of the bottom bar, drawn whole, at the window's own size and at
// 125 % and 150 % scaling: each scale runs in a child of this test (the factor is read when the
// application starts), which saves its screenshot and compares it with the buttons' geometry.
TEST(CDownloaderWindow, TheBottomButtonsClearTheBottomBarAtEveryScale) {
    for (const char* scale : {"1", "1.25", "1.5"}) {
        SCOPED_TRACE(scale);
        ProcessOptions options;
        options.timeoutMs = 60000;
        options.environment = {{"QT_SCALE_FACTOR", scale}, {"TEV_LAYOUT_SCALE", scale}};
        const ProcessResult result = RunProcess(
            {"/proc/self/exe", "--gtest_filter=CDownloaderWindow.LayoutAtOneScale"}, options);
        EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
        EXPECT_NE(result.out.find("[  PASSED  ] 1 test"), std::string::npos) << result.out;
    }
}

TEST(CDownloaderWindow, LayoutAtOneScale) {
    const char* scale = std::getenv("TEV_LAYOUT_SCALE");
    if (scale == nullptr) {
        GTEST_SKIP() << "run by TheBottomButtonsClearTheBottomBarAtEveryScale";
    }
    CDownloaderWindow window;
    window.SetTitle(kMainWindowTitle);
    window.show();
    const QImage image =
        SaveScreenshot(window, QStringLiteral("window-layout-") + QString::fromLatin1(scale));
    const double ratio = image.devicePixelRatio();
    EXPECT_NEAR(ratio, std::atof(scale), 0.01);
    const QRect bottomBar(0, 416, 748, 21);
    // The bar's top line, as drawn where no button is.
    const int barTop = static_cast<int>(std::ceil(bottomBar.top() * ratio));
    const QRgb barLine = Rgb(image, 2, barTop);
    for (const int id : {kIdStart, kIdInstall, kIdClose}) {
        SCOPED_TRACE(id);
        const QRect button = window.Control(id)->geometry();
        EXPECT_FALSE(button.intersects(bottomBar)) << button.bottom();
        // The button's last row on the screen is the button's, not the bar's line.
        const int lastRow = static_cast<int>(std::floor((button.bottom() + 1) * ratio)) - 1;
        ASSERT_LT(lastRow, barTop);
        int barPixels = 0;
        const int left = static_cast<int>(std::ceil(button.left() * ratio));
        const int right = static_cast<int>(std::floor((button.right() + 1) * ratio));
        for (int x = left; x < right; ++x) {
            barPixels += Rgb(image, x, lastRow) == barLine ? 1 : 0;
        }
        EXPECT_LT(barPixels, (right - left) / 2);
        // And the bar's line runs whole beneath it.
        for (int x = left; x < right; ++x) {
            ASSERT_EQ(Rgb(image, x, barTop), barLine) << x;
        }
    }
}
