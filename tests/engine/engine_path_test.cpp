// The engine path through the flat interface: the job manager sets the engine downloader up,
// jobs go to the engine, the host's resume answer reaches it, and when the engine path gives up,
// for one job or for all, the direct downloader finishes the job against the test server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/manager_parts.h"
#include "core/registration.h"
#include "engine/engine_downloader.h"
#include "engine/engine_paths.h"
#include "foundation/platform/connectivity.h"
#include "publish/publisher.h"
#include "scripted_engine.h"
#include "support/stand_in.h"
#include "support/tcp_peer.h"
#include "support/test_data.h"
#include "support/test_host.h"
#include "support/update_signing.h"
#include "test_server/test_http_server.h"
#include "update/version_text.h"

namespace ep = engine_protocol;
namespace fs = std::filesystem;
using tev::tools::TestHttpServer;

namespace {

// The file list the engine received, waiting for it.
std::optional<ep::FileList> WaitForList(ScriptedEngine& engine) {
    for (size_t count = 1; engine.WaitMessages(count); ++count) {
        const std::vector<ScriptedEngine::Received> messages = engine.Messages();
        if (const auto* list = std::get_if<ep::FileList>(&messages[count - 1].message)) {
            return *list;
        }
    }
    return std::nullopt;
}

template <class Record>
std::string Hex(const Record& record) {
    ep::Bytes payload;
    EXPECT_TRUE(ep::Encode(record, &payload));
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const uint8_t byte : payload) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}

class EnginePathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Ok()) << server_.Error();
        folder_ = std::string(std::getenv("HOME")) + "/downloads/";
        fs::create_directories(folder_);
        cpSetConnectivityProbe([] { return true; });
        RegisterLibraryClasses();
    }
    void TearDown() override {
        host_.reset();
        SetManagerFactoriesForTests(std::nullopt);
        cpSetConnectivityProbe({});
    }

    // The library's own parts, the engine downloader looking for its engine on enginePort.
    void UseEngineOn(uint16_t enginePort) {
        CJobManagerFactories factories = CurrentManagerFactories();
        const uint16_t descriptorPort = UnusedPort();
        factories.engineDownloader =
            [enginePort, descriptorPort](
                IJobDownloadEventListener* listener,
                vmSmartPtr<cpCMutex> mutex) -> std::unique_ptr<CJobDownloader> {
            CEngineDownloaderSettings settings;
            settings.launcher.environment.engineFolder = [] {
                return std::string("/nonexistent/");
            };
            settings.launcher.environment.enginePath = [] { return std::string("/nonexistent/e"); };
            settings.launcher.environment.secondaryPath = [] { return std::string(); };
            settings.launcher.environment.currentVersion = [] { return std::string(); };
            settings.launcher.environment.runEngine = [](std::function<void(bool)> done) {
                done(true);
                return std::shared_ptr<CEngineStartWatch>();
            };
            settings.launcher.descriptorUrl =
                "http://127.0.0.1:" + std::to_string(descriptorPort) + "/update.xml";
            settings.port = enginePort;
            return std::make_unique<CEngineDownloader>(listener, std::move(mutex), settings);
        };
        SetManagerFactoriesForTests(factories);
    }

    TestHost& Host() {
        host_ = std::make_unique<TestHost>(TestHost::Options{.engine = true});
        EXPECT_EQ(host_->Initialize(), DL_OK);
        return *host_;
    }

    JobHandle JobOf(const std::vector<std::string>& names) {
        const JobHandle job = host_->CreateJob("svc");
        for (const std::string& name : names) {
            EXPECT_EQ(
                DownloadLib_AddJobFile(job, server_.Url("/game/" + name).c_str(), folder_.c_str(),
                                       name.c_str(), 0xFFFFFFFFu, 0xFFFFFFFFu, 0),
                DL_OK);
        }
        return job;
    }

    static fs::path Site() {
        const fs::path site = fs::path(std::getenv("HOME")) / "site";
        fs::create_directories(site);
        return site;
    }

    TestHttpServer server_{{.root = Site()}};
    std::string folder_;
    std::unique_ptr<TestHost> host_;
};

