// The content-length check as a host sees it: URLs queued with DownloadLib_AddContentLengthCheck,
// DownloadLib_StartContentLengthCheck, then 525 with DownloadLib_GetTotalContentLength or 526.
// Against the project's test server; a refusing host is a loopback port nobody listens on.
//
// The test clock is installed: a stalled request times out only when a test steps the clock.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

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

int CountLogLines(const std::string& prefix) {
    int n = 0;
    for (const std::string& line : TestHost::LogMessages()) {
        n += line.starts_with(prefix) ? 1 : 0;
    }
    return n;
}

int64_t Total() {
    int64_t total = -1;
    EXPECT_EQ(DownloadLib_GetTotalContentLength(&total), DL_OK);
    return total;
}

// Polls (real time, bounded) until pred holds.
template <class Pred>
bool Eventually(Pred pred, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class ContentLengthCheckTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Ok()) << server_.Error();
        ASSERT_EQ(host_.Initialize(), DL_OK);
        ResetLog();
    }

    void Add(const std::string& url) {
        ASSERT_EQ(DownloadLib_AddContentLengthCheck(url.c_str()), DL_OK);
    }

    TestHttpServer server_;
    TestHost host_{TestHost::Options{.testClock = true}};
};

TEST_F(ContentLengthCheckTest, SizesEightUrlsWithAtMostFiveRequestsAtOnce) {
    int64_t expected = 0;
    for (int i = 0; i < 8; ++i) {
        const std::string path = "/f" + std::to_string(i);
        server_.SetContent(path, std::string(1000 + 37 * i, 'x'));
        expected += 1000 + 37 * i;
        // Only the text before the bar is asked for.
        Add(server_.Url(path) + (i == 3 ? "|http://127.0.0.1:1/mirror/f3" : ""));
    }
    // The first five requests get no answer until they time out and are asked again.
    server_.AddRule("*", {.kind = HttpRule::Stall, .firstN = 5});
    ASSERT_EQ(DownloadLib_StartContentLengthCheck(), DL_OK);

    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(server_.WaitForRequests("/f" + std::to_string(i), 1, 10000)) << i;
    }
    EXPECT_FALSE(server_.WaitForRequests("/f5", 1, 300)) << "a sixth request while five run";
    EXPECT_EQ(server_.PeakConnections(), 5u);
    EXPECT_EQ(host_.Count(DLN_CHECK_DONE), 0);

    // Past the idle limit of 3 ticks the five are asked again; each answer starts the next URL.
    LibraryWorker::StepClock(5000);
    ASSERT_TRUE(host_.WaitFor(DLN_CHECK_DONE));
    EXPECT_EQ(Total(), expected);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(server_.RequestCount("/f" + std::to_string(i)), i < 5 ? 2u : 1u) << i;
    }
    EXPECT_EQ(server_.Requests().size(), 13u) << "nothing but the eight paths was asked for";
    EXPECT_EQ(host_.Count(DLN_CHECK_DONE), 1);
    EXPECT_EQ(host_.Count(DLN_CHECK_FAILED), 0);

    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] Start ContentLength Check file:8"));
    // The seconds depend on where in its second the idle tick fell.
    EXPECT_EQ(CountLogLines("[TessloadLib] ContentLength Check Complete file:8 sec:"), 1);
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(TestHost::LogContains("[TessloadLib] CLCS RT(file:" + std::to_string(i) + ")"));
    }

    // A job that knows no sizes yet answers the checker's total as its remaining bytes.
    const JobHandle job = host_.CreateJob();
    int64_t remaining = 0;
    EXPECT_EQ(DownloadLib_GetJobRemainingBytes(job, &remaining), DL_OK);
    EXPECT_EQ(remaining, expected);
}

TEST_F(ContentLengthCheckTest, ARefusingHostFailsTheCheckOnceAndReleasesTheOthers) {
    server_.AddRule("*", {.kind = HttpRule::Stall});
    const std::string refused = "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/refused.bin";
    Add(server_.Url("/a.bin"));
    Add(refused);
    Add(server_.Url("/b.bin"));
    ASSERT_EQ(DownloadLib_StartContentLengthCheck(), DL_OK);
    ASSERT_TRUE(host_.WaitFor(DLN_CHECK_FAILED));

    // Three attempts, then one failure line naming the URL.
    const std::vector<std::string> log = TestHost::LogMessages();
    int failures = 0;
    for (const std::string& line : log) {
        if (line.starts_with("[TessloadLib] ContentLength Check Failed reason:")) {
            ++failures;
            EXPECT_TRUE(line.ends_with(" file:1 url:" + refused)) << line;
        }
    }
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(CountLogLines("[TessloadLib] CLCS CT(file:1)"), 3);
    EXPECT_EQ(CountLogLines("[TessloadLib] CLCS"), 3) << "no other session reported anything";

    // The others were closed and are not asked again.
    EXPECT_TRUE(Eventually([&] { return server_.ActiveConnections() == 0; }));
    LibraryWorker::StepClock(10000);
    EXPECT_LE(server_.RequestCount("/a.bin"), 1u);
    EXPECT_LE(server_.RequestCount("/b.bin"), 1u);
    EXPECT_EQ(host_.Count(DLN_CHECK_FAILED), 1);
    EXPECT_EQ(host_.Count(DLN_CHECK_DONE), 0);
    EXPECT_EQ(Total(), 0);
}

