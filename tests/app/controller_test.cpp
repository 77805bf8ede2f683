// The window's controller driving the real library against the project's test server over
// loopback. The library's notifications reach it through its registered host window and the Qt
// event loop of the test; the window itself is a recording view, the person in front of it the
// fake message boxes and folder chooser.
#include <gtest/gtest.h>

#include <QSettings>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "controller/downloader_dlg.h"
#include "controller/library_window.h"
#include "downloadlib.h"
#include "engine/engine_paths.h"
#include "fake_seams.h"
#include "foundation/paths.h"
#include "foundation/platform/connectivity.h"
#include "foundation/platform/disk.h"
#include "foundation/platform/window.h"
#include "hostkit/file_list.h"
#include "hostkit/folders.h"
#include "hostkit/format.h"
#include "hostkit/installer.h"
#include "hostkit/start_up.h"
#include "hostkit/texts.h"
#include "publish/publisher.h"
#include "qt_environment.h"
#include "recording_view.h"
#include "report_collector/report_collector.h"
#include "support/published_engine.h"
#include "support/stand_in.h"
#include "support/tcp_peer.h"
#include "support/test_data.h"
#include "support/update_signing.h"
#include "test_server/test_http_server.h"

namespace ep = engine_protocol;
namespace fs = std::filesystem;
using tev::tools::HttpRule;
using tev::tools::ReportCollector;
using tev::tools::TestHttpServer;
using namespace std::chrono_literals;

namespace {

// One line per message box: what a person would see and could answer.
std::string Describe(const CMessage& message) {
    return message.caption + " | " + message.text +
           (message.buttons == MessageButtons::YesNo ? " | yes/no" : " | ok") +
           (message.icon == MessageIcon::Information ? " | info" : "") +
           (message.ownedByWindow ? " | window" : " | application");
}

std::vector<std::string> Describe(const std::vector<CMessage>& messages) {
    std::vector<std::string> lines;
    for (const CMessage& message : messages) {
        lines.push_back(Describe(message));
    }
    return lines;
}

std::string WindowBox(const std::string& text) {
    return Describe(CMessage::Window(text));
}

std::string ApplicationBox(const std::string& text) {
    return Describe(CMessage::Application(text));
}

// An installer that leaves a record next to itself.
const char kInstallerScript[] =
    "#!/bin/sh\n"
    "here=$(cd \"$(dirname \"$0\")\" && pwd)\n"
    "echo installed >\"$here/INSTALLED.txt\"\n";

class ControllerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Ok()) << server_.Error();
        root_ = std::getenv("TEV_TEST_ROOT");
        collector_ = std::make_unique<ReportCollector>(
            ReportCollector::Options{.port = 0, .database = root_ + "/reports.db"});
        ASSERT_TRUE(collector_->Ok()) << collector_->Error();
        setenv("TEV_REPORT_SERVER", ("127.0.0.1:" + std::to_string(collector_->Port())).c_str(), 1);
        setenv("TEV_DOWNLOAD_SERVER", ("127.0.0.1:" + std::to_string(server_.Port())).c_str(), 1);
        // The machine's own network does not decide these tests.
        cpSetConnectivityProbe([this] { return connected_.load(); });
    }

    void TearDown() override {
        dlg_.reset();
        cpSetConnectivityProbe(nullptr);
        SetFreeSpace(nullptr);
    }

    // The library's size check and the window's folder chooser measure the same drive.
    static void SetFreeSpace(std::function<int64_t(const std::string&)> probe) {
        cpSetFreeSpaceProbe(probe);
        SetFreeSpaceProbe(probe);
    }

    // Serves the files under /game/ and a CR LF list of them (ending in a blank line, as lists
    // written by hand often do) at /game/filelist.txt.
    void ServeGame(const std::vector<std::pair<std::string, std::string>>& files) {
        std::string list;
        for (const auto& [name, bytes] : files) {
            server_.SetContent("/game/" + name, bytes);
            list += server_.Url("/game/" + name) + "\r\n";
            urls_.push_back(server_.Url("/game/" + name));
        }
        server_.SetContent("/game/filelist.txt", list + "\r\n");
    }

    CTEVDownloaderDlg& Open(const std::string& listPath = "/game/filelist.txt") {
        dlg_ = std::make_unique<CTEVDownloaderDlg>(view_, boxes_, folders_, server_.Url(listPath));
        // As root nothing is elevated: the script runs through /bin/sh on any machine.
        dlg_->SetInstallerRunner([this](const std::string& path) {
            CInstallerTools tools;
            tools.privileged = true;
            return RunInstaller(path, boxes_, tools);
        });
        dlg_->OnInitDialog();
        return *dlg_;
    }

    bool Until(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
        return ProcessEventsUntil(done, limit);
    }

    bool UntilReady() {
        return Until([this] { return dlg_->State() == DownloaderState::Ready; });
    }

    std::vector<std::string> Shown() const { return Describe(boxes_.shown); }

    TestHttpServer server_;
    std::unique_ptr<ReportCollector> collector_;
    std::string root_;
    std::vector<std::string> urls_;
    std::atomic<bool> connected_{true};
    CRecordingView view_;
    CFakeMessageBoxes boxes_;
    CFakeFolderChooser folders_;
    std::unique_ptr<CTEVDownloaderDlg> dlg_;
};

