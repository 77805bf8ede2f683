// The file-list download as a host sees it: DownloadLib_DownloadData against the project's test
// server (or a raw peer where the response must lie), outcomes 522 and 523, the one-second 529,
// and DownloadLib_GetDataSize / DownloadLib_GetData.
//
// The test clock is installed so that time-outs and ticks happen only when a test steps it; the
// downloads themselves run in real time over loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <thread>

#include "downloadlib.h"
#include "foundation/log.h"
#include "support/library_worker.h"
#include "support/tcp_peer.h"
#include "support/test_data.h"
#include "support/test_host.h"
#include "test_server/test_http_server.h"

using tev::tools::HttpRule;
using tev::tools::TestHttpServer;

namespace {

// The data of the last completed download, read the way a host reads it.
std::string ReadData() {
    int64_t size = 0;
    if (DownloadLib_GetDataSize(&size) != DL_OK) {
        return "<no size>";
    }
    std::string data(static_cast<size_t>(size), '\0');
    const DataBuffer buffer{data.data(), size};
    if (DownloadLib_GetData(&buffer) != DL_OK) {
        return "<no data>";
    }
    return data;
}

class DataDownloadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Ok()) << server_.Error();
        ASSERT_EQ(host_.Initialize(), DL_OK);
        ResetLog();
    }

    // Waits (real time) for the download's outcome: 522, 523, or 0 when none came.
    int32_t Outcome() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            if (host_.Count(DLN_DATA_DONE) + host_.Count(DLN_DATA_FAILED) > 0) {
                return host_.Count(DLN_DATA_DONE) > 0 ? DLN_DATA_DONE : DLN_DATA_FAILED;
            }
            host_.WaitFor(DLN_DATA_DONE, 1, 20);
        }
        return 0;
    }

    TestHttpServer server_;
    TestHost host_{TestHost::Options{.testClock = true}};
};

struct OutcomeCase {
    const char* name;
    std::function<void(TestHttpServer&)> serve;  // serves "/list.txt" its way
    int32_t outcome;
    const char* fetched;  // the path whose content arrives, for 522
    uint64_t requests;    // requests of "/list.txt"
    // For 523: how the log line that says why begins (the host hears only the number).
    const char* logged = "";
};

void PrintTo(const OutcomeCase& c, std::ostream* out) {
    *out << c.name;
}

