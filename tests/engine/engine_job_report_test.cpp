// The engine path's job reports: every way a job the engine carried ends (complete, failed,
// stopped, handed to the direct downloader) sends one job report to the report collector, with
// the figures the engine's messages gave. Time runs on the test clock.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/job.h"
#include "engine/engine_downloader.h"
#include "foundation/host_cache.h"
#include "foundation/log.h"
#include "foundation/platform/connectivity.h"
#include "report_collector/report_collector.h"
#include "scripted_engine.h"
#include "support/loop_thread.h"
#include "support/tcp_peer.h"

namespace ep = engine_protocol;
using tev::tools::JobOutcome;
using tev::tools::JobPath;
using tev::tools::ReportCollector;

namespace {

class NullManager : public IJobDownloadEventListener {
  public:
    void OnEngineUpdateFile(const char*, uint32_t, uint32_t) override {}
    void OnEngineUpdateProgress(uint32_t, uint32_t) override {}
    void OnEngineUpdated() override {}
    void OnEngineUpdateFailed() override {}
    void OnEngineGiveUp() override {}
    void OnEngineGiveUpJob(CJob*) override {}
    void OnPathFailed(int32_t) override {}
    void OnEngineStateChanged(uint32_t) override {}
};

enum class Ending { Finished, Failed, Stopped, GivenUp };

class EngineJobReportTest : public ::testing::TestWithParam<Ending> {
  protected:
    void SetUp() override {
        ResetLog();
        cpCHostCache::Instance().Clear();
        cpSetConnectivityProbe([] { return true; });
        folder_ = std::string(std::getenv("HOME")) + "/downloads/";
        collector_ = std::make_unique<ReportCollector>(ReportCollector::Options{
            .port = 0,
            .database = std::string(std::getenv("TEV_TEST_ROOT")) + "/jobs-" +
                        std::to_string(static_cast<int>(GetParam())) + ".db"});
        ASSERT_TRUE(collector_->Ok()) << collector_->Error();
        setenv("TEV_REPORT_SERVER", ("127.0.0.1:" + std::to_string(collector_->Port())).c_str(), 1);
    }
    void TearDown() override {
        loop_.Run([&] {
            downloader_.reset();
            job_.reset();
        });
        cpSetConnectivityProbe({});
        unsetenv("TEV_REPORT_SERVER");
    }

    CEngineDownloaderSettings Settings() {
        CEngineDownloaderSettings settings;
        settings.launcher.environment.engineFolder = [this] { return folder_ + "engine/"; };
        settings.launcher.environment.enginePath = [this] { return folder_ + "engine/e"; };
        settings.launcher.environment.secondaryPath = [] { return std::string(); };
        settings.launcher.environment.currentVersion = [] { return std::string("1.5.0.34"); };
        settings.launcher.environment.runEngine = [](std::function<void(bool)> done) {
            done(true);
            return std::shared_ptr<CEngineStartWatch>();
        };
        settings.launcher.descriptorUrl =
            "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/update.xml";
        settings.port = engine_.Port();
        return settings;
    }