TEST_F(ControllerTest, AWholeRunFromTheFileListToTheInstaller) {
    const std::string data = TestBytes(300000, 1);
    const std::string readme = "QK sample game\n";
    ServeGame({{"readme.txt", readme}, {"QK_Data1.pak", data}, {"install.sh", kInstallerScript}});
    const uint64_t total = readme.size() + data.size() + std::strlen(kInstallerScript);
    SetFreeSpace([](const std::string&) { return int64_t{5} << 30; });

    CTEVDownloaderDlg& dlg = Open();
    EXPECT_EQ(dlg.State(), DownloaderState::Preparing);
    EXPECT_EQ(view_.title, kMainWindowTitle);
    EXPECT_EQ(view_.banner, "http://127.0.0.1:" + std::to_string(server_.Port()) +
                                "/download/qk/tevdownload/qk.gif");
    EXPECT_TRUE(view_.agreementTicked);
    EXPECT_EQ(dlg.AgreementValue(), "2");
    EXPECT_EQ(view_.texts.folder, DefaultDownloadFolder());
    EXPECT_EQ(view_.texts.fileName, "");

    ASSERT_TRUE(UntilReady());
    EXPECT_EQ(dlg.FileList(), urls_) << "the blank last line is no file";
    // A list without a manifest works as it always did; the log says its files are unverified.
    EXPECT_NE(ReadWholeFile(LibraryLogFile())
                  .find("the file list has no signed manifest (" +
                        server_.Url("/game/filelist.txt.manifest") +
                        "): the downloaded files are unverified"),
              std::string::npos);
    EXPECT_EQ(dlg.RequiredSize(), total);
    EXPECT_EQ(view_.centred, 1);
    ASSERT_TRUE(Until([&] { return view_.texts.total == FormatSize(double(total)); }));
    EXPECT_EQ(view_.texts.fileName, "readme.txt [1/3]");
    EXPECT_EQ(view_.texts.received, "0 Bytes");
    EXPECT_EQ(view_.texts.remaining, "00:00:00");
    EXPECT_EQ(view_.texts.elapsed, "00:00:00");
    EXPECT_EQ(view_.texts.status, "0.0 Bytes");
    EXPECT_TRUE(view_.Enabled(kIdStart));
    EXPECT_TRUE(view_.Enabled(kIdFolderButton));
    EXPECT_FALSE(view_.Enabled(kIdInstall));

    // The engine's folder is refused; another folder is taken with its separator.
    folders_.answer = EngineFolder();
    dlg.OnCommand(kIdFolderButton);
    ASSERT_EQ(folders_.requests.size(), 1u);
    const CFolderRequest& request = folders_.requests[0];
    EXPECT_EQ(request.title, "至少需要 " + FormatSize(double(total)) + " 容量。\n");
    EXPECT_EQ(request.initialFolder, DefaultDownloadFolder());
    ASSERT_TRUE(request.statusText);
    EXPECT_EQ(request.statusText(root_),
              "至少需要 " + FormatSize(double(total)) + " 容量。\n剩餘容量：5.00 GB");
    EXPECT_EQ(Shown(), std::vector<std::string>{ApplicationBox("選擇的路徑無法使用")});
    EXPECT_EQ(dlg.DownloadFolder(), DefaultDownloadFolder());
    const std::string folder = root_ + "/games/";
    fs::create_directories(folder);
    folders_.answer = root_ + "/games";
    dlg.OnCommand(kIdFolderButton);
    EXPECT_EQ(dlg.DownloadFolder(), folder);
    EXPECT_EQ(view_.texts.folder, folder) << "shown at once";

    dlg.OnCommand(kIdStart);
    const JobHandle job = dlg.Job();
    EXPECT_NE(job, 0u);
    EXPECT_EQ(dlg.State(), DownloaderState::Running);
    EXPECT_TRUE(view_.stopImages);
    EXPECT_FALSE(view_.Enabled(kIdFolderButton));
    QSettings saved(QString::fromStdString(DownloadPathSettingsFile()), QSettings::IniFormat);
    EXPECT_EQ(saved.value("DownloadPath/QK").toString().toStdString(), folder);

    ASSERT_TRUE(Until([&] { return dlg.State() == DownloaderState::Finished; }, 60s));
    EXPECT_EQ(ReadWholeFile(folder + "readme.txt"), readme);
    EXPECT_EQ(ReadWholeFile(folder + "QK_Data1.pak"), data);
    EXPECT_EQ(ReadWholeFile(folder + "install.sh"), kInstallerScript);
    EXPECT_EQ(dlg.InstallerPath(), folder + "install.sh");
    EXPECT_EQ(dlg.Job(), 0u) << "the finished job is removed";
    EXPECT_EQ(view_.texts.fileName, "install.sh [3/3]");
    EXPECT_EQ(view_.texts.remaining, "00:00:00");
    EXPECT_EQ(view_.texts.received, FormatSize(double(total)));
    EXPECT_EQ(view_.progress[kIdJobProgress], 100);
    EXPECT_FALSE(view_.samples.empty());
    for (const int sample : view_.samples) {
        EXPECT_GE(sample, 0);
        EXPECT_LE(sample, 100);
    }
    EXPECT_TRUE(view_.statusYellow);
    EXPECT_TRUE(view_.Enabled(kIdInstall));
    EXPECT_FALSE(view_.Enabled(kIdStart));
    EXPECT_FALSE(view_.Enabled(kIdFolderButton));
    EXPECT_FALSE(view_.stopImages);

    // Once complete, start, stop and folder selection do nothing.
    const int copies = view_.textCopies;
    dlg.OnCommand(kIdStart);
    dlg.OnCommand(kIdFolderButton);
    EXPECT_EQ(dlg.Job(), 0u);
    EXPECT_EQ(dlg.State(), DownloaderState::Finished);
    EXPECT_EQ(folders_.requests.size(), 2u);
    EXPECT_EQ(view_.textCopies, copies);
    EXPECT_TRUE(view_.Enabled(kIdInstall));
    EXPECT_EQ(Shown().size(), 1u);

    dlg.OnCommand(kIdInstall);
    EXPECT_EQ(dlg.State(), DownloaderState::Installing);
    EXPECT_FALSE(view_.Enabled(kIdInstall));
    EXPECT_TRUE(view_.statusExpanded);
    EXPECT_EQ(view_.texts.status, "檢查下載的文件後執行安裝。");
    EXPECT_FALSE(view_.quitCode) << "the installer starts from the posted message";
    ASSERT_TRUE(Until([&] { return view_.quitCode.has_value(); }));
    EXPECT_EQ(*view_.quitCode, 0);
    EXPECT_TRUE(
        Until([&] { return ReadWholeFile(folder + "INSTALLED.txt") == "installed\n"; }, 10s));
    EXPECT_EQ(Shown().size(), 1u);
}

