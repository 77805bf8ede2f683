// Job reports from the library to the report collector over loopback: what the library encodes
// is what the collector stores; a collector that is down, stalls or does not know job reports
// costs the reports in flight and nothing else, within the time-outs of the clock.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "foundation/host_cache.h"
#include "foundation/log.h"
#include "report_collector/report_collector.h"
#include "report_collector/report_frame.h"
#include "stack/job_reporter.h"
#include "stack_fixture.h"

using tev::tools::ReportCollector;

namespace {

std::string LogText() {
    std::ifstream file(LogFilePath());
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

vmJobReport SampleReport() {
    vmJobReport report;
    report.path = vmJobReport::kPathEngine;
    report.outcome = vmJobReport::kFailed;
    report.files = 3;
    report.filesCompleted = 1;
    report.connections = 2;
    report.durationMs = 12345;
    report.bytesFromServers = (int64_t{1} << 33) + 7;
    report.bytesFromPeers = 0;
    report.totalBytes = int64_t{1} << 34;
    report.serviceId = "svc-engine";
    report.url = "http://cdn.example/game/a.bin|http://mirror.example/game/a.bin";
    report.mirror = "http://mirror.example/game/a.bin";
    report.engineVersion = "1.5.0.34";
    report.failure = "http://mirror.example/game/a.bin: HTTP status 404 'quoted' caf\xE9";
    return report;
}

class JobReporterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetLog();
        cpCHostCache::Instance().Clear();
    }
    void TearDown() override {
        loop_.Run([&] { reporter_.reset(); });
        unsetenv("TEV_REPORT_SERVER");
    }
    void UseServer(uint16_t port) {
        setenv("TEV_REPORT_SERVER", ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
    }
    void Report(const vmJobReport& report) {
        loop_.Run([&] {
            if (!reporter_) {
                reporter_ = std::make_unique<CJobReporter>();
            }
            // Never waits for the server: the call only queues and starts connecting.
            const auto start = std::chrono::steady_clock::now();
            reporter_->Report(report);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
        });
    }
    bool Idle() {
        return loop_.Call([&] {
            return !reporter_->IsConnected() && reporter_->Queued() == 0 &&
                   reporter_->AwaitingAnswers() == 0;
        });
    }

    LoopThread loop_;
    std::unique_ptr<CJobReporter> reporter_;
};

TEST_F(JobReporterTest, WhatTheLibrarySendsIsWhatTheCollectorStores) {
    ReportCollector collector(ReportCollector::Options{
        .port = 0, .database = std::string(std::getenv("TEV_TEST_ROOT")) + "/jobs.db"});
    ASSERT_TRUE(collector.Ok()) << collector.Error();
    UseServer(collector.Port());
    vmJobReport report = SampleReport();
    Report(report);
    vmJobReport direct;
    direct.path = vmJobReport::kPathDirect;
    direct.outcome = vmJobReport::kCompleted;
    direct.url = std::string(3000, 'u');  // cut to the field's 2048 bytes
    direct.serviceId = std::string(40, 's');
    Report(direct);
    ASSERT_TRUE(loop_.WaitFor([&] { return collector.Jobs().size() == 2; }, 10000));
    // Answered, the reporter lets its connection go.
    ASSERT_TRUE(loop_.WaitFor([&] { return !reporter_->IsConnected(); }));

    const auto jobs = collector.Jobs();
    const auto& stored = jobs[0];
    EXPECT_EQ(stored.job.path, tev::tools::JobPath::Engine);
    EXPECT_EQ(stored.job.outcome, tev::tools::JobOutcome::Failed);
    EXPECT_EQ(stored.job.files, 3u);
    EXPECT_EQ(stored.job.filesCompleted, 1u);
    EXPECT_EQ(stored.job.connections, 2u);
    EXPECT_EQ(stored.job.durationMs, 12345u);
    EXPECT_EQ(stored.job.bytesFromServers, report.bytesFromServers);
    EXPECT_EQ(stored.job.bytesFromPeers, 0);
    EXPECT_EQ(stored.job.totalBytes, report.totalBytes);
    EXPECT_EQ(stored.job.serviceId, report.serviceId);
    EXPECT_EQ(stored.job.url, report.url);
    EXPECT_EQ(stored.job.mirror, report.mirror);
    EXPECT_EQ(stored.job.engineVersion, report.engineVersion);
    // A byte of an ANSI code page is kept as every store keeps it.
    EXPECT_EQ(stored.job.failure,
              "http://mirror.example/game/a.bin: HTTP status 404 'quoted' caf%E9");
    EXPECT_EQ(stored.serverHost, "mirror.example");
    EXPECT_EQ(jobs[1].job.path, tev::tools::JobPath::Direct);
    EXPECT_EQ(jobs[1].job.url, std::string(2048, 'u'));
    EXPECT_EQ(jobs[1].job.serviceId, std::string(32, 's'));
}

TEST_F(JobReporterTest, AStalledCollectorCostsTheReportAndNothingElse) {
    TcpListener server;  // accepts, reads nothing, answers nothing
    UseServer(server.Port());
    Report(SampleReport());
    TcpConnection peer = server.Accept();
    ASSERT_TRUE(peer.Valid());
    ASSERT_TRUE(loop_.WaitFor([&] { return reporter_->AwaitingAnswers() == 1; }));
    // Within the idle limit it waits for the answer...
    loop_.StepClock(3000);
    EXPECT_FALSE(Idle());
    // ...then drops the report and says so.
    loop_.StepClock(4000);
    ASSERT_TRUE(loop_.WaitFor([&] { return !reporter_->IsConnected(); }));
    EXPECT_TRUE(Idle());
    EXPECT_NE(
        LogText().find("[TessloadLib] Job report server 127.0.0.1:" +
                       std::to_string(server.Port()) + " did not answer: 1 report(s) dropped"),
        std::string::npos)
        << LogText();
    // It had sent its one message, a job report, and then closed.
    const std::string sent = peer.ReceiveExactly(8192, 2000);
    ASSERT_GE(sent.size(), 14u);
    EXPECT_EQ(sent.substr(0, 4), std::string("\x00\x03\x9B\x00", 4));
    EXPECT_EQ(sent.size(),
              14u + (static_cast<uint8_t>(sent[10]) | static_cast<uint8_t>(sent[11]) << 8));
}

TEST_F(JobReporterTest, AServerThatNeverAcceptsIsGivenUpAtTheConnectTimeOut) {
    UnansweredListener server;
    UseServer(server.Port());
    Report(SampleReport());
    Report(SampleReport());
    loop_.StepClock(6000);
    ASSERT_TRUE(loop_.WaitFor([&] { return !reporter_->IsConnected(); }));
    EXPECT_TRUE(Idle());
    EXPECT_NE(LogText().find("not reached: 2 report(s) dropped"), std::string::npos) << LogText();
}

// A collector from before job reports refuses the message from its header, after answering
// what came before it on the connection; the library drops the report, and the direct
// downloader's records on the same collector are stored as ever.
TEST_F(JobReporterTest, ACollectorThatDoesNotKnowJobReportsRefusesThemCleanly) {
    std::vector<std::string> lines;
    std::mutex linesMutex;
    ReportCollector::Options options{
        .port = 0, .database = std::string(std::getenv("TEV_TEST_ROOT")) + "/old.db"};
    options.acceptJobReports = false;
    options.logSink = [&](const std::string& line) {
        std::lock_guard lock(linesMutex);
        lines.push_back(line);
    };
    ReportCollector collector(options);
    ASSERT_TRUE(collector.Ok()) << collector.Error();

    // On the wire: a block of records, then a job report.
    const std::string block = tev::tools::BuildReportMessage({{"svc", "http://h/a.bin", 10, 1}});
    tev::tools::JobReport job;
    job.url = "http://h/a.bin";
    const std::string jobMessage = tev::tools::BuildJobReportMessage(job);
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(collector.Port());
    address.sin_addr.s_addr = LoopbackAddress();
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    TcpConnection client(fd);
    ASSERT_TRUE(client.Send(block + jobMessage));
    const std::string ack = tev::tools::BuildReportAck();
    EXPECT_EQ(client.ReceiveExactly(ack.size() + 1, 5000), ack) << "one answer, then the close";
    EXPECT_EQ(collector.RecordCount(), 1);
    {
        std::lock_guard lock(linesMutex);
        bool named = false;
        for (const std::string& line : lines) {
            named = named || line.find("unexpected message 0x0300/0x9B") != std::string::npos;
        }
        EXPECT_TRUE(named);
    }

    // The library's reporter meets the same refusal: the report is dropped, nothing waits.
    UseServer(collector.Port());
    Report(SampleReport());
    ASSERT_TRUE(loop_.WaitFor([&] { return !reporter_->IsConnected(); }, 10000));
    EXPECT_TRUE(Idle());
    EXPECT_NE(LogText().find("closed the connection: 1 report(s) dropped"), std::string::npos)
        << LogText();
    EXPECT_TRUE(collector.Jobs().empty());
}

}  // namespace
