// The direct download end to end: the flat interface drives jobs against the project's test
// server over loopback, statistics go to an in-process report collector, and the platform seams
// stand in for a full disk and a lost network.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "downloadlib.h"
#include "foundation/clock.h"
#include "foundation/platform/connectivity.h"
#include "foundation/platform/disk.h"
#include "foundation/platform/file.h"
#include "report_collector/report_collector.h"
#include "support/library_worker.h"
#include "support/test_data.h"
#include "support/test_host.h"
#include "test_server/test_http_server.h"

namespace fs = std::filesystem;
using tev::tools::HttpRule;
using tev::tools::ReportCollector;
using tev::tools::StoredReport;
using tev::tools::TestHttpServer;

namespace {

constexpr int64_t kUnknownSize = -1;

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

struct Event {
    int32_t code;
    std::string text;
};

std::vector<Event> PopEvents(JobHandle job) {
    std::vector<Event> events;
    for (;;) {
        int32_t length = 0;
        DownloadLib_GetJobEventTextLength(job, &length);
        std::string text(static_cast<size_t>(length > 0 ? length : 1), '\0');
        JobEvent event{0, text.data()};
        DownloadLib_PopJobEvent(job, &event);
        if (event.code == DL_OK) {
            return events;
        }
        events.push_back({event.code, std::string(text.c_str())});
    }
}

std::vector<int32_t> Codes(const std::vector<Event>& events) {
    std::vector<int32_t> codes;
    for (const Event& event : events) {
        codes.push_back(event.code);
    }
    return codes;
}

// The Range headers of the requests that carried one: the session's, not the size check's.
std::vector<std::string> SessionRanges(const TestHttpServer& server, const std::string& path) {
    std::vector<std::string> ranges;
    for (const std::string& range : server.RangeHeaders(path)) {
        if (!range.empty()) {
            ranges.push_back(range);
        }
    }
    return ranges;
}

JobProgress Progress(JobHandle job) {
    JobProgress progress{};
    DownloadLib_GetJobProgress(job, &progress);
    return progress;
}

class DirectDownloadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Named after the test, so that cases run in one process keep apart.
        const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        root_ = std::string(std::getenv("TEV_TEST_ROOT")) + "/" + test;
        folder_ = root_ + "/downloads/";
        database_ = root_ + "/reports.db";
        fs::create_directories(root_);
        collector_ = std::make_unique<ReportCollector>(
            ReportCollector::Options{.port = 0, .database = database_});
        ASSERT_TRUE(collector_->Ok()) << collector_->Error();
        setenv("TEV_REPORT_SERVER", ("127.0.0.1:" + std::to_string(collector_->Port())).c_str(), 1);
        // The machine's own network does not decide these tests.
        cpSetConnectivityProbe([this] { return connected_.load(); });
    }

    void TearDown() override {
        host_.reset();
        if (cpTestClock::Installed()) {
            cpTestClock::Uninstall();
        }
        cpSetConnectivityProbe(nullptr);
        cpSetFreeSpaceProbe(nullptr);
        cpTestWriteFailure::Clear();
    }

    TestHost& Host(bool testClock = false) {
        host_ = std::make_unique<TestHost>(TestHost::Options{.testClock = testClock});
        EXPECT_EQ(host_->Initialize(), DL_OK);
        return *host_;
    }

    JobHandle Job(const std::string& serviceId = "svc-direct") {
        return host_->CreateJob(serviceId.c_str());
    }

    int32_t Add(JobHandle job, const std::string& url, const std::string& name,
                int64_t size = kUnknownSize) {
        const auto bits = static_cast<uint64_t>(size);
        return DownloadLib_AddJobFile(job, url.c_str(), folder_.c_str(), name.c_str(),
                                      static_cast<uint32_t>(bits),
                                      static_cast<uint32_t>(bits >> 32), 0);
    }

    std::string Path(const std::string& name) const { return folder_ + name; }

    // With the test clock: moves time in 100 ms steps until pred holds, each step only once
    // the library has handled what it was told and the server has answered every connection
    // it accepted, so that no time-out fires while bytes are on their way.
    static bool StepUntilSettled(const TestHttpServer& server, const std::function<bool()>& pred,
                                 int64_t maxMs = 120000) {
        for (int64_t stepped = 0; stepped < maxMs; stepped += 100) {
            if (pred()) {
                return true;
            }
            Settle(server);
            LibraryWorker::StepClock(100);
        }
        return pred();
    }

    bool WaitForJobs(size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (collector_->Jobs().size() < count) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    static void Settle(const TestHttpServer& server) {
        // Whatever the last step set off on the worker (reads, new connections, requests).
        LibraryWorker::Run([] {});
        LibraryWorker::Run([] {});
        const auto observe = [&server] {
            const std::vector<tev::tools::HttpRequestRecord> requests = server.Requests();
            bool answered = requests.size() >= server.AcceptedConnections();
            for (const auto& request : requests) {
                answered = answered && request.status != 0;
            }
            return std::make_pair(answered, requests.size());
        };
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        auto before = observe();
        while (std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            const auto now = observe();
            if (now.first && now == before) {
                return;  // answered, and nothing new arrived meanwhile
            }
            before = now;
        }
    }

    std::string root_;
    std::string database_;
    std::string folder_;
    std::atomic<bool> connected_{true};
    std::unique_ptr<ReportCollector> collector_;
    std::unique_ptr<TestHost> host_;
};