// The installer's path is what follows its own URL in the library's "URL,path" message: a comma
// inside the URL does not cut it, and a message cut at its field's end is not used at all.
struct InstallerCase {
    const char* name;
    std::string directory;  // on the server, below /game/
    std::string folder;     // below the test root
};

TEST_F(ControllerTest, TheInstallerIsFoundWhateverItsUrlHolds) {
    const InstallerCase cases[] = {
        {"inst,1.sh", "", "/commas/"},
        // A URL of about 900 bytes and a folder of about 180: the message would be longer than
        // its 1024-byte field (a job folder holds at most 259 bytes).
        {"install.sh", std::string(850, 'd') + "/", "/" + std::string(150, 'f') + "/"},
    };
    for (const InstallerCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string readmeUrl = "/game/" + c.directory + "readme,txt";
        const std::string installerUrl = "/game/" + c.directory + c.name;
        server_.SetContent(readmeUrl, "readme");
        server_.SetContent(installerUrl, kInstallerScript);
        server_.SetContent("/game/list-" + std::to_string(c.directory.size()) + ".txt",
                           server_.Url(readmeUrl) + "\n" + server_.Url(installerUrl) + "\n");
        view_.quitCode.reset();
        CTEVDownloaderDlg& dlg = Open("/game/list-" + std::to_string(c.directory.size()) + ".txt");
        ASSERT_TRUE(UntilReady());
        const std::string folder = root_ + c.folder;
        fs::create_directories(folder);
        folders_.answer = folder;
        dlg.OnCommand(kIdFolderButton);
        dlg.OnCommand(kIdStart);
        ASSERT_TRUE(Until([&] { return dlg.State() == DownloaderState::Finished; }, 60s));
        EXPECT_EQ(dlg.InstallerPath(), folder + c.name);
        dlg.OnCommand(kIdInstall);
        ASSERT_TRUE(Until([&] { return view_.quitCode.has_value(); }));
        EXPECT_TRUE(
            Until([&] { return ReadWholeFile(folder + "INSTALLED.txt") == "installed\n"; }, 10s));
        EXPECT_TRUE(Shown().empty()) << Shown().front();
        dlg_.reset();
    }
}

// A list signed with tev-publish list: every file is checked after download. An installer
// altered on the server is fetched again once, then the job fails, the reason in the log, and
// nothing runs; once the server serves the signed bytes the next start installs. A manifest that
// does not verify refuses the list.
class ControllerSignedListTest : public ControllerTest {
  protected:
    void ServeSigned(const std::vector<std::pair<std::string, std::string>>& files,
                     const TestSigningKey& key) {
        const fs::path published = fs::path(root_) / "published";
        fs::create_directories(published);
        ServeGame(files);
        tev::tools::ListPublishOptions options;
        for (const auto& [name, bytes] : files) {
            std::ofstream((published / name).string(), std::ios::binary) << bytes;
            options.files.push_back((published / name).string());
        }
        options.list = (published / "filelist.txt").string();
        std::ofstream(options.list, std::ios::binary) << ServedList();
        options.signingKey = key.privateKey;
        std::string error;
        ASSERT_TRUE(tev::tools::PublishListManifest(options, &error)) << error;
        server_.SetContent("/game/filelist.txt.manifest",
                           ReadWholeFile(options.list + ".manifest"));
        server_.SetContent("/game/filelist.txt.manifest.sig",
                           ReadWholeFile(options.list + ".manifest.sig"));
    }
    // The bytes ServeGame serves as the list.
    std::string ServedList() const {
        std::string list;
        for (const std::string& url : urls_) {
            list += url + "\r\n";
        }
        return list + "\r\n";
    }
};

TEST_F(ControllerSignedListTest, AnAlteredInstallerIsNeverStarted) {
    const std::string data = TestBytes(60000, 31);
    ServeSigned({{"data.bin", data}, {"install.sh", kInstallerScript}}, TestUpdateKey());
    std::string altered = kInstallerScript;
    altered.replace(altered.find("installed"), 9, "INSTALLED");
    server_.SetContent("/game/install.sh", altered);

    CTEVDownloaderDlg& dlg = Open();
    ASSERT_TRUE(UntilReady());
    const std::string folder = DefaultDownloadFolder();
    dlg.OnCommand(kIdStart);
    const std::string failed = WindowBox(FormatText(kTextJobFailed, kGameName));
    ASSERT_TRUE(Until([&] { return !Shown().empty(); }, 60s));
    EXPECT_EQ(Shown(), std::vector<std::string>{failed});
    EXPECT_FALSE(dlg.Finished());
    EXPECT_EQ(dlg.Job(), 0u);
    EXPECT_EQ(dlg.InstallerPath(), "");
    EXPECT_FALSE(view_.Enabled(kIdInstall));
    EXPECT_FALSE(fs::exists(folder + "install.sh")) << "bytes that failed are not kept";
    const std::string log = ReadWholeFile(LibraryLogFile());
    EXPECT_NE(log.find("the file list's signature was verified"), std::string::npos);
    EXPECT_NE(log.find("fetching " + folder + "install.sh again: "), std::string::npos) << log;
    EXPECT_NE(log.find("download failed: " + folder +
                       "install.sh does not match the file list's manifest after a second "
                       "fetch: "),
              std::string::npos)
        << log;
    dlg.OnCommand(kIdInstall);
    EXPECT_EQ(Shown().back(), ApplicationBox(kTextNotFinished));
    EXPECT_FALSE(fs::exists(folder + "INSTALLED.txt"));

    // The publisher's bytes again: verified, installed.
    server_.SetContent("/game/install.sh", kInstallerScript);
    boxes_.shown.clear();
    dlg.OnCommand(kIdStart);
    ASSERT_TRUE(Until([&] { return dlg.Finished(); }, 60s));
    EXPECT_EQ(ReadWholeFile(folder + "data.bin"), data);
    EXPECT_EQ(dlg.InstallerPath(), folder + "install.sh");
    dlg.OnCommand(kIdInstall);
    ASSERT_TRUE(Until([&] { return view_.quitCode.has_value(); }));
    EXPECT_TRUE(
        Until([&] { return ReadWholeFile(folder + "INSTALLED.txt") == "installed\n"; }, 10s));
    EXPECT_TRUE(Shown().empty()) << Shown().front();
}