TEST_F(EnginePathTest, AJobGoesToTheEngineAndTheHostsResumeAnswerReachesIt) {
    ScriptedEngine engine;
    UseEngineOn(engine.Port());
    TestHost& host = Host();
    const JobHandle job = JobOf({"a.bin"});
    ASSERT_EQ(DownloadLib_StartJob(job, 0), DL_OK);
    const std::optional<ep::FileList> list = WaitForList(engine);
    ASSERT_TRUE(list);
    const size_t received = engine.Messages().size();

    ASSERT_TRUE(engine.Send(ep::JobAccepted{list->job, 9, 1, 3}));
    ASSERT_TRUE(engine.Send(ep::ResumeQuery{list->job}));
    ASSERT_TRUE(host.WaitFor(DLN_JOB_RESUME_QUERY));
    EXPECT_EQ(DownloadLib_ReplyResume(job, 1, 1), DL_OK);
    ASSERT_TRUE(engine.WaitMessages(received + 1));
    EXPECT_EQ(engine.Last<ep::ResumeReply>(), (ep::ResumeReply{9, list->job, 1, 1}));

    ASSERT_TRUE(engine.Send(
        ep::FileCompleted{list->job, 9, "svc", folder_ + "a.bin", server_.Url("/game/a.bin")}));
    ASSERT_TRUE(engine.Send(ep::JobFinished{list->job, 9, 0, 0}));
    ASSERT_TRUE(host.WaitFor(DLN_JOB_DONE));
    EXPECT_EQ(host.PopFileMessages(job),
              std::vector<std::string>{server_.Url("/game/a.bin") + "," + folder_ + "a.bin"});
    EXPECT_GE(host.Count(DLN_ENGINE_UPDATED), 1);
}

TEST_F(EnginePathTest, AJobTheEngineGivesUpFinishesOnTheDirectDownloader) {
    const std::string bytes = TestBytes(200000, 7);
    server_.SetContent("/game/b.bin", bytes);
    ScriptedEngine engine;
    UseEngineOn(engine.Port());
    TestHost& host = Host();
    const JobHandle job = JobOf({"b.bin"});
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    const std::optional<ep::FileList> list = WaitForList(engine);
    ASSERT_TRUE(list);
    ASSERT_TRUE(engine.Send(ep::JobAccepted{list->job, 4, 1, bytes.size()}));
    ASSERT_TRUE(engine.Send(ep::JobFinished{list->job, 4, 1, 1}));
    ASSERT_TRUE(host.WaitFor(DLN_JOB_DONE));
    EXPECT_EQ(ReadWholeFile(folder_ + "b.bin"), bytes);
    EXPECT_EQ(host.PopEvents(job), std::vector<int32_t>{JOB_EVENT_MOVED});
}

TEST_F(EnginePathTest, AfterSixFailedConnectionsTheDirectDownloaderFinishesTheJob) {
    const std::string bytes = TestBytes(100000, 3);
    server_.SetContent("/game/c.bin", bytes);
    UseEngineOn(UnusedPort());  // nobody listens
    TestHost& host = Host();
    const JobHandle job = JobOf({"c.bin"});
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    ASSERT_TRUE(host.WaitFor(DLN_JOB_DONE));
    EXPECT_EQ(ReadWholeFile(folder_ + "c.bin"), bytes);
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] CEngineDownloader MaxTry Over"));
    EXPECT_EQ(host.Count(DLN_ENGINE_UPDATED), 6);
}