TEST_F(DirectDownloadTest, AJobOfSeveralFilesCompletes) {
    TestHttpServer server;
    const std::string a = TestBytes(300000, 1);
    const std::string b = TestBytes(1048576 + 7, 2);
    const std::string c = TestBytes(10, 3);
    server.SetContent("/pack/a.bin", a);
    server.SetContent("/pack/b.bin", b);
    server.SetContent("/pack/c.bin", c);
    TestHost& host = Host();
    fs::create_directories(folder_);
    WriteFile(Path("c.bin"), c);  // already complete: it receives nothing

    const JobHandle job = Job();
    const std::string urls[] = {server.Url("/pack/a.bin"), server.Url("/pack/b.bin"),
                                server.Url("/pack/c.bin")};
    ASSERT_EQ(Add(job, urls[0], "a.bin"), DL_OK);
    ASSERT_EQ(Add(job, urls[1], "b.bin"), DL_OK);
    ASSERT_EQ(Add(job, urls[2], "c.bin"), DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    EXPECT_EQ(DownloadLib_StartJob(job, 1), DL_E_STARTED);
    ASSERT_TRUE(host.WaitFor(DLN_JOB_DONE));

    EXPECT_EQ(ReadWholeFile(Path("a.bin")), a);
    EXPECT_EQ(ReadWholeFile(Path("b.bin")), b);
    EXPECT_EQ(ReadWholeFile(Path("c.bin")), c);

    JobSizeInfo size{};
    ASSERT_EQ(DownloadLib_GetJobSizeInfo(job, &size), DL_OK);
    EXPECT_EQ(size.fileCount, 3);
    EXPECT_EQ(size.totalBytes, static_cast<int64_t>(a.size() + b.size() + c.size()));
    JobResult result{};
    ASSERT_EQ(DownloadLib_GetJobResult(job, &result), DL_OK);
    EXPECT_EQ(result.fileCount, 3);
    EXPECT_EQ(result.value1, 3);
    EXPECT_EQ(result.value2, 0);
    const JobProgress progress = Progress(job);
    EXPECT_EQ(progress.presentBytes, size.totalBytes);
    EXPECT_EQ(progress.completedFiles, 3);
    EXPECT_EQ(progress.percent, 100);
    // The last progress shows the last file complete, not an empty file bar.
    EXPECT_EQ(progress.fileIndex, 2);
    EXPECT_EQ(progress.fileSize, static_cast<int64_t>(c.size()));
    EXPECT_EQ(progress.filePercent, 100);
    EXPECT_STREQ(progress.fileName, "c.bin");

    EXPECT_EQ(host.PopFileMessages(job), (std::vector<std::string>{urls[0] + "," + Path("a.bin"),
                                                                   urls[1] + "," + Path("b.bin"),
                                                                   urls[2] + "," + Path("c.bin")}));
    EXPECT_TRUE(PopEvents(job).empty());

    // The size first, progress once a second and at the end, a message per file, then done.
    std::vector<int32_t> codes;
    for (const auto& [code, parameter] : host.Notifications()) {
        if (parameter == static_cast<int32_t>(job)) {
            codes.push_back(code);
        }
    }
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes.front(), DLN_JOB_SIZE);
    EXPECT_EQ(codes.back(), DLN_JOB_DONE);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), DLN_JOB_SIZE), 1);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), DLN_JOB_FILE_DONE), 3);
    EXPECT_GE(std::count(codes.begin(), codes.end(), DLN_JOB_PROGRESS), 1);
    EXPECT_EQ(codes[codes.size() - 2], DLN_JOB_PROGRESS) << "the final progress before done";

    // Each file asked from where its local copy ended.
    EXPECT_EQ(SessionRanges(server, "/pack/a.bin"), std::vector<std::string>{"bytes=0-"});
    EXPECT_EQ(SessionRanges(server, "/pack/c.bin"), std::vector<std::string>{"bytes=10-"});
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] CPlatFormDownloader Begin"));
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] CPlatFormDownloader FileSizeCheck Completed"));

    // One statistics record per file that received bytes, read back from the collector's file.
    ASSERT_TRUE(collector_->WaitForRecords(2, 10000));
    const std::vector<StoredReport> rows = tev::tools::ReadReportsFile(database_);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].url, urls[0]);
    EXPECT_EQ(rows[0].bytes, static_cast<int64_t>(a.size()));
    EXPECT_EQ(rows[1].url, urls[1]);
    EXPECT_EQ(rows[1].bytes, static_cast<int64_t>(b.size()));
    for (const StoredReport& row : rows) {
        EXPECT_EQ(row.serviceId, "svc-direct");
        EXPECT_EQ(row.marker, 1);
        EXPECT_EQ(row.messageId, 1) << "one report for the job";
    }
    // And one job report next to the records, on a connection of its own.
    ASSERT_TRUE(WaitForJobs(1));
    const tev::tools::JobReport report = collector_->Jobs()[0].job;
    EXPECT_EQ(report.path, tev::tools::JobPath::Direct);
    EXPECT_EQ(report.outcome, tev::tools::JobOutcome::Completed);
    EXPECT_EQ(report.files, 3u);
    EXPECT_EQ(report.filesCompleted, 3u);
    EXPECT_EQ(report.bytesFromServers, static_cast<int64_t>(a.size() + b.size()));
    EXPECT_EQ(report.totalBytes, size.totalBytes);
    EXPECT_EQ(report.serviceId, "svc-direct");
    EXPECT_EQ(report.url, urls[0]);
    EXPECT_TRUE(report.failure.empty());

    host.Finalize();
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] CPlatFormDownloader Destroy"));
}