TEST_F(ControllerSignedListTest, AManifestByAnUntrustedKeyRefusesTheList) {
    TestUpdateKey();
    ServeSigned({{"install.sh", kInstallerScript}}, MakeSigningKey("stranger"));
    CTEVDownloaderDlg& dlg = Open();
    ASSERT_TRUE(Until([&] { return view_.quitCode.has_value(); }));
    EXPECT_EQ(Shown(), std::vector<std::string>{WindowBox(kTextFileListFailed)});
    EXPECT_EQ(dlg.State(), DownloaderState::Preparing);
    dlg.OnCommand(kIdStart);
    EXPECT_EQ(dlg.Job(), 0u) << "nothing of a refused list is fetched";
    EXPECT_EQ(server_.RequestCount("/game/install.sh"), 0u);
    EXPECT_NE(ReadWholeFile(LibraryLogFile())
                  .find("the file list " + server_.Url("/game/filelist.txt") +
                        " is refused: the file list's manifest is refused: the manifest carries "
                        "no signature by a trusted key"),
              std::string::npos)
        << ReadWholeFile(LibraryLogFile());
}

// A job that ends without one of its files offers no installer: there is nothing whole to run.
TEST_F(ControllerTest, AJobDoneWithoutEveryFileOffersNoInstall) {
    server_.SetContent("/game/setup.sh", kInstallerScript);
    server_.SetContent("/game/data/", "an index page, no file");
    server_.SetContent("/game/data", "an index page, no file");
    server_.SetContent("/game/filelist.txt",
                       server_.Url("/game/data/") + "\n" + server_.Url("/game/setup.sh") + "\n");
    CTEVDownloaderDlg& dlg = Open();
    ASSERT_TRUE(UntilReady());
    dlg.OnCommand(kIdStart);
    ASSERT_TRUE(Until([&] { return dlg.Job() == 0 && !boxes_.shown.empty(); }, 60s));
    EXPECT_EQ(Shown(), std::vector<std::string>{WindowBox("下載QK失敗\n請稍候再試")});
    EXPECT_FALSE(dlg.Finished());
    EXPECT_NE(dlg.State(), DownloaderState::Finished);
    EXPECT_FALSE(view_.Enabled(kIdInstall));
    dlg.OnCommand(kIdInstall);
    EXPECT_FALSE(view_.quitCode.has_value()) << "nothing is installed";
}

// Stopping removes the job; the next start makes a new one with every file again, and the name
// display starts over at the first file.
TEST_F(ControllerTest, StartStopStartRecreatesTheJobWithEveryFile) {
    const std::string first = TestBytes(2000, 2);
    const std::string second = TestBytes(400000, 3);
    ServeGame({{"first.bin", first}, {"second.bin", second}});
    // The first download of the second file is slow enough to be stopped in the middle.
    server_.AddRule(
        "/game/second.bin",
        {.kind = HttpRule::Rate, .bytesPerSecond = 100000, .firstN = 1, .onlyWithRange = true});
    CTEVDownloaderDlg& dlg = Open();
    ASSERT_TRUE(UntilReady());
    const std::string folder = DefaultDownloadFolder();

    dlg.OnCommand(kIdStart);
    const JobHandle firstJob = dlg.Job();
    ASSERT_NE(firstJob, 0u);
    ASSERT_TRUE(Until([&] { return dlg.CurrentIndex() == 1; }));
    EXPECT_EQ(dlg.Texts().fileName, "second.bin [2/2]");
    ASSERT_TRUE(Until([&] { return fs::exists(folder + "second.bin"); }));
    ASSERT_TRUE(Until([&] { return view_.texts.status != FormatSpeed(0); }));

    dlg.OnCommand(kIdStart);  // stop
    EXPECT_EQ(dlg.Job(), 0u);
    // What no longer moves is cleared: no speed, no time left.
    EXPECT_EQ(view_.texts.status, "0.0 Bytes");
    EXPECT_EQ(view_.texts.remaining, "00:00:00");
    EXPECT_EQ(dlg.State(), DownloaderState::Ready);
    EXPECT_FALSE(view_.stopImages);
    EXPECT_TRUE(view_.Enabled(kIdFolderButton));
    EXPECT_EQ(dlg.CurrentIndex(), 0);
    const auto stoppedAt = fs::file_size(folder + "second.bin");
    EXPECT_LT(stoppedAt, second.size());

    dlg.OnCommand(kIdStart);
    EXPECT_NE(dlg.Job(), 0u);
    EXPECT_NE(dlg.Job(), firstJob);
    EXPECT_TRUE(view_.stopImages);
    EXPECT_EQ(view_.texts.fileName, "first.bin [1/2]") << "the first file again";
    ASSERT_TRUE(Until([&] { return dlg.Finished(); }, 60s));
    EXPECT_EQ(view_.texts.fileName, "second.bin [2/2]") << "both files reported by the new job";
    EXPECT_EQ(ReadWholeFile(folder + "first.bin"), first);
    EXPECT_EQ(ReadWholeFile(folder + "second.bin"), second);
    // Both files were asked for again, the second from where the stop left it.
    const std::vector<std::string> ranges = server_.RangeHeaders("/game/second.bin");
    ASSERT_FALSE(ranges.empty());
    EXPECT_EQ(ranges.back(), "bytes=" + std::to_string(stoppedAt) + "-");
    EXPECT_EQ(server_.RangeHeaders("/game/first.bin").back(),
              "bytes=" + std::to_string(first.size()) + "-");
    // Several files, none of them a program: no installer.
    EXPECT_EQ(dlg.InstallerPath(), "");
    EXPECT_TRUE(Shown().empty());
}