TEST_F(EnginePathTest, WithoutAnEngineOrAnUpdateServerTheDirectDownloaderTakesOver) {
    // The library's own engine downloader: nothing installed, nobody serving the update.
    const std::string bytes = TestBytes(50000, 5);
    server_.SetContent("/game/d.bin", bytes);
    setenv("TEV_DOWNLOAD_SERVER", ("127.0.0.1:" + std::to_string(UnusedPort())).c_str(), 1);
    setenv("TEV_ENGINE_PORT", std::to_string(UnusedPort()).c_str(), 1);
    TestHost& host = Host();
    const JobHandle job = JobOf({"d.bin"});
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    ASSERT_TRUE(host.WaitFor(DLN_JOB_DONE, 1, 10000));
    EXPECT_EQ(ReadWholeFile(folder_ + "d.bin"), bytes);
    EXPECT_EQ(host.Count(DLN_ENGINE_UPDATE_FAILED), 1);
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] Patch Fail"));
}

TEST_F(EnginePathTest, TheUpdateInstallsAndStartsTheEngineWhichFinishesTheJob) {
    // The update server offers the stand-in engine; nothing is installed yet.
    const fs::path build = fs::path(std::getenv("HOME")) / "build";
    fs::create_directories(build);
    fs::copy_file(StandInEngineProgram(), build / kEngineFileName);
    tev::tools::PublishOptions options;
    options.outputFolder = Site();
    options.baseUrl = server_.Url("");
    options.forTest = true;
    options.signingKey = TestUpdateKey().privateKey;
    options.program = build / kEngineFileName;
    ASSERT_TRUE(GetFileVersionText(options.program, &options.version));
    std::string error;
    ASSERT_TRUE(tev::tools::Publish(options, &error)) << error;
    const std::string address = server_.Url("");
    setenv("TEV_DOWNLOAD_SERVER", address.substr(address.find("//") + 2).c_str(), 1);
    setenv("TEV_ENGINE_PORT", std::to_string(UnusedPort()).c_str(), 1);

    // What the engine will do, beside where the update puts it: the first job of the library
    // has number 0.
    const std::string url = server_.Url("/game/e.bin");
    const std::string enginePath = GetEngineFilePath();
    fs::create_directories(GetEngineFolderPath());
    std::ofstream(enginePath + ".script")
        << "listen\nready\naccept\nexpect 100 12\nexpect 100 0\nexpect 102 14\n"
        << "send 100 4 " << Hex(ep::JobAccepted{0, 5, 1, 3}) << "\n"
        << "send 100 7 " << Hex(ep::FileCompleted{0, 5, "svc", folder_ + "e.bin", url}) << "\n"
        << "send 100 6 " << Hex(ep::JobFinished{0, 5, 0, 0}) << "\n"
        << "drain\n";

    host_ = std::make_unique<TestHost>(TestHost::Options{.engine = true});
    ASSERT_EQ(host_->Initialize(), DL_OK);
    JobHandle job = 0;
    ASSERT_EQ(DownloadLib_CreateJob(&job, "", "svc"), DL_OK);
    ASSERT_EQ(DownloadLib_AddJobFile(job, url.c_str(), folder_.c_str(), "e.bin", 3, 0, 0), DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    const bool done = host_->WaitFor(DLN_JOB_DONE);
    const std::vector<std::string> files = host_->PopFileMessages(job);
    const std::vector<int32_t> events = host_->PopEvents(job);
    // The library goes first: a lost connection would restart the engine.
    host_->Finalize();
    const pid_t engine = StandInPid(enginePath);
    EXPECT_GT(engine, 0);
    EndStandIn(engine);
    ASSERT_TRUE(done);
    EXPECT_EQ(files, std::vector<std::string>{url + "," + folder_ + "e.bin"});
    EXPECT_EQ(host_->Count(DLN_ENGINE_UPDATED), 1);
    EXPECT_GE(host_->Count(DLN_ENGINE_UPDATE_FILE), 1);
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] Patch Success"));
    EXPECT_TRUE(events.empty());
}

}  // namespace