const std::string kList = TestBytes(150'000);

class DataDownloadOutcomeTest : public DataDownloadTest,
                                public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(DataDownloadOutcomeTest, ReportsOneOutcome) {
    const OutcomeCase& c = GetParam();
    server_.SetContent("/list.txt", kList);
    server_.SetContent("/files/list.txt", kList);
    c.serve(server_);
    ASSERT_EQ(DownloadLib_DownloadData(server_.Url("/list.txt").c_str()), DL_OK);
    ASSERT_EQ(Outcome(), c.outcome);
    EXPECT_EQ(host_.Count(DLN_DATA_DONE) + host_.Count(DLN_DATA_FAILED), 1);
    EXPECT_EQ(server_.RequestCount("/list.txt"), c.requests);
    int64_t size = 0;
    if (c.outcome == DLN_DATA_DONE) {
        EXPECT_TRUE(ReadData() == kList);
        EXPECT_EQ(server_.RequestCount(c.fetched), 1u);
    } else {
        EXPECT_EQ(DownloadLib_GetDataSize(&size), DL_E_FAIL) << "no data after a failure";
        const std::string prefix = std::string("[TessloadLib] DataDownload Failed ") + c.logged;
        const std::string suffix = " url:" + server_.Url("/list.txt");
        int lines = 0;
        for (const std::string& line : TestHost::LogMessages()) {
            lines += line.starts_with(prefix) && line.ends_with(suffix) ? 1 : 0;
        }
        EXPECT_EQ(lines, 1) << prefix << "..." << suffix;
    }
}

const OutcomeCase kOutcomeCases[] = {
    {"Whole", [](TestHttpServer&) {}, DLN_DATA_DONE, "/list.txt", 1},
    {"RedirectAbsolute",
     [](TestHttpServer& s) {
         s.AddRule("/list.txt", {.kind = HttpRule::Redirect, .location = s.Url("/files/list.txt")});
     },
     DLN_DATA_DONE, "/files/list.txt", 1},
    {"RedirectRelative",
     [](TestHttpServer& s) {
         s.AddRule("/list.txt", {.kind = HttpRule::Redirect, .location = "files/list.txt"});
     },
     DLN_DATA_DONE, "/files/list.txt", 1},
    {"SeeOtherAbsolutePath",
     [](TestHttpServer& s) {
         s.AddRule("/list.txt",
                   {.kind = HttpRule::Redirect, .status = 303, .location = "/files/list.txt"});
     },
     DLN_DATA_DONE, "/files/list.txt", 1},
    {"RedirectWithoutLocation",
     [](TestHttpServer& s) { s.AddRule("/list.txt", {.kind = HttpRule::Redirect}); },
     DLN_DATA_FAILED, "", 1, "reason:4 (redirect without a usable Location)"},
    // Every hop counts; the eleventh redirect of one download ends it.
    {"RedirectLoop",
     [](TestHttpServer& s) {
         s.AddRule("/list.txt", {.kind = HttpRule::Redirect, .location = "list.txt"});
     },
     DLN_DATA_FAILED, "", 11, "reason:4 (too many redirects)"},
    {"NotFound",
     [](TestHttpServer& s) { s.AddRule("/list.txt", {.kind = HttpRule::Status, .status = 404}); },
     DLN_DATA_FAILED, "", 1, "reason:4 (status 404)"},
    {"WithoutContentLength",
     [](TestHttpServer& s) { s.AddRule("/list.txt", {.kind = HttpRule::OmitContentLength}); },
     DLN_DATA_FAILED, "", 1, "reason:4 (no usable Content-Length)"},
    {"ClosedBeforeHead",
     [](TestHttpServer& s) { s.AddRule("/list.txt", {.kind = HttpRule::CloseBeforeHead}); },
     DLN_DATA_FAILED, "", 1, "reason:6 (closed before an answer)"},
    // The head promised more than came: partial data is never handed over as the list.
    {"ClosedMidBody",
     [](TestHttpServer& s) {
         s.AddRule("/list.txt", {.kind = HttpRule::CloseAfterBytes, .bytes = 70'000});
     },
     DLN_DATA_FAILED, "", 1, "reason:6 (closed after "},
};

INSTANTIATE_TEST_SUITE_P(Cases, DataDownloadOutcomeTest, ::testing::ValuesIn(kOutcomeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DataDownloadTest, HandsTheDataOverOnlyIntoABufferOfItsExactSize) {
    const std::string first = TestBytes(1000);
    server_.SetContent("/first.txt", first);
    server_.SetContent("/second.txt", "http://host/a.bin\r\nhttp://host/b.bin\r\n");
    int64_t size = 0;
    EXPECT_EQ(DownloadLib_GetDataSize(&size), DL_E_FAIL) << "nothing downloaded yet";

    ASSERT_EQ(DownloadLib_DownloadData(server_.Url("/first.txt").c_str()), DL_OK);
    ASSERT_EQ(Outcome(), DLN_DATA_DONE);
    ASSERT_EQ(DownloadLib_GetDataSize(&size), DL_OK);
    EXPECT_EQ(size, 1000);
    std::string bytes(1001, '\0');
    const DataBuffer tooLarge{bytes.data(), 1001};
    const DataBuffer tooSmall{bytes.data(), 999};
    const DataBuffer noData{nullptr, 1000};
    EXPECT_EQ(DownloadLib_GetData(&tooLarge), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_GetData(&tooSmall), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_GetData(&noData), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_GetData(nullptr), DL_E_FAIL);
    EXPECT_EQ(bytes, std::string(1001, '\0')) << "a refused copy writes nothing";
    EXPECT_TRUE(ReadData() == first);
    EXPECT_TRUE(ReadData() == first) << "the data can be read again";

    // A second download replaces the first one's data.
    host_.Clear();
    ASSERT_EQ(DownloadLib_DownloadData(server_.Url("/second.txt").c_str()), DL_OK);
    ASSERT_EQ(Outcome(), DLN_DATA_DONE);
    EXPECT_EQ(ReadData(), "http://host/a.bin\r\nhttp://host/b.bin\r\n");
}

TEST_F(DataDownloadTest, TicksOnceASecondWhileItRunsAndNeverAfter) {
    server_.AddRule("/list.txt", {.kind = HttpRule::Stall});
    ASSERT_EQ(DownloadLib_DownloadData(server_.Url("/list.txt").c_str()), DL_OK);
    ASSERT_TRUE(server_.WaitForRequests("/list.txt", 1, 10000));
    EXPECT_EQ(host_.Count(DLN_DATA_TICK), 0);
    LibraryWorker::StepClock(1000);
    EXPECT_EQ(host_.Count(DLN_DATA_TICK), 1);
    LibraryWorker::StepClock(1000);
    EXPECT_EQ(host_.Count(DLN_DATA_TICK), 2);

    // Nothing arrives: the idle limit of 4 ticks ends the download.
    ASSERT_TRUE(host_.StepUntil([&] { return host_.Count(DLN_DATA_FAILED) == 1; }, 10000));
    const int ticks = host_.Count(DLN_DATA_TICK);
    EXPECT_GE(ticks, 3);
    EXPECT_LE(ticks, 6);
    LibraryWorker::StepClock(5000);
    EXPECT_EQ(host_.Count(DLN_DATA_TICK), ticks);
    EXPECT_EQ(host_.Count(DLN_DATA_FAILED), 1);
    EXPECT_EQ(host_.Count(DLN_DATA_DONE), 0);
    EXPECT_EQ(server_.RequestCount("/list.txt"), 1u) << "a failed download is not retried";
}

TEST_F(DataDownloadTest, StopsTickingWhenTheDownloadCompletes) {
    server_.SetContent("/list.txt", kList);
    server_.AddRule("/list.txt", {.kind = HttpRule::Rate, .bytesPerSecond = 100'000});
    ASSERT_EQ(DownloadLib_DownloadData(server_.Url("/list.txt").c_str()), DL_OK);
    ASSERT_TRUE(server_.WaitForRequests("/list.txt", 1, 10000));
    LibraryWorker::StepClock(1000);
    ASSERT_EQ(Outcome(), DLN_DATA_DONE);
    const int ticks = host_.Count(DLN_DATA_TICK);
    EXPECT_GE(ticks, 1);
    LibraryWorker::StepClock(3000);
    EXPECT_EQ(host_.Count(DLN_DATA_TICK), ticks);
    EXPECT_TRUE(ReadData() == kList);
}

// A size above what is held in memory is refused from the head, before any body arrives.
TEST_F(DataDownloadTest, RefusesAClaimedSizeAbove64MiB) {
    TcpListener peer;
    const std::string url = "http://127.0.0.1:" + std::to_string(peer.Port()) + "/list.txt";
    ASSERT_EQ(DownloadLib_DownloadData(url.c_str()), DL_OK);
    TcpConnection connection = peer.Accept();
    ASSERT_TRUE(connection.Valid());
    EXPECT_NE(connection.Receive(4096).find("GET /list.txt HTTP/1.1"), std::string::npos);
    ASSERT_TRUE(
        connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 67108865\r\n\r\nhttp://host/a.bin\n"));
    ASSERT_EQ(Outcome(), DLN_DATA_FAILED);
    EXPECT_EQ(connection.Receive(4096), "") << "the library closed the connection";
}

TEST_F(DataDownloadTest, FailsAtOnceForAUrlItCannotRequest) {
    for (const char* url : {"", "ftp://127.0.0.1/list.txt", "http://"}) {
        host_.Clear();
        ASSERT_EQ(DownloadLib_DownloadData(url), DL_OK);
        // Known inside the call, but sent from the worker like every other notification.
        ASSERT_TRUE(host_.WaitFor(DLN_DATA_FAILED)) << url;
        LibraryWorker::Run([] {});
        EXPECT_EQ(host_.Codes(), std::vector<int32_t>{DLN_DATA_FAILED}) << url;
        EXPECT_TRUE(host_.AllFromOtherThreads(DLN_DATA_FAILED)) << url;
    }
}

TEST_F(DataDownloadTest, ARefusedConnectionFails) {
    const std::string url = "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/list.txt";
    ASSERT_EQ(DownloadLib_DownloadData(url.c_str()), DL_OK);
    ASSERT_EQ(Outcome(), DLN_DATA_FAILED);
    LibraryWorker::StepClock(3000);
    EXPECT_EQ(host_.Count(DLN_DATA_FAILED), 1);
    EXPECT_EQ(host_.Count(DLN_DATA_TICK), 0);
}

}  // namespace