TEST_F(ControllerTest, ADiskTooSmallStopsTheJobAndSaysWhatIsMissing) {
    const std::string data = TestBytes(50000, 4);
    ServeGame({{"data.bin", data}, {"setup.exe", "MZ"}});
    CTEVDownloaderDlg& dlg = Open();
    ASSERT_TRUE(UntilReady());
    SetFreeSpace([](const std::string&) { return int64_t{10}; });
    // What is there already is not needed again.
    fs::create_directories(DefaultDownloadFolder());
    std::ofstream(DefaultDownloadFolder() + "data.bin") << data.substr(0, 1000);
    dlg.OnCommand(kIdStart);
    // Refused before any job starts: the rest of it is still needed.
    EXPECT_EQ(Shown(), std::vector<std::string>{
                           WindowBox("硬碟(" + DefaultDownloadFolder() + ")的空間不足(" +
                                     FormatSize(double(data.size() + 2 - 1000)) + ")。")});
    EXPECT_EQ(dlg.Job(), 0u);
    EXPECT_NE(ReadWholeFile(LibraryLogFile())
                  .find("[TEV-Downloader] not enough free space in " + DefaultDownloadFolder()),
              std::string::npos)
        << "the reason is in the log too";
    EXPECT_EQ(dlg.State(), DownloaderState::Ready);
    EXPECT_FALSE(view_.stopImages);
    EXPECT_TRUE(view_.Enabled(kIdFolderButton));

    // With room again the next start downloads everything.
    SetFreeSpace(nullptr);
    dlg.OnCommand(kIdStart);
    ASSERT_TRUE(Until([&] { return dlg.Finished(); }, 60s));
    EXPECT_EQ(ReadWholeFile(DefaultDownloadFolder() + "data.bin"), data);
    EXPECT_EQ(dlg.InstallerPath(), DefaultDownloadFolder() + "setup.exe");
}

// The network going and coming back is said, the job stays; the resume question is asked and
// answered for the current job only; closing asks first while a job exists.
TEST_F(ControllerTest, NetworkEventsTheResumeQuestionAndClosingWithAJob) {
    ServeGame({{"stall.bin", "never sent"}});
    server_.AddRule("/game/stall.bin", {.kind = HttpRule::Stall, .onlyWithRange = true});
    CTEVDownloaderDlg& dlg = Open();
    ASSERT_TRUE(UntilReady());
    dlg.OnCommand(kIdStart);
    const JobHandle job = dlg.Job();
    ASSERT_NE(job, 0u);
    ASSERT_TRUE(server_.WaitForRequests("/game/stall.bin", 3, 10000));

    connected_ = false;
    ASSERT_TRUE(Until([&] { return boxes_.shown.size() == 1; }));
    connected_ = true;
    ASSERT_TRUE(Until([&] { return boxes_.shown.size() == 2; }));
    EXPECT_EQ(Shown(), (std::vector<std::string>{WindowBox("您的網路狀態不佳"),
                                                 WindowBox("您的網路回復正常")}));
    EXPECT_EQ(dlg.Job(), job);
    EXPECT_EQ(dlg.State(), DownloaderState::Running);

    view_.resumeAnswer = CResumeAnswer{0, 1};
    dlg.OnLibraryNotification(DLN_JOB_RESUME_QUERY, job + 1000);
    EXPECT_EQ(view_.prompts, 0) << "not this window's job";
    dlg.OnLibraryNotification(DLN_JOB_RESUME_QUERY, job);
    EXPECT_EQ(view_.prompts, 1);

    // Escape and the close button ask with one text, the window's own close request with the
    // other; No leaves everything running.
    boxes_.shown.clear();
    boxes_.answers = {MessageAnswer::No, MessageAnswer::No, MessageAnswer::Yes};
    dlg.OnEscape();
    dlg.OnCommand(kIdClose);
    EXPECT_FALSE(view_.closed);
    EXPECT_EQ(dlg.Job(), job);
    dlg.OnCloseRequest();
    const std::string closeButton =
        Describe(CMessage::Window("關閉視窗時，即會中止下載 QK\n確定要關閉視窗嗎？",
                                  MessageButtons::YesNo, MessageIcon::Information));
    const std::string closeRequest =
        Describe(CMessage::Window("關閉視窗時，將立即終止下載 QK\n確定要關閉視窗嗎？",
                                  MessageButtons::YesNo, MessageIcon::Information));
    EXPECT_EQ(Shown(), (std::vector<std::string>{closeButton, closeButton, closeRequest}));
    EXPECT_TRUE(view_.closed);
    EXPECT_EQ(dlg.Job(), 0u) << "stopped before closing";
}