TEST_F(DirectDownloadTest, AStoppedDownloadResumesWhereItsFileEnds) {
    TestHttpServer server;
    const std::string content = TestBytes(1048576 + 123, 4);
    server.SetContent("/big.bin", content);
    TestHost& host = Host();
    const JobHandle job = Job();
    ASSERT_EQ(Add(job, server.Url("/big.bin"), "big.bin", static_cast<int64_t>(content.size())),
              DL_OK);
    // Limited mode, 384 KiB a second: the file takes three seconds. Stop after the first.
    ASSERT_EQ(DownloadLib_StartJob(job, 0), DL_OK);
    ASSERT_TRUE(host.WaitFor(DLN_JOB_PROGRESS));
    ASSERT_EQ(DownloadLib_StopJob(job), DL_OK);

    const JobProgress stopped = Progress(job);
    const int64_t onDisk = static_cast<int64_t>(fs::file_size(Path("big.bin")));
    EXPECT_GT(onDisk, 0);
    EXPECT_LT(onDisk, static_cast<int64_t>(content.size()));
    EXPECT_EQ(onDisk, stopped.presentBytes) << "every byte received is on disk";
    EXPECT_EQ(ReadWholeFile(Path("big.bin")), content.substr(0, static_cast<size_t>(onDisk)));

    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    ASSERT_TRUE(host.WaitFor(DLN_JOB_DONE));
    EXPECT_EQ(ReadWholeFile(Path("big.bin")), content);
    EXPECT_EQ(server.RangeHeaders("/big.bin"),
              (std::vector<std::string>{"bytes=0-", "bytes=" + std::to_string(onDisk) + "-"}));
    JobResult result{};
    DownloadLib_GetJobResult(job, &result);
    EXPECT_EQ(result.value1, 1);

    // Statistics at the stop and at the end, each counting what that session received.
    ASSERT_TRUE(collector_->WaitForRecords(2, 10000));
    const std::vector<StoredReport> rows = collector_->Records();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].bytes, onDisk);
    EXPECT_EQ(rows[1].bytes, static_cast<int64_t>(content.size()) - onDisk);
}

struct LocalCase {
    const char* name;
    std::string local;  // what is on disk before the start
    int64_t size;       // given to the job
    bool ignoreRange;   // the server answers 200 to every request
    std::vector<std::string> ranges;
    int64_t reportedBytes;  // in the statistics record; 0: no record
};

// What a local copy holds that cannot be continued is replaced; what is complete is kept.
TEST_F(DirectDownloadTest, LocalCopiesAreContinuedOnlyWhenTheyFit) {
    const std::string served = TestBytes(200000, 5);
    const std::string longer = served + TestBytes(100, 6);
    const std::string longerRange = "bytes=" + std::to_string(longer.size()) + "-";
    const LocalCase cases[] = {
        {"ignored-range.bin", served.substr(0, 5000), kUnknownSize, true, {"bytes=5000-"}, 200000},
        {"longer-unknown.bin", longer, kUnknownSize, false, {"bytes=0-"}, 200000},
        // The host believes the longer size: the server's 416 says otherwise.
        {"longer-given.bin",
         longer,
         static_cast<int64_t>(longer.size()),
         false,
         {longerRange, "bytes=0-"},
         200000},
        {"complete.bin", served, kUnknownSize, false, {"bytes=200000-"}, 0},
    };
    TestHttpServer server;
    TestHost& host = Host(/*testClock=*/true);
    fs::create_directories(folder_);
    int done = 0;
    int64_t records = 0;
    for (const LocalCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = std::string("/") + c.name;
        server.SetContent(path, served);
        if (c.ignoreRange) {
            server.AddRule(path, {.kind = HttpRule::IgnoreRange});
        }
        WriteFile(Path(c.name), c.local);
        const JobHandle job = Job();
        ASSERT_EQ(Add(job, server.Url(path), c.name, c.size), DL_OK);
        ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
        ++done;
        ASSERT_TRUE(StepUntilSettled(server, [&] { return host.Count(DLN_JOB_DONE) == done; }));
        EXPECT_EQ(ReadWholeFile(Path(c.name)), served);
        EXPECT_EQ(SessionRanges(server, path), c.ranges);
        JobResult result{};
        DownloadLib_GetJobResult(job, &result);
        EXPECT_EQ(result.fileCount, 1);
        EXPECT_EQ(result.value1, 1);
        EXPECT_TRUE(PopEvents(job).empty());
        if (c.reportedBytes > 0) {
            ASSERT_TRUE(collector_->WaitForRecords(++records, 10000));
            EXPECT_EQ(collector_->Records().back().bytes, c.reportedBytes);
        }
    }
    EXPECT_EQ(collector_->RecordCount(), records) << "no record for a file that received nothing";
}

