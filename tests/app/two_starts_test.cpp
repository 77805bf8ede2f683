#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <QApplication>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "fake_seams.h"
#include "hostkit/start_up.h"
#include "hostkit/texts.h"
#include "process_start.h"
#include "qt_environment.h"
#include "support/subprocess.h"
#include "ui/app.h"
#include "ui/downloader_window.h"

namespace {

struct SecondStart {
    int exitCode = -1;
    std::string record;
};

// Runs the helper program as a later start with these arguments, while this process keeps its
// event loop going (the first instance answers on it). Bounded.
SecondStart RunSecondStart(
    const std::vector<std::string>& arguments,
    const std::function<bool()>& alsoWaitFor = [] { return true; }) {
    const std::string record = std::string(std::getenv("TEV_TEST_ROOT")) + "/second-start.txt";
    setenv("TEV_SECOND_START_RECORD", record.c_str(), 1);
    std::vector<std::string> command{TEV_SECOND_START_HELPER};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const cpStartedProcess helper = cpStartProcess(command, 5000);
    SecondStart result;
    if (!helper.started) {
        ADD_FAILURE() << "the helper did not start: " << helper.error;
        return result;
    }
    int status = 0;
    bool exited = false;
    const bool finished = ProcessEventsUntil(
        [&] {
            if (!exited && waitpid(helper.pid, &status, WNOHANG) == helper.pid) {
                exited = true;
            }
            return exited && alsoWaitFor();
        },
        std::chrono::seconds(30));
    if (!exited) {
        kill(helper.pid, SIGKILL);
        waitpid(helper.pid, &status, 0);
    }
    EXPECT_TRUE(finished);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream file(record);
    std::stringstream text;
    text << file.rdbuf();
    result.record = text.str();
    return result;
}

}  // namespace

TEST(CTEVDownloaderApp, ASecondStartSaysSoAndBringsTheFirstToTheFront) {
    CFakeMessageBoxes boxes;
    CTEVDownloaderApp app(boxes);
    SecondStart second;
    bool activeAfter = false;
    const int code =
        app.Run({"-http://127.0.0.1:1/first/filelist.txt", "ignored"},
                [&](const std::string& firstArgument) {
                    EXPECT_EQ(firstArgument, "http://127.0.0.1:1/first/filelist.txt");
                    CDownloaderWindow window;
                    window.SetTitle(kMainWindowTitle);
                    window.show();
                    QWidget other;
                    other.setWindowTitle(QStringLiteral("another program"));
                    other.show();
                    other.activateWindow();
                    window.showMinimized();
                    ProcessEventsUntil([&] { return QApplication::activeWindow() == &other; },
                                       std::chrono::seconds(2));
                    EXPECT_TRUE(window.isMinimized());

                    // Its own file-list URL does not make it another downloader.
                    second = RunSecondStart({"/http://127.0.0.1:2/other/filelist.txt"}, [&] {
                        return !window.isMinimized() && QApplication::activeWindow() == &window;
                    });
                    EXPECT_FALSE(window.isMinimized());
                    activeAfter = QApplication::activeWindow() == &window;
                    return 7;
                });
    EXPECT_EQ(code, 7);
    EXPECT_TRUE(boxes.shown.empty());  // the first start asks nothing
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.record, "tev_app_second_start\t正在進行下載作業\n");
    EXPECT_TRUE(activeAfter);
}

TEST(CTEVDownloaderApp, ASecondStartEndsEvenWithoutAWindowToActivate) {
    CFakeMessageBoxes boxes;
    CTEVDownloaderApp app(boxes);
    SecondStart second;
    app.Run({}, [&](const std::string& firstArgument) {
        EXPECT_EQ(firstArgument, "");
        second = RunSecondStart({});
        return 0;
    });
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.record, "tev_app_second_start\t正在進行下載作業\n");

    // Once the first has ended, a start runs its own window.
    const SecondStart alone = RunSecondStart({});
    EXPECT_EQ(alone.exitCode, 3);
    EXPECT_EQ(alone.record, "WINDOW\n");
}

// Asking the program how to run it prints its usage and ends, with no window, no lock and no
// download: "--help" is not a file-list URL.
TEST(CTEVDownloaderApp, HelpPrintsTheUsageInsteadOfFetchingAList) {
    for (const char* ask : {"--help", "-h"}) {
        SCOPED_TRACE(ask);
        ProcessOptions options;
        options.timeoutMs = 10000;
        const ProcessResult result = RunProcess({TEV_DOWNLOADER_PROGRAM, ask}, options);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.out, WindowUsage());
    }
    EXPECT_TRUE(AsksForUsage({"http://h/list.txt", "--help"}));
    EXPECT_FALSE(AsksForUsage({"-http://h/list.txt", "/x"}));
    EXPECT_NE(WindowUsage().find("Usage: tev-downloader [FILE-LIST-URL]"), std::string::npos);
}