// The engine's own resume question: the library's updater installs and starts the stand-in
// engine, which asks; the window's prompt answers, and both answers reach the engine as type 18.
TEST_F(ControllerTest, TheEnginesResumeQuestionIsAnsweredByThePrompt) {
    ServeGame({{"game.bin", TestBytes(5000, 9)}});
    std::string error;
    ASSERT_TRUE(ServeStandInEngineUpdate(server_, root_, &error)) << error;
    setenv("TEV_ENGINE_PORT", std::to_string(UnusedPort()).c_str(), 1);
    const std::string enginePath = GetEngineFilePath();
    const std::string folder = DefaultDownloadFolder();
    const std::string path = folder + "game.bin";
    ASSERT_TRUE(InstallStandInEngine(
        enginePath,
        {"listen", "ready", "accept", "until 102 14",
         "send 100 4 " + StandInPayloadWithJob(ep::JobAccepted{0, 7, 1, 5000}),
         "send 100 16 " + StandInPayloadWithJob(ep::ResumeQuery{0}), "until 100 18",
         "send 100 7 " + StandInPayloadWithJob(ep::FileCompleted{0, 7, "svc", path, urls_[0]}),
         "send 100 6 " + StandInPayloadWithJob(ep::JobFinished{0, 7, 0, 0}), "drain"}));

    view_.resumeAnswer = CResumeAnswer{0, 0};
    CTEVDownloaderDlg& dlg = Open();
    ASSERT_TRUE(UntilReady());
    dlg.OnCommand(kIdStart);
    const bool finished = Until([&] { return dlg.State() == DownloaderState::Finished; });
    const std::string installer = dlg.InstallerPath();
    dlg_.reset();
    EndStandIn(StandInPid(enginePath));
    unsetenv("TEV_ENGINE_PORT");
    ASSERT_TRUE(finished);
    EXPECT_EQ(view_.prompts, 1);
    EXPECT_TRUE(boxes_.shown.empty()) << Shown().front();
    EXPECT_EQ(installer, path) << "the engine's file message names the file";
    EXPECT_FALSE(fs::exists(path)) << "the direct downloader took the job";

    // What the engine read, a line each: connection, category, type, payload. The list came
    // once (a restart sends it again); type 18 holds engine-side number 7, the job of the list,
    // and the two answers.
    const StandInRecord record = ReadStandInRecord(enginePath);
    ASSERT_EQ(record.lists.size(), 1u);
    const std::string& job = record.lists[0];
    EXPECT_EQ(record.replies, std::vector<std::string>{"07000000" + job + "0000"});
}

// The engine's last progress lags behind its completion (4900 of 5000 bytes, then the file and
// the job are done): the finished window shows the job's total, both bars full and an average
// speed, not the lagging figures.
TEST_F(ControllerTest, AFinishedJobShowsItsTotalsWhateverTheLastProgressSaid) {
    ServeGame({{"game.bin", TestBytes(5000, 9)}});
    std::string error;
    ASSERT_TRUE(ServeStandInEngineUpdate(server_, root_, &error)) << error;
    setenv("TEV_ENGINE_PORT", std::to_string(UnusedPort()).c_str(), 1);
    const std::string enginePath = GetEngineFilePath();
    const std::string path = DefaultDownloadFolder() + "game.bin";
    ep::JobProgress lagging{0, 7, 1, 0, 5000, 4900, 980, 5, {}};
    ASSERT_TRUE(InstallStandInEngine(
        enginePath,
        {"listen", "ready", "accept", "until 102 14",
         "send 100 4 " + StandInPayloadWithJob(ep::JobAccepted{0, 7, 1, 5000}),
         "send 100 5 " + StandInPayloadWithJob(lagging), "sleep 1200",
         "send 100 7 " + StandInPayloadWithJob(ep::FileCompleted{0, 7, "svc", path, urls_[0]}),
         "send 100 6 " + StandInPayloadWithJob(ep::JobFinished{0, 7, 0, 0}), "drain"}));

    CTEVDownloaderDlg& dlg = Open();
    ASSERT_TRUE(UntilReady());
    dlg.OnCommand(kIdStart);
    const bool finished = Until([&] { return dlg.State() == DownloaderState::Finished; });
    dlg_.reset();
    EndStandIn(StandInPid(enginePath));
    unsetenv("TEV_ENGINE_PORT");
    ASSERT_TRUE(finished);
    EXPECT_EQ(view_.texts.received, FormatSize(5000));
    EXPECT_EQ(view_.texts.total, FormatSize(5000));
    EXPECT_EQ(view_.progress[kIdJobProgress], 100);
    EXPECT_EQ(view_.progress[kIdFileProgress], 100);
    EXPECT_EQ(view_.texts.remaining, "00:00:00");
    EXPECT_NE(view_.texts.status, FormatSpeed(0)) << "the average speed";
    EXPECT_NE(view_.texts.elapsed, "00:00:00") << "the job took more than a second";
}

// An engine that sends no progress (limited mode while it learns sizes): the window shows what
// the folder holds.
TEST_F(ControllerTest, ProgressShowsEvenWhenTheEngineSendsNone) {
    ServeGame({{"game.bin", TestBytes(5000, 8)}});
    std::string error;
    ASSERT_TRUE(ServeStandInEngineUpdate(server_, root_, &error)) << error;
    setenv("TEV_ENGINE_PORT", std::to_string(UnusedPort()).c_str(), 1);
    const std::string enginePath = GetEngineFilePath();
    const std::string path = DefaultDownloadFolder() + "game.bin";
    fs::create_directories(DefaultDownloadFolder());
    ASSERT_TRUE(InstallStandInEngine(
        enginePath,
        {"listen", "ready", "accept", "until 102 14",
         "send 100 4 " + StandInPayloadWithJob(ep::JobAccepted{0, 7, 1, 5000}), "sleep 6000",
         "send 100 7 " + StandInPayloadWithJob(ep::FileCompleted{0, 7, "svc", path, urls_[0]}),
         "send 100 6 " + StandInPayloadWithJob(ep::JobFinished{0, 7, 0, 0}), "drain"}));

    CTEVDownloaderDlg& dlg = Open();
    ASSERT_TRUE(UntilReady());
    dlg.OnCommand(kIdStart);
    // Bytes arrive in the engine's part file while it says nothing.
    std::ofstream(path + ".tevpart") << TestBytes(2000, 8);
    const bool shown = Until([&] { return view_.texts.received == FormatSize(2000); }, 10s);
    const int percent = view_.progress[kIdJobProgress];
    const bool finished = Until([&] { return dlg.Finished(); });
    dlg_.reset();
    EndStandIn(StandInPid(enginePath));
    unsetenv("TEV_ENGINE_PORT");
    EXPECT_TRUE(shown) << view_.texts.received;
    EXPECT_EQ(percent, 40);
    EXPECT_TRUE(finished);
}