// A 200 without a length tells no size: counted as 0 the total would look complete.
TEST_F(ContentLengthCheckTest, AnAnswerWithoutALengthFailsTheCheck) {
    server_.SetContent("/a.bin", TestBytes(1000));
    server_.SetContent("/b.bin", TestBytes(2000));
    server_.AddRule("/b.bin", {.kind = HttpRule::OmitContentLength});
    Add(server_.Url("/a.bin"));
    Add(server_.Url("/b.bin"));
    ASSERT_EQ(DownloadLib_StartContentLengthCheck(), DL_OK);
    ASSERT_TRUE(host_.WaitFor(DLN_CHECK_FAILED));
    EXPECT_EQ(host_.Count(DLN_CHECK_DONE), 0);
    EXPECT_EQ(server_.RequestCount("/b.bin"), 3u);
    EXPECT_TRUE(TestHost::LogContains(
        "[TessloadLib] ContentLength Check Failed reason:NoContentLength file:1 url:" +
        server_.Url("/b.bin")));
}

// A redirect counts as an attempt: three requests per URL in all, whatever they answer.
class ContentLengthRedirectTest : public ContentLengthCheckTest,
                                  public ::testing::WithParamInterface<int> {};

TEST_P(ContentLengthRedirectTest, FollowsRedirectsWithinThreeRequests) {
    const int redirects = GetParam();
    // /r0 -> r1 (relative) -> /r2 (absolute path) -> http://.../r3 (absolute)
    const std::string locations[] = {"r1", "/dir/r2", server_.Url("/dir/r3")};
    const std::string paths[] = {"/dir/r0", "/dir/r1", "/dir/r2", "/dir/r3"};
    for (int i = 0; i < redirects; ++i) {
        server_.AddRule(paths[i], {.kind = HttpRule::Redirect, .location = locations[i]});
    }
    server_.SetContent(paths[redirects], std::string(4321, 'z'));
    Add(server_.Url("/dir/r0"));
    ASSERT_EQ(DownloadLib_StartContentLengthCheck(), DL_OK);
    for (int i = 0; i <= redirects && i < 3; ++i) {
        EXPECT_TRUE(server_.WaitForRequests(paths[i], 1, 10000)) << paths[i];
    }
    if (redirects < 3) {
        ASSERT_TRUE(host_.WaitFor(DLN_CHECK_DONE));
        EXPECT_EQ(Total(), 4321);
    } else {
        ASSERT_TRUE(host_.WaitFor(DLN_CHECK_FAILED));
        EXPECT_EQ(server_.RequestCount("/dir/r3"), 0u);
        EXPECT_TRUE(TestHost::LogContains(
            "[TessloadLib] ContentLength Check Failed reason:ResCode:302 file:0 url:" +
            server_.Url("/dir/r0")));
    }
    EXPECT_EQ(server_.Requests().size(), static_cast<size_t>(std::min(redirects + 1, 3)));
}

INSTANTIATE_TEST_SUITE_P(Redirects, ContentLengthRedirectTest, ::testing::Values(2, 3));

TEST_F(ContentLengthCheckTest, EmptyChecksReportAtOnceAndTotalsCarryOver) {
    server_.SetContent("/g1", std::string(100, 'a'));
    server_.SetContent("/g2", std::string(20, 'b'));
    server_.SetContent("/s1", std::string(3, 'c'));
    Add(server_.Url("/g1"));
    ASSERT_EQ(DownloadLib_StartContentLengthCheck(), DL_OK);
    ASSERT_TRUE(host_.WaitFor(DLN_CHECK_DONE));
    EXPECT_EQ(Total(), 100);

    // Nothing queued: the answer comes at once, with the total so far, from the worker.
    ASSERT_EQ(DownloadLib_StartContentLengthCheck(), DL_OK);
    ASSERT_TRUE(host_.WaitFor(DLN_CHECK_DONE, 2));
    EXPECT_TRUE(host_.AllFromOtherThreads(DLN_CHECK_DONE));
    EXPECT_EQ(Total(), 100);
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] Start ContentLength Check file:0"));

    // A later check adds to the total and ends only when all of its own URLs are sized.
    server_.AddRule("/s1", {.kind = HttpRule::Stall, .firstN = 1});
    Add(server_.Url("/g2"));
    Add(server_.Url("/s1"));
    ASSERT_EQ(DownloadLib_StartContentLengthCheck(), DL_OK);
    ASSERT_TRUE(Eventually([] { return Total() == 120; }));
    ASSERT_TRUE(server_.WaitForRequests("/s1", 1, 10000));
    EXPECT_EQ(host_.Count(DLN_CHECK_DONE), 2) << "reported before /s1 was sized";
    LibraryWorker::StepClock(5000);
    ASSERT_TRUE(host_.WaitFor(DLN_CHECK_DONE, 3));
    EXPECT_EQ(Total(), 123);
    EXPECT_EQ(CountLogLines("[TessloadLib] ContentLength Check Complete file:2 sec:"), 1);
}

TEST_F(ContentLengthCheckTest, AUrlThatCannotBeRequestedFailsTheCheck) {
    Add(server_.Url("/ok"));
    Add("ftp://127.0.0.1/x.bin");
    ASSERT_EQ(DownloadLib_StartContentLengthCheck(), DL_OK);
    ASSERT_TRUE(host_.WaitFor(DLN_CHECK_FAILED));
    EXPECT_TRUE(host_.AllFromOtherThreads(DLN_CHECK_FAILED)) << "never on the host's thread";
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] CLCS HU(file:1)"));
    EXPECT_TRUE(Eventually([&] { return server_.ActiveConnections() == 0; }));
    LibraryWorker::StepClock(5000);
    EXPECT_EQ(host_.Count(DLN_CHECK_FAILED), 1);
    EXPECT_EQ(host_.Count(DLN_CHECK_DONE), 0);
}

}  // namespace