TEST_F(DirectDownloadTest, AlternativesAndRetries) {
    TestHttpServer server;
    const std::string content = TestBytes(5000, 7);
    server.SetContent("/dead.bin", content);
    server.SetContent("/ok.bin", content);
    server.AddRule("/dead.bin", {.kind = HttpRule::CloseBeforeHead});
    TestHost& host = Host();
    const JobHandle job = Job();
    const std::string urlText = server.Url("/dead.bin") + "|" + server.Url("/ok.bin");
    ASSERT_EQ(Add(job, urlText, "alt.bin", 5000), DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    ASSERT_TRUE(host.WaitFor(DLN_JOB_DONE));
    EXPECT_EQ(server.RequestCount("/dead.bin"), 3u) << "three attempts on the first alternative";
    EXPECT_EQ(server.RequestCount("/ok.bin"), 1u);
    EXPECT_EQ(ReadWholeFile(Path("alt.bin")), content);
    EXPECT_EQ(host.PopFileMessages(job), std::vector<std::string>{urlText + "," + Path("alt.bin")});
}

TEST_F(DirectDownloadTest, AJobWhoseAlternativesAllFailStaysHeld) {
    TestHttpServer server;
    server.SetContent("/a.bin", "x");
    server.SetContent("/b.bin", "x");
    server.AddRule("*", {.kind = HttpRule::CloseBeforeHead});
    TestHost& host = Host();
    const JobHandle job = Job();
    ASSERT_EQ(Add(job, server.Url("/a.bin") + "|" + server.Url("/b.bin"), "dead.bin", 1), DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    ASSERT_TRUE(host.WaitFor(DLN_JOB_EVENT));
    const std::vector<Event> events = PopEvents(job);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, JOB_EVENT_FAILED);
    EXPECT_EQ(events[0].text, server.Url("/b.bin"));
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] TryMax Over : " + server.Url("/b.bin")));
    EXPECT_EQ(server.RequestCount("/a.bin"), 3u);
    EXPECT_EQ(server.RequestCount("/b.bin"), 3u);
    EXPECT_EQ(host.Count(DLN_JOB_FILE_DONE), 0);
    EXPECT_EQ(host.Count(DLN_JOB_DONE), 0);
    EXPECT_EQ(DownloadLib_StopJob(job), DL_OK) << "the job stayed held until the host stops it";
    // Its job report names the failure and the URL given up on.
    ASSERT_TRUE(WaitForJobs(1));
    const tev::tools::StoredJob stored = collector_->Jobs()[0];
    EXPECT_EQ(stored.job.outcome, tev::tools::JobOutcome::Failed);
    EXPECT_EQ(stored.job.failure, server.Url("/b.bin"));
    EXPECT_EQ(stored.job.url, server.Url("/b.bin"));
    EXPECT_EQ(stored.serverHost, "127.0.0.1");
}

// Nothing is fetched for a file that cannot be opened, or whose name leaves its folder.
TEST_F(DirectDownloadTest, AFileThatCannotBeOpenedFailsTheJobAtOnce) {
    TestHttpServer server;
    server.SetContent("/f.bin", "content");
    TestHost& host = Host();
    fs::create_directories(Path("in-the-way.bin"));
    const struct {
        const char* name;
        int error;
    } cases[] = {{"in-the-way.bin", EISDIR}, {"../escape.bin", EINVAL}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const JobHandle job = Job();
        ASSERT_EQ(Add(job, server.Url("/f.bin"), c.name, 7), DL_OK);
        ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
        const std::vector<Event> events = PopEvents(job);
        ASSERT_EQ(events.size(), 1u) << "reported before the start returned";
        EXPECT_EQ(events[0].code, JOB_EVENT_FAILED);
        EXPECT_EQ(events[0].text, server.Url("/f.bin"));
        EXPECT_TRUE(TestHost::LogContains("[TessloadLib] CreateFile Failed(" +
                                          std::to_string(c.error) + ") : " + Path(c.name)));
        EXPECT_TRUE(
            TestHost::LogContains("[TessloadLib] WriteFileOpen Failed : " + server.Url("/f.bin")));
        EXPECT_EQ(DownloadLib_StopJob(job), DL_OK) << "held until the host stops it";
    }
    EXPECT_FALSE(fs::exists(root_ + "/escape.bin"));
    EXPECT_EQ(server.RequestCount("/f.bin"), 0u);
    (void)host;
}