// A disk that fills after the start: no byte moves and no room is left, so the window stops the
// job with the disk-full text, whatever the library says.
TEST_F(ControllerTest, ADiskThatFillsAfterTheStartStopsTheJob) {
    const std::string data = TestBytes(200000, 9);
    ServeGame({{"data.bin", data}});
    CTEVDownloaderDlg& dlg = Open();
    ASSERT_TRUE(UntilReady());
    // The size check is done: from now on the disk takes no byte.
    server_.AddRule("/game/data.bin", {.kind = HttpRule::Stall});
    dlg.OnCommand(kIdStart);
    ASSERT_NE(dlg.Job(), 0u);
    // Only the window's look at the disk sees it full.
    SetFreeSpaceProbe([](const std::string&) { return int64_t{10}; });
    const std::string diskFull = WindowBox("硬碟(" + DefaultDownloadFolder() + ")的空間不足(" +
                                           FormatSize(double(data.size())) + ")。");
    ASSERT_TRUE(Until(
        [&] {
            const std::vector<std::string> shown = Shown();
            return std::find(shown.begin(), shown.end(), diskFull) != shown.end();
        },
        20s))
        << ::testing::PrintToString(Shown());
    EXPECT_EQ(dlg.Job(), 0u);
    EXPECT_EQ(dlg.State(), DownloaderState::Ready);
}

TEST_F(ControllerTest, AFileThatFailsForGoodIsReportedAndTheJobStays) {
    ServeGame({{"broken.bin", TestBytes(1000, 5)}});
    // The size check sees the file; every download attempt is cut off.
    server_.AddRule("/game/broken.bin", {.kind = HttpRule::CloseBeforeHead, .onlyWithRange = true});
    CTEVDownloaderDlg& dlg = Open();
    ASSERT_TRUE(UntilReady());
    const std::string folder = root_ + "/elsewhere/";
    fs::create_directories(folder);
    folders_.answer = folder;
    dlg.OnCommand(kIdFolderButton);
    dlg.OnCommand(kIdStart);
    const JobHandle job = dlg.Job();
    ASSERT_TRUE(Until([&] { return !boxes_.shown.empty(); }));
    EXPECT_EQ(Shown(), std::vector<std::string>{WindowBox("下載QK失敗\n請稍候再試")});
    EXPECT_EQ(dlg.Job(), job);
    EXPECT_EQ(dlg.State(), DownloaderState::Running);
    EXPECT_TRUE(view_.stopImages);

    // A size check finishing while the job runs leaves the folder the job downloads into; once
    // no job exists it brings the default folder back, even over the person's choice.
    dlg.OnLibraryNotification(DLN_CHECK_DONE, 0);
    EXPECT_EQ(dlg.DownloadFolder(), folder);
    EXPECT_EQ(dlg.State(), DownloaderState::Running);

    // The person stops it; a close without a job asks nothing.
    dlg.OnCommand(kIdStart);
    EXPECT_EQ(dlg.Job(), 0u);
    dlg.OnLibraryNotification(DLN_CHECK_DONE, 0);
    EXPECT_EQ(dlg.DownloadFolder(), DefaultDownloadFolder());
    dlg.OnCommand(kIdClose);
    EXPECT_TRUE(view_.closed);
    EXPECT_EQ(boxes_.shown.size(), 1u);
}

