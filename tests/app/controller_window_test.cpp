// The real window led by its controller through a download from the test server, rendered in
// each state to PNG files kept as test output.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "controller/downloader_dlg.h"
#include "fake_seams.h"
#include "hostkit/texts.h"
#include "qt_environment.h"
#include "report_collector/report_collector.h"
#include "test_server/test_http_server.h"
#include "ui/button_st.h"
#include "ui/downloader_window.h"
#include "ui/graph_ctrl.h"
#include "ui/progress_st.h"
#include "ui/skin.h"

using tev::tools::HttpRule;
using tev::tools::ReportCollector;
using tev::tools::TestHttpServer;
using namespace std::chrono_literals;

namespace {

// A point inside a button's shape, away from its label.
const QPoint kButtonProbe(6, 12);

QRgb ButtonPixel(CDownloaderWindow& window, int id) {
    const QImage image = window.grab(window.Control(id)->geometry()).toImage();
    return image.pixel(kButtonProbe) & 0x00FFFFFFu;
}

QRgb BitmapPixel(int bitmap) {
    return SkinImage(bitmap).pixel(kButtonProbe) & 0x00FFFFFFu;
}

int YellowPixels(CDownloaderWindow& window, int id) {
    const QImage image = window.grab(window.Control(id)->geometry()).toImage();
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            count += c.red() > 200 && c.green() > 200 && c.blue() < 90 ? 1 : 0;
        }
    }
    return count;
}

}  // namespace

TEST(ControllerWindow, ScreenshotsOfTheStatesTheControllerLeadsThrough) {
    TestHttpServer server;
    ASSERT_TRUE(server.Ok());
    const std::string root = std::getenv("TEV_TEST_ROOT");
    ReportCollector collector({.port = 0, .database = root + "/reports.db"});
    ASSERT_TRUE(collector.Ok());
    setenv("TEV_REPORT_SERVER", ("127.0.0.1:" + std::to_string(collector.Port())).c_str(), 1);
    setenv("TEV_DOWNLOAD_SERVER", ("127.0.0.1:" + std::to_string(server.Port())).c_str(), 1);
    // Two seconds of download at 12 megabits a second: the graph and the bars have something
    // to show while the job runs.
    server.SetContent("/game/QK_Data.pak", std::string(3 * 1024 * 1024, 'd'));
    server.AddRule("/game/QK_Data.pak",
                   {.kind = HttpRule::Rate, .bytesPerSecond = 1536 * 1024, .onlyWithRange = true});
    server.SetContent("/game/QK_Setup.sh", "#!/bin/sh\n");
    server.SetContent("/game/filelist.txt", server.Url("/game/QK_Data.pak") + "\n" +
                                                server.Url("/game/QK_Setup.sh") + "\n");

    CDownloaderWindow window;
    CFakeMessageBoxes boxes;
    CFakeFolderChooser folders;
    std::string installed;
    window.show();
    {
        CTEVDownloaderDlg dlg(window, boxes, folders, server.Url("/game/filelist.txt"));
        dlg.SetInstallerRunner([&installed](const std::string& path) {
            installed = path;
            return true;
        });
        window.SetListener(&dlg);
        dlg.OnInitDialog();

        EXPECT_EQ(dlg.State(), DownloaderState::Preparing);
        EXPECT_EQ(window.windowTitle(), QString::fromUtf8(kMainWindowTitle));
        SaveScreenshot(window, QStringLiteral("controller-preparing"));
        EXPECT_EQ(ButtonPixel(window, kIdStart), BitmapPixel(174));
        EXPECT_EQ(ButtonPixel(window, kIdInstall), BitmapPixel(198));
        EXPECT_EQ(ButtonPixel(window, kIdFolderButton), BitmapPixel(165));

        ASSERT_TRUE(ProcessEventsUntil([&] { return dlg.State() == DownloaderState::Ready; }));
        window.Button(kIdStart)->click();
        ASSERT_EQ(dlg.State(), DownloaderState::Running);
        CGraphCtrl* graph = window.Graph();
        ASSERT_TRUE(
            ProcessEventsUntil([&] { return graph->Samples().back() > 0 || dlg.Finished(); }, 30s));
        ASSERT_FALSE(dlg.Finished()) << "the download ended before a running picture";
        SaveScreenshot(window, QStringLiteral("controller-running"));
        EXPECT_EQ(ButtonPixel(window, kIdStart), BitmapPixel(192));
        EXPECT_EQ(ButtonPixel(window, kIdFolderButton), BitmapPixel(166));
        EXPECT_GT(window.Progress(kIdJobProgress)->GetPos(), 0);
        EXPECT_EQ(YellowPixels(window, kIdStatus), 0);

        ASSERT_TRUE(ProcessEventsUntil([&] { return dlg.Finished(); }, 60s));
        SaveScreenshot(window, QStringLiteral("controller-finished"));
        EXPECT_EQ(window.Progress(kIdJobProgress)->Text(), QStringLiteral("100%"));
        EXPECT_EQ(ButtonPixel(window, kIdInstall), BitmapPixel(199));
        EXPECT_EQ(ButtonPixel(window, kIdStart), BitmapPixel(175));
        EXPECT_EQ(ButtonPixel(window, kIdFolderButton), BitmapPixel(166));
        EXPECT_GT(YellowPixels(window, kIdStatus), 10);

        window.Button(kIdInstall)->click();
        EXPECT_EQ(window.Control(kIdStatus)->geometry(), QRect(456, 173, 270, 42));
        SaveScreenshot(window, QStringLiteral("controller-installing"));
        EXPECT_EQ(ButtonPixel(window, kIdInstall), BitmapPixel(198));
        ASSERT_TRUE(ProcessEventsUntil([&] { return !window.isVisible(); }));
        EXPECT_EQ(window.result(), 0);
        EXPECT_EQ(installed, dlg.DownloadFolder() + "QK_Setup.sh");
        window.SetListener(nullptr);
    }
    EXPECT_TRUE(boxes.shown.empty());
}