TEST_F(DirectDownloadTest, Redirects) {
    TestHttpServer server;
    const std::string content = TestBytes(3000, 8);
    server.SetContent("/files/real.bin", content);
    server.SetContent("/files/ok.bin", content);
    // Only the download's requests (with Range) are redirected: the size check sees 200.
    server.AddRule("/files/moved.bin",
                   {.kind = HttpRule::Redirect, .location = "real.bin", .onlyWithRange = true});
    server.SetContent("/files/moved.bin", content);
    server.AddRule("/files/loop.bin",
                   {.kind = HttpRule::Redirect, .status = 303, .location = "/files/loop.bin"});
    server.AddRule("/files/no-location.bin", {.kind = HttpRule::Redirect, .onlyWithRange = true});
    server.SetContent("/files/a b.bin", content);
    server.SetContent("/files/encoded.bin", content);
    server.AddRule("/files/encoded.bin",
                   {.kind = HttpRule::Redirect, .location = "a%20b.bin", .onlyWithRange = true});
    server.SetContent("/files/no-location.bin", content);
    TestHost& host = Host(/*testClock=*/true);

    // A relative Location is followed from the URL it answered.
    const JobHandle moved = Job();
    ASSERT_EQ(Add(moved, server.Url("/files/moved.bin"), "moved.bin"), DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(moved, 1), DL_OK);
    ASSERT_TRUE(StepUntilSettled(server, [&] { return host.Count(DLN_JOB_DONE) == 1; }));
    EXPECT_EQ(ReadWholeFile(Path("moved.bin")), content);
    EXPECT_EQ(SessionRanges(server, "/files/real.bin"), std::vector<std::string>{"bytes=0-"});

    // An encoded Location is asked for as it stands: "a%20b.bin", never "a%2520b.bin".
    const JobHandle encoded = Job();
    ASSERT_EQ(Add(encoded, server.Url("/files/encoded.bin"), "encoded.bin"), DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(encoded, 1), DL_OK);
    ASSERT_TRUE(StepUntilSettled(server, [&] { return host.Count(DLN_JOB_DONE) == 2; }));
    EXPECT_EQ(ReadWholeFile(Path("encoded.bin")), content);
    EXPECT_EQ(SessionRanges(server, "/files/a b.bin"), std::vector<std::string>{"bytes=0-"});

    // A loop ends the alternative after ten redirects; the next one is used.
    const JobHandle loop = Job();
    ASSERT_EQ(Add(loop, server.Url("/files/loop.bin") + "|" + server.Url("/files/ok.bin"),
                  "loop.bin", 3000),
              DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(loop, 1), DL_OK);
    ASSERT_TRUE(StepUntilSettled(server, [&] { return host.Count(DLN_JOB_DONE) == 3; }));
    EXPECT_EQ(server.RequestCount("/files/loop.bin"), 11u);
    EXPECT_EQ(ReadWholeFile(Path("loop.bin")), content);

    // A redirect without a Location fails the job, which stays held.
    const JobHandle lost = Job();
    ASSERT_EQ(Add(lost, server.Url("/files/no-location.bin"), "lost.bin"), DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(lost, 1), DL_OK);
    ASSERT_TRUE(StepUntilSettled(server, [&] { return host.Count(DLN_JOB_EVENT) == 1; }));
    EXPECT_EQ(Codes(PopEvents(lost)), std::vector<int32_t>{JOB_EVENT_FAILED});
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] eNWHSC_HTTP_SEEOTHER  : " +
                                      server.Url("/files/no-location.bin")));
    EXPECT_EQ(DownloadLib_StopJob(lost), DL_OK);
}