    bool StepUntil(const std::function<bool()>& pred) {
        for (int stepped = 0; stepped <= 20000; stepped += 100) {
            for (int settle = 0; settle < 20; ++settle) {
                if (loop_.Call([&] { return pred(); })) {
                    return true;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            loop_.StepClock(100);
        }
        return false;
    }

    LoopThread loop_;
    ScriptedEngine engine_;
    NullManager manager_;
    std::unique_ptr<ReportCollector> collector_;
    std::unique_ptr<CEngineDownloader> downloader_;
    std::unique_ptr<CJob> job_;
    std::string folder_;
};

TEST_P(EngineJobReportTest, EveryEndOfAnEngineJobSendsOneJobReport) {
    loop_.Run([&] {
        downloader_ = std::make_unique<CEngineDownloader>(&manager_, loop_.Mutex(), Settings());
    });
    ASSERT_TRUE(StepUntil([&] { return downloader_->IsConnected(); }));
    job_ = std::make_unique<CJob>(JobHandle{1}, 0u);
    job_->SetServiceId("svc-launch");
    ASSERT_EQ(job_->AddFile("http://cdn.example/g/a.bin|http://mirror.example/g/a.bin",
                            folder_.c_str(), "a.bin", 3000000, 0, 0),
              DL_OK);
    ASSERT_EQ(job_->AddFile("http://cdn.example/g/b.bin", folder_.c_str(), "b.bin", 1000000, 0, 0),
              DL_OK);
    ASSERT_EQ(loop_.Call([&] { return downloader_->Start(job_.get()); }), DL_OK);
    ASSERT_TRUE(engine_.WaitMessages(2));
    ASSERT_TRUE(engine_.Send(ep::JobAccepted{job_->Number(), 9, 2, 4000000}));
    ASSERT_TRUE(loop_.WaitFor([&] { return job_->EngineNumber() == 9; }));

    // 500,000 bytes were there from an earlier run; 3,000,000 arrive over 4 seconds, with up
    // to two transfers at once.
    const ep::ProgressEntry entry{"a.bin", 3000000, 0, 0, ""};
    ASSERT_TRUE(engine_.Send(
        ep::JobProgress{job_->Number(), 9, 2, 0, 4000000, 500000, 0, 0, {entry, entry, entry}}));
    ASSERT_TRUE(loop_.WaitFor([&] { return job_->Progress().presentBytes == 500000; }));
    loop_.StepClock(4000);
    ASSERT_TRUE(engine_.Send(
        ep::JobProgress{job_->Number(), 9, 2, 1, 4000000, 3500000, 0, 4, {entry, entry}}));
    ASSERT_TRUE(loop_.WaitFor([&] { return job_->Progress().presentBytes == 3500000; }));

    JobOutcome expected = JobOutcome::Completed;
    std::string failure;
    switch (GetParam()) {
        case Ending::Finished:
            ASSERT_TRUE(engine_.Send(ep::JobFinished{job_->Number(), 9, 2, 0}));
            break;
        case Ending::Failed:
            failure = "http://mirror.example/g/a.bin: HTTP status 404";
            expected = JobOutcome::Failed;
            ASSERT_TRUE(engine_.Send(ep::JobFailed{job_->Number(), 9, failure}));
            break;
        case Ending::Stopped:
            expected = JobOutcome::Stopped;
            ASSERT_EQ(loop_.Call([&] { return downloader_->Stop(job_.get()); }), DL_OK);
            break;
        case Ending::GivenUp:
            expected = JobOutcome::Moved;
            ASSERT_TRUE(engine_.Send(ep::JobFinished{job_->Number(), 9, 1, 1}));
            break;
    }
    ASSERT_TRUE(StepUntil([&] { return !collector_->Jobs().empty(); }));
    const std::vector<tev::tools::StoredJob> jobs = collector_->Jobs();
    ASSERT_EQ(jobs.size(), 1u);
    const tev::tools::JobReport& report = jobs[0].job;
    EXPECT_EQ(report.path, JobPath::Engine);
    EXPECT_EQ(report.outcome, expected);
    EXPECT_EQ(report.files, 2u);
    EXPECT_EQ(report.filesCompleted, expected == JobOutcome::Completed ? 2u : 1u);
    EXPECT_EQ(report.connections, 2u);
    EXPECT_GE(report.durationMs, 4000u);
    EXPECT_LT(report.durationMs, 6000u);
    EXPECT_EQ(report.bytesFromServers, 3000000);
    EXPECT_EQ(report.bytesFromPeers, 0);
    EXPECT_EQ(report.totalBytes, 4000000);
    EXPECT_EQ(report.serviceId, "svc-launch");
    EXPECT_EQ(report.engineVersion, "1.5.0.34");
    EXPECT_EQ(report.failure, failure);
    if (expected == JobOutcome::Failed) {
        // The URL the engine names in its failure is the mirror it was fetching from.
        EXPECT_EQ(report.url, "http://mirror.example/g/a.bin");
        EXPECT_EQ(jobs[0].serverHost, "mirror.example");
    } else {
        EXPECT_EQ(report.url, "http://cdn.example/g/a.bin|http://mirror.example/g/a.bin");
        EXPECT_EQ(jobs[0].serverHost, "cdn.example");
    }
}

INSTANTIATE_TEST_SUITE_P(Endings, EngineJobReportTest,
                         ::testing::Values(Ending::Finished, Ending::Failed, Ending::Stopped,
                                           Ending::GivenUp));

}  // namespace