// Every way the file list or its size check fails ends the program with one message.
TEST_F(ControllerTest, FileListAndSizeCheckFailures) {
    const std::string missing = server_.Url("/game/missing.bin");
    server_.SetContent("/game/present.bin", "x");
    const std::string present = server_.Url("/game/present.bin");
    const std::string longLine = present + "?" + std::string(1023 - present.size() - 1, 'q');
    ASSERT_EQ(longLine.size(), 1023u);
    const struct {
        const char* name;
        std::optional<std::string> list;  // nullopt: the list itself is missing
        std::vector<std::string> shown;
        std::string logged = {};  // the reason behind the fixed text, in the log
    } cases[] = {
        {"missing list",
         std::nullopt,
         {WindowBox("下載檔案目錄失敗")},
         "cannot fetch the file list " + server_.Url("/lists/missing list.txt") +
             ": the server answered 404"},
        {"only blank lines", "\r\n\r\n \r\n", {WindowBox("下載檔案目錄失敗")}},
        {"a line of 1024 bytes", present + "\n" + longLine + "q\n", {WindowBox("輸入了錯誤的URL")}},
        {"a file the size check cannot find",
         present + "\r\n" + missing + "\r\n",
         {Describe(CMessage{ApplicationName(), "檔案大小確認失敗", MessageButtons::Ok,
                            MessageIcon::None, true})},
         "cannot learn the size of " + missing + ": the server answered 404"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = std::string("/lists/") + c.name + ".txt";
        if (c.list) {
            server_.SetContent(path, *c.list);
        }
        boxes_.shown.clear();
        view_.quitCode.reset();
        view_.quits = 0;
        CTEVDownloaderDlg& dlg = Open(path);
        ASSERT_TRUE(Until([&] { return view_.quitCode.has_value(); }));
        // Nothing else is coming: the size check of what was read is not started.
        ProcessEventsUntil([] { return false; }, 300ms);
        EXPECT_EQ(Shown(), c.shown);
        if (!c.logged.empty()) {
            EXPECT_NE(ReadWholeFile(LibraryLogFile()).find("[TEV-Downloader] " + c.logged),
                      std::string::npos)
                << ReadWholeFile(LibraryLogFile());
        }
        EXPECT_EQ(*view_.quitCode, 1);
        EXPECT_EQ(view_.quits, 1);
        EXPECT_EQ(dlg.Job(), 0u);
        dlg_.reset();
    }
    // 1023 bytes are a URL: the list is accepted and its size checked.
    server_.SetContent("/lists/ok.txt", present + "\n" + longLine + "\n");
    boxes_.shown.clear();
    view_.quitCode.reset();
    CTEVDownloaderDlg& dlg = Open("/lists/ok.txt");
    ASSERT_TRUE(UntilReady());
    EXPECT_EQ(dlg.FileList(), (std::vector<std::string>{present, longLine}));
    EXPECT_EQ(dlg.RequiredSize(), 2u);
    EXPECT_TRUE(Shown().empty());
    EXPECT_FALSE(view_.quitCode);
}

TEST_F(ControllerTest, ALibraryThatCannotStartIsReported) {
    // Another host holds the library: this window's initialisation is refused.
    ASSERT_EQ(DownloadLib_Initialize(0, nullptr, nullptr), DL_OK);
    ServeGame({{"a.bin", "a"}});
    Open();
    EXPECT_EQ(Shown(), std::vector<std::string>{ApplicationBox("初始化失敗。")});
    EXPECT_EQ(view_.quitCode, 1);
    dlg_.reset();
    DownloadLib_Finalize();
}

// The commands that need no library: the agreement box, install too early, closing without a
// job, the folder chooser cancelled.
TEST(CTEVDownloaderDlg, CommandsThatAskThePerson) {
    CRecordingView view;
    CFakeMessageBoxes boxes;
    CFakeFolderChooser folders;
    CTEVDownloaderDlg dlg(view, boxes, folders, "");
    EXPECT_EQ(dlg.DownloadFolder(), DefaultDownloadFolder());

    const std::string question = Describe(CMessage::Application(
        "不同意超高速下載時，以一般下載方式進行。\n要使用一般下載方式進行嗎？",
        MessageButtons::YesNo, MessageIcon::Information));
    view.agreementTicked = false;
    boxes.answers = {MessageAnswer::No};
    dlg.OnCommand(kIdAgreement);
    EXPECT_EQ(dlg.AgreementValue(), "2");
    EXPECT_TRUE(view.agreementTicked) << "ticked again";
    view.agreementTicked = false;
    boxes.answers = {MessageAnswer::Yes};
    dlg.OnCommand(kIdAgreement);
    EXPECT_EQ(dlg.AgreementValue(), "1");
    EXPECT_FALSE(view.agreementTicked);
    view.agreementTicked = true;
    dlg.OnCommand(kIdAgreement);
    EXPECT_EQ(dlg.AgreementValue(), "2");
    EXPECT_EQ(Describe(boxes.shown), (std::vector<std::string>{question, question}));

    boxes.shown.clear();
    dlg.OnCommand(kIdInstall);
    EXPECT_EQ(Describe(boxes.shown), std::vector<std::string>{ApplicationBox("尚未結束下載。")});
    EXPECT_FALSE(view.statusExpanded);

    folders.answer.reset();
    dlg.OnCommand(kIdFolderButton);
    ASSERT_EQ(folders.requests.size(), 1u);
    EXPECT_EQ(folders.requests[0].title, "至少需要 0 Bytes 容量。\n");
    EXPECT_EQ(dlg.DownloadFolder(), DefaultDownloadFolder());

    boxes.shown.clear();
    dlg.OnEscape();
    EXPECT_TRUE(view.closed);
    view.closed = false;
    dlg.OnCloseRequest();
    EXPECT_TRUE(view.closed);
    EXPECT_TRUE(boxes.shown.empty()) << "no job: nothing to ask";
}

// The library's notifications cross from its thread into the event loop of the host window's
// thread; other messages are not for it, and nothing arrives once it is gone.
TEST(CLibraryHostWindow, QueuesTheLibrarysNotificationsForItsThread) {
    struct Listener : IDownloaderViewListener {
        void OnCommand(int) override {}
        void OnEscape() override {}
        void OnCloseRequest() override {}
        void OnLibraryNotification(uint32_t code, uint32_t parameter) override {
            seen.emplace_back(code, parameter);
        }
        std::vector<std::pair<uint32_t, uint32_t>> seen;
    } listener;
    auto host = std::make_unique<CLibraryHostWindow>(listener);
    const uint32_t handle = host->Handle();
    ASSERT_NE(handle, 0u);
    std::thread library([handle] {
        cpPostMessage(handle, WM_DOWNLOADLIB, DLN_JOB_PROGRESS, 0xFFFFFFF0u);
        cpPostMessage(handle, WM_DOWNLOADLIB + 1, DLN_JOB_DONE, 7);
        cpPostMessage(handle, WM_DOWNLOADLIB, DLN_DATA_DONE, 0);
    });
    library.join();
    EXPECT_TRUE(listener.seen.empty()) << "queued, not called on the library's thread";
    ASSERT_TRUE(ProcessEventsUntil([&] { return listener.seen.size() >= 2; }));
    EXPECT_EQ(listener.seen, (std::vector<std::pair<uint32_t, uint32_t>>{
                                 {DLN_JOB_PROGRESS, 0xFFFFFFF0u}, {DLN_DATA_DONE, 0}}));

    cpPostMessage(handle, WM_DOWNLOADLIB, DLN_JOB_DONE, 1);
    host.reset();
    EXPECT_FALSE(cpPostMessage(handle, WM_DOWNLOADLIB, DLN_JOB_DONE, 2));
    ProcessEventsUntil([] { return false; }, 200ms);
    EXPECT_EQ(listener.seen.size(), 2u) << "what was queued died with the window";
}

}  // namespace