// Where a body ends is read from the real "Content-Length" only, and a file of another size than
// the size check learnt is never done: it is asked for again, then the job fails.
TEST_F(DirectDownloadTest, OnlyAFileOfTheLearntSizeIsDone) {
    const std::string content = TestBytes(3000, 14);
    struct Case {
        const char* path;
        std::string served;
        HttpRule rule;
        int64_t size;  // given by the host; kUnknownSize: learnt by the size check
        bool done;
    };
    const Case cases[] = {
        // A longer name that starts like it is another header.
        {"/hint.bin",
         content,
         {.kind = HttpRule::AddHeaders, .headers = {"Content-Length-Hint: 5"}},
         kUnknownSize,
         true},
        // Not plain digits: refused, never decoded to 5.
        {"/encoded.bin",
         content,
         {.kind = HttpRule::AddHeaders, .headers = {"Content-Length: %35"}},
         3000,
         false},
        // The download's answer says 5 where the check learnt 3000.
        {"/length.bin",
         content,
         {.kind = HttpRule::IgnoreRange, .onlyWithRange = true, .headers = {"Content-Length: 5"}},
         kUnknownSize,
         false},
        // The check was told 3000; the file is 5 bytes, and the server calls those complete.
        {"/five.bin",
         content.substr(0, 5),
         {.kind = HttpRule::AddHeaders, .firstN = 1, .headers = {"Content-Length: 3000"}},
         kUnknownSize,
         false},
    };
    TestHttpServer server;
    TestHost& host = Host(/*testClock=*/true);
    int done = 0;
    int failed = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        server.SetContent(c.path, c.served);
        server.AddRule(c.path, c.rule);
        const std::string name = std::string(c.path).substr(1);
        const JobHandle job = Job();
        ASSERT_EQ(Add(job, server.Url(c.path), name, c.size), DL_OK);
        ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
        (c.done ? done : failed) += 1;
        ASSERT_TRUE(StepUntilSettled(server, [&] {
            return host.Count(DLN_JOB_DONE) == done && host.Count(DLN_JOB_EVENT) == failed;
        }));
        if (c.done) {
            EXPECT_EQ(ReadWholeFile(Path(name)), content);
        } else {
            EXPECT_EQ(Codes(PopEvents(job)), std::vector<int32_t>{JOB_EVENT_FAILED});
            EXPECT_TRUE(TestHost::LogContains("[TessloadLib] TryMax Over : " + server.Url(c.path)));
            EXPECT_EQ(DownloadLib_StopJob(job), DL_OK);
        }
    }
    EXPECT_TRUE(TestHost::LogContains(
        "[TessloadLib] HTTP Response Refused host:127.0.0.1 reason:invalid or conflicting "
        "Content-Length"));
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] File Size Differs(5, expected 3000) : " +
                                      server.Url("/length.bin")));
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] File Size Differs(5, expected 3000) : " +
                                      server.Url("/five.bin")));
}

// A new connection starts at once, with what is left of this second's cap; one file after
// another on new connections still keeps to one cap, not a fresh second's worth each.
TEST_F(DirectDownloadTest, FilesInARowShareOneCap) {
    const std::string content = TestBytes(200 * 1024, 15);
    TestHttpServer server;
    TestHost& host = Host(/*testClock=*/true);
    const JobHandle job = Job();
    for (const char* name : {"a.bin", "b.bin", "c.bin"}) {
        server.SetContent(std::string("/") + name, content);
        ASSERT_EQ(Add(job, server.Url(std::string("/") + name), name,
                      static_cast<int64_t>(content.size())),
                  DL_OK);
    }
    ASSERT_EQ(DownloadLib_StartJob(job, /*fast=*/0), DL_OK);
    // No tick yet: the first file at once, then the second spends what is left of the cap
    // (184 KiB) and waits for the tick; the third is not asked for (with a fresh quota per
    // connection it would be, the second file being done long before).
    ASSERT_TRUE(server.WaitForRequests("/b.bin", 1, 10000));
    Settle(server);
    EXPECT_FALSE(server.WaitForRequests("/c.bin", 1, 2000));
    EXPECT_EQ(host.Count(DLN_JOB_DONE), 0);
    ASSERT_TRUE(StepUntilSettled(server, [&] { return host.Count(DLN_JOB_DONE) == 1; }));
    for (const char* name : {"a.bin", "b.bin", "c.bin"}) {
        EXPECT_TRUE(ReadWholeFile(Path(name)) == content) << name;
    }
}

TEST_F(DirectDownloadTest, TheSizeCheckRefusesFilesThatDoNotFit) {
    TestHttpServer server;
    server.SetContent("/hundred.bin", TestBytes(100, 9));
    int64_t freeBytes = 0;
    cpSetFreeSpaceProbe([&freeBytes](const std::string&) { return freeBytes; });
    TestHost& host = Host();
    const struct {
        int64_t free;
        int32_t event;  // DL_OK: downloaded
    } cases[] = {{99, JOB_EVENT_DISK_FULL}, {100, JOB_EVENT_FAILED}, {101, DL_OK}};
    int finished = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.free);
        freeBytes = c.free;
        const std::string name = "fit-" + std::to_string(c.free) + ".bin";
        const JobHandle job = Job();
        ASSERT_EQ(Add(job, server.Url("/hundred.bin"), name), DL_OK);
        ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
        if (c.event == DL_OK) {
            ASSERT_TRUE(host.WaitFor(DLN_JOB_DONE));
            EXPECT_EQ(fs::file_size(Path(name)), 100u);
            continue;
        }
        ASSERT_TRUE(host.WaitFor(DLN_JOB_EVENT, ++finished));
        const std::vector<Event> events = PopEvents(job);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].code, c.event);
        EXPECT_EQ(events[0].text, server.Url("/hundred.bin"));
        EXPECT_FALSE(fs::exists(Path(name))) << "refused before any byte was written";
        EXPECT_TRUE(SessionRanges(server, "/hundred.bin").empty());
        EXPECT_EQ(DownloadLib_StopJob(job), DL_E_FAIL) << "no downloader holds the job";
    }
}

TEST_F(DirectDownloadTest, AFailedWriteHoldsTheJobAndAStopAndStartCompletesIt) {
    TestHttpServer server;
    const std::string content = TestBytes(1048576, 10);
    server.SetContent("/disk.bin", content);
    TestHost& host = Host();
    cpTestWriteFailure::FailAfter(300 * 1024, ENOSPC);
    const JobHandle job = Job();
    ASSERT_EQ(Add(job, server.Url("/disk.bin"), "disk.bin", static_cast<int64_t>(content.size())),
              DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    ASSERT_TRUE(host.WaitFor(DLN_JOB_EVENT));
    const std::vector<Event> events = PopEvents(job);
    ASSERT_EQ(events.size(), 1u) << "one disk-full event";
    EXPECT_EQ(events[0].code, JOB_EVENT_DISK_FULL);
    EXPECT_EQ(events[0].text, server.Url("/disk.bin"));
    EXPECT_EQ(host.Count(DLN_JOB_FILE_DONE), 0);
    EXPECT_EQ(fs::file_size(Path("disk.bin")), 300u * 1024);
    EXPECT_EQ(ReadWholeFile(Path("disk.bin")), content.substr(0, 300 * 1024));
    int64_t remaining = 0;
    ASSERT_EQ(DownloadLib_GetJobRemainingBytes(job, &remaining), DL_OK);
    EXPECT_EQ(remaining, static_cast<int64_t>(content.size()) - 300 * 1024)
        << "what never reached the disk is still needed";

    cpTestWriteFailure::Clear();
    ASSERT_EQ(DownloadLib_StopJob(job), DL_OK) << "held until the host stops it";
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    ASSERT_TRUE(host.WaitFor(DLN_JOB_DONE));
    EXPECT_EQ(ReadWholeFile(Path("disk.bin")), content);
    EXPECT_EQ(server.RangeHeaders("/disk.bin"),
              (std::vector<std::string>{"bytes=0-", "bytes=307200-"}));
    EXPECT_EQ(host.PopFileMessages(job).size(), 1u);
    EXPECT_TRUE(PopEvents(job).empty());
}

TEST_F(DirectDownloadTest, NetworkLossReachesEveryHeldJobItsReturnTheFirst) {
    TestHttpServer server;
    server.SetContent("/stall.bin", "never sent");
    server.AddRule("/stall.bin", {.kind = HttpRule::Stall});
    TestHost& host = Host(/*testClock=*/true);
    const JobHandle first = Job();
    const JobHandle second = Job();
    ASSERT_EQ(Add(first, server.Url("/stall.bin"), "one.bin", 10), DL_OK);
    ASSERT_EQ(Add(second, server.Url("/stall.bin"), "two.bin", 10), DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(first, 1), DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(second, 1), DL_OK);

    const auto networkCodes = [](JobHandle job) {
        std::vector<int32_t> codes;
        for (const int32_t code : Codes(PopEvents(job))) {
            if (code == JOB_EVENT_NETWORK_POOR || code == JOB_EVENT_NETWORK_BACK) {
                codes.push_back(code);
            }
        }
        return codes;
    };
    connected_ = false;
    LibraryWorker::StepClock(3000);
    EXPECT_EQ(networkCodes(first), std::vector<int32_t>{JOB_EVENT_NETWORK_POOR});
    EXPECT_EQ(networkCodes(second), std::vector<int32_t>{JOB_EVENT_NETWORK_POOR});
    connected_ = true;
    LibraryWorker::StepClock(3000);
    EXPECT_EQ(networkCodes(first), std::vector<int32_t>{JOB_EVENT_NETWORK_BACK});
    EXPECT_EQ(networkCodes(second), std::vector<int32_t>{});
    (void)host;
}

TEST_F(DirectDownloadTest, AResumedJobCountsOnlyTheBytesItMoves) {
    // 3 GiB already on disk (sparse files), 1 MiB still to come.
    const int64_t prefix = int64_t{3} << 30;
    const std::string tail = TestBytes(1048576, 11);
    const std::string served = root_ + "/served";
    fs::create_directories(served);
    fs::create_directories(folder_);
    for (const char* name : {"known.bin", "unknown.bin"}) {
        const int in = open((served + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_EQ(pwrite(in, tail.data(), tail.size(), prefix), static_cast<ssize_t>(tail.size()));
        close(in);
        const int out = open(Path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_EQ(ftruncate(out, prefix), 0);
        close(out);
    }
    TestHttpServer server({.root = served});
    TestHost& host = Host(/*testClock=*/true);
    int done = 0;
    for (const bool sizeGiven : {true, false}) {
        const std::string name = sizeGiven ? "known.bin" : "unknown.bin";
        SCOPED_TRACE(name);
        const JobHandle job = Job();
        ASSERT_EQ(Add(job, server.Url("/" + name), name,
                      sizeGiven ? prefix + static_cast<int64_t>(tail.size()) : kUnknownSize),
                  DL_OK);
        ASSERT_EQ(DownloadLib_StartJob(job, 0), DL_OK);  // limited: about three seconds
        ++done;
        int snapshots = 0;
        ASSERT_TRUE(StepUntilSettled(server, [&] {
            const JobProgress p = Progress(job);
            if (p.presentBytes > 0 && p.elapsedSeconds > 0) {
                ++snapshots;
                EXPECT_EQ(p.speed, (p.presentBytes - prefix) / p.elapsedSeconds)
                    << "the bytes on disk before the start were not moved";
                EXPECT_GE(p.remainingSeconds, 0);
                EXPECT_GE(p.fileRemainingSeconds, 0);
            }
            return host.Count(DLN_JOB_DONE) == done;
        }));
        EXPECT_GT(snapshots, 0);
        const JobProgress last = Progress(job);
        EXPECT_EQ(last.presentBytes, prefix + static_cast<int64_t>(tail.size()));
        EXPECT_LE(last.speed, static_cast<int32_t>(tail.size()));
        EXPECT_EQ(last.remainingSeconds, 0);
        EXPECT_EQ(SessionRanges(server, "/" + name),
                  std::vector<std::string>{"bytes=" + std::to_string(prefix) + "-"});
        std::ifstream file(Path(name), std::ios::binary);
        file.seekg(prefix);
        std::string written(tail.size(), '\0');
        file.read(written.data(), static_cast<std::streamsize>(written.size()));
        EXPECT_EQ(written, tail);
    }
}

// A file that changed on the server since its size was learnt is fetched again from its start,
// never spliced from two versions: the prefix on disk is of the old one.
TEST_F(DirectDownloadTest, APartialAnswerOfAnotherVersionStartsTheFileOver) {
    const std::string before = TestBytes(200000, 12);
    const std::string after = TestBytes(250000, 13);
    TestHttpServer server;
    server.SetContent("/changed.bin", after);
    TestHost& host = Host(/*testClock=*/true);
    fs::create_directories(folder_);
    WriteFile(Path("changed.bin"), before.substr(0, 5000));
    const JobHandle job = Job();
    ASSERT_EQ(
        Add(job, server.Url("/changed.bin"), "changed.bin", static_cast<int64_t>(before.size())),
        DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    ASSERT_TRUE(StepUntilSettled(server, [&] { return host.Count(DLN_JOB_DONE) == 1; }));
    EXPECT_EQ(ReadWholeFile(Path("changed.bin")), after);
    EXPECT_EQ(SessionRanges(server, "/changed.bin"),
              (std::vector<std::string>{"bytes=5000-", "bytes=0-"}));
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] File changed on the server, starting over : " +
                                      server.Url("/changed.bin")));
}

TEST_F(DirectDownloadTest, AFileThatCannotBeCutBackFailsAsAWriteFailureNotAFullDisk) {
    TestHttpServer server;
    const std::string content = TestBytes(100000, 14);
    server.SetContent("/cut.bin", content);
    server.AddRule("/cut.bin", {.kind = HttpRule::IgnoreRange});
    TestHost& host = Host();
    fs::create_directories(folder_);
    WriteFile(Path("cut.bin"), content.substr(0, 4000));
    cpTestWriteFailure::FailTruncate(EIO);
    const JobHandle job = Job();
    ASSERT_EQ(Add(job, server.Url("/cut.bin"), "cut.bin"), DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    ASSERT_TRUE(host.WaitFor(DLN_JOB_EVENT));
    const std::vector<Event> events = PopEvents(job);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, JOB_EVENT_FAILED);
    EXPECT_EQ(events[0].text, server.Url("/cut.bin"));
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] SetEndOfFile Failed(" + std::to_string(EIO) +
                                      ") : " + Path("cut.bin")));
    EXPECT_EQ(host.Count(DLN_JOB_DONE), 0);
}

TEST_F(DirectDownloadTest, AFileWithoutANameFailsAndTheJobResultShowsIt) {
    TestHttpServer server;
    const std::string content = TestBytes(5000, 15);
    server.SetContent("/pack/a.bin", content);
    server.SetContent("/pack/", "an index page");
    TestHost& host = Host();
    const JobHandle job = Job();
    // A file-list line ending in '/' names no file (its size known, so that only the download
    // itself meets it).
    ASSERT_EQ(Add(job, server.Url("/pack/"), "", 13), DL_OK);
    ASSERT_EQ(Add(job, server.Url("/pack/a.bin"), "a.bin"), DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    ASSERT_TRUE(host.WaitFor(DLN_JOB_DONE));
    const std::vector<Event> events = PopEvents(job);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, JOB_EVENT_FAILED);
    EXPECT_EQ(events[0].text, server.Url("/pack/"));
    JobResult result{};
    ASSERT_EQ(DownloadLib_GetJobResult(job, &result), DL_OK);
    EXPECT_EQ(result.fileCount, 2);
    EXPECT_EQ(result.value1, 1) << "one file of two completed";
    EXPECT_EQ(ReadWholeFile(Path("a.bin")), content);
}

}  // namespace
