// Every host path over https, end to end through the flat interface: the file list, the
// content-length check and the direct download against the project's test server speaking TLS
// with a certificate of a CA made for the test. A server the library cannot verify fails each
// path through the failure it already reports, and the log says why.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "downloadlib.h"
#include "foundation/log.h"
#include "foundation/platform/connectivity.h"
#include "report_collector/report_collector.h"
#include "stack/secure_socket_layer.h"
#include "support/test_certificates.h"
#include "support/test_data.h"
#include "support/test_host.h"
#include "test_server/test_http_server.h"

namespace fs = std::filesystem;
using tev::tools::HttpRule;
using tev::tools::ReportCollector;
using tev::tools::TestHttpServer;

namespace {

TestPki gPki;

TestHttpServer::Options Tls(const TestCertificate& identity) {
    TestHttpServer::Options options;
    options.tlsCertificate = identity.certificateFile;
    options.tlsKey = identity.keyFile;
    return options;
}

std::string ReadData() {
    int64_t size = 0;
    if (DownloadLib_GetDataSize(&size) != DL_OK) {
        return "<no size>";
    }
    std::string data(static_cast<size_t>(size), '\0');
    const DataBuffer buffer{data.data(), size};
    return DownloadLib_GetData(&buffer) == DL_OK ? data : "<no data>";
}

int64_t Total() {
    int64_t total = -1;
    EXPECT_EQ(DownloadLib_GetTotalContentLength(&total), DL_OK);
    return total;
}

class HttpsDownloadTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        gPki = MakeTestPki(std::string(std::getenv("TEV_TEST_ROOT")) + "/pki");
        TrustTestCa(gPki);  // before the library starts its network runtime
    }

    void SetUp() override {
        folder_ = std::string(std::getenv("TEV_TEST_ROOT")) + "/downloads/";
        fs::create_directories(folder_);
        collector_ = std::make_unique<ReportCollector>(ReportCollector::Options{
            .port = 0, .database = std::string(std::getenv("TEV_TEST_ROOT")) + "/reports.db"});
        ASSERT_TRUE(collector_->Ok()) << collector_->Error();
        setenv("TEV_REPORT_SERVER", ("127.0.0.1:" + std::to_string(collector_->Port())).c_str(), 1);
        cpSetConnectivityProbe([] { return true; });
        ASSERT_EQ(host_.Initialize(), DL_OK);
        ResetLog();
    }
    void TearDown() override {
        host_.Finalize();
        cpSetConnectivityProbe(nullptr);
    }

    int32_t Add(JobHandle job, const std::string& url, const std::string& name, int64_t size = -1) {
        const auto bits = static_cast<uint64_t>(size);
        return DownloadLib_AddJobFile(job, url.c_str(), folder_.c_str(), name.c_str(),
                                      static_cast<uint32_t>(bits),
                                      static_cast<uint32_t>(bits >> 32), 0);
    }

    std::string folder_;
    std::unique_ptr<ReportCollector> collector_;
    TestHost host_;
};

}  // namespace

// The window's whole flow over https: the list, the total size, the files.
TEST_F(HttpsDownloadTest, ListSizesAndFilesComeOverHttps) {
    TestHttpServer server(Tls(gPki.server));
    ASSERT_TRUE(server.Ok()) << server.Error();
    const std::string a = TestBytes(700'000, 1);
    const std::string b = TestBytes(33, 2);
    server.SetContent("/a.bin", a);
    server.SetContent("/b.bin", b);
    // One file by name (SNI and the name checked), one by address (the address checked).
    const std::vector<std::string> urls = {server.Url("/a.bin", "localhost"), server.Url("/b.bin")};
    const std::string list = urls[0] + "\r\n" + urls[1] + "\r\n";
    server.SetContent("/list.txt", list);

    ASSERT_EQ(DownloadLib_DownloadData(server.Url("/list.txt").c_str()), DL_OK);
    ASSERT_TRUE(host_.WaitFor(DLN_DATA_DONE));
    EXPECT_EQ(ReadData(), list);

    for (const std::string& url : urls) {
        ASSERT_EQ(DownloadLib_AddContentLengthCheck(url.c_str()), DL_OK);
    }
    ASSERT_EQ(DownloadLib_StartContentLengthCheck(), DL_OK);
    ASSERT_TRUE(host_.WaitFor(DLN_CHECK_DONE));
    EXPECT_EQ(Total(), static_cast<int64_t>(a.size() + b.size()));

    const JobHandle job = host_.CreateJob("svc-https");
    ASSERT_EQ(Add(job, urls[0], "a.bin"), DL_OK);
    ASSERT_EQ(Add(job, urls[1], "b.bin"), DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    ASSERT_TRUE(host_.WaitFor(DLN_JOB_DONE));
    EXPECT_TRUE(ReadWholeFile(folder_ + "a.bin") == a);
    EXPECT_EQ(ReadWholeFile(folder_ + "b.bin"), b);
    EXPECT_EQ(host_.Count(DLN_DATA_FAILED) + host_.Count(DLN_CHECK_FAILED), 0);
}

// A redirect may step up from http to https, never down: what a verified server points at must
// come from a verified server too. Each path fails through the failure it already reports, the
// Location is logged, and the plain server is never asked.
TEST_F(HttpsDownloadTest, RedirectsStepUpToHttpsButNeverDown) {
    TestHttpServer secure(Tls(gPki.server));
    TestHttpServer plain;
    const std::string content = TestBytes(20'000, 3);
    secure.SetContent("/list.txt", "the list");
    plain.SetContent("/list.txt", "a forged list");
    plain.SetContent("/file.bin", content);
    plain.AddRule("/up.txt", {.kind = HttpRule::Redirect, .location = secure.Url("/list.txt")});
    secure.AddRule("/down.txt", {.kind = HttpRule::Redirect, .location = plain.Url("/list.txt")});
    secure.AddRule("/file.bin", {.kind = HttpRule::Redirect, .location = plain.Url("/file.bin")});
    const std::string refused = "[TessloadLib] Redirect Refused (https to http) url:";

    ASSERT_EQ(DownloadLib_DownloadData(plain.Url("/up.txt").c_str()), DL_OK);
    ASSERT_TRUE(host_.WaitFor(DLN_DATA_DONE));
    EXPECT_EQ(ReadData(), "the list");

    ASSERT_EQ(DownloadLib_DownloadData(secure.Url("/down.txt").c_str()), DL_OK);
    ASSERT_TRUE(host_.WaitFor(DLN_DATA_FAILED));
    EXPECT_EQ(host_.Count(DLN_DATA_DONE), 1);
    EXPECT_TRUE(TestHost::LogContains(refused + secure.Url("/down.txt") +
                                      " location:" + plain.Url("/list.txt")));

    ASSERT_EQ(DownloadLib_AddContentLengthCheck(secure.Url("/file.bin").c_str()), DL_OK);
    ASSERT_EQ(DownloadLib_StartContentLengthCheck(), DL_OK);
    ASSERT_TRUE(host_.WaitFor(DLN_CHECK_FAILED));
    EXPECT_TRUE(TestHost::LogContains(
        "[TessloadLib] ContentLength Check Failed reason:RedirectRefused file:0 url:" +
        secure.Url("/file.bin")));

    const JobHandle job = host_.CreateJob("svc-https");
    ASSERT_EQ(Add(job, secure.Url("/file.bin"), "file.bin", static_cast<int64_t>(content.size())),
              DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    ASSERT_TRUE(host_.WaitFor(DLN_JOB_EVENT));
    EXPECT_EQ(host_.Count(DLN_JOB_DONE), 0);
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] TryMax Over : " + secure.Url("/file.bin")));
    EXPECT_EQ(secure.RequestCount("/file.bin"), 6u) << "three attempts each, check and job";
    EXPECT_EQ(plain.RequestCount("/list.txt"), 0u);
    EXPECT_EQ(plain.RequestCount("/file.bin"), 0u);
    EXPECT_FALSE(fs::exists(folder_ + "file.bin") && fs::file_size(folder_ + "file.bin") != 0);
    EXPECT_EQ(DownloadLib_StopJob(job), DL_OK);
}

// Every layer above TLS consumes as bytes arrive: nothing piles up to be joined again and again.
TEST_F(HttpsDownloadTest, ALargeBodyIsConsumedAsItArrives) {
    TestHttpServer server(Tls(gPki.server));
    const std::string body = TestBytes(60u << 20, 4);
    server.SetContent("/big.txt", body);
    nwCSecureSocketClientLayer::ResetLargestLeftover();
    ASSERT_EQ(DownloadLib_DownloadData(server.Url("/big.txt").c_str()), DL_OK);
    ASSERT_TRUE(host_.WaitFor(DLN_DATA_DONE, 1, 60000));
    EXPECT_TRUE(ReadData() == body);
    EXPECT_LT(nwCSecureSocketClientLayer::LargestLeftover(), 16u * 1024);
}

// Plain HTTP spoken to a TLS port, and TLS to a plain one: neither side understands the other.
TEST_F(HttpsDownloadTest, AMismatchedSchemeFailsTheDownload) {
    TestHttpServer secure(Tls(gPki.server));
    TestHttpServer plain;
    secure.SetContent("/list.txt", "x");
    plain.SetContent("/list.txt", "x");
    std::string wrong = secure.Url("/list.txt");
    wrong.replace(0, 5, "http");
    ASSERT_EQ(DownloadLib_DownloadData(wrong.c_str()), DL_OK);
    ASSERT_TRUE(host_.WaitFor(DLN_DATA_FAILED));
    wrong = plain.Url("/list.txt");
    wrong.replace(0, 4, "https");
    ASSERT_EQ(DownloadLib_DownloadData(wrong.c_str()), DL_OK);
    ASSERT_TRUE(host_.WaitFor(DLN_DATA_FAILED, 2));
    EXPECT_EQ(host_.Count(DLN_DATA_DONE), 0);
    EXPECT_TRUE(secure.Requests().empty()) << "plain text never passes a TLS handshake";
    EXPECT_TRUE(plain.Requests().empty()) << "a ClientHello is no request";
    // The host hears only that the list failed; the log says why.
    EXPECT_TRUE(TestHost::LogContains(
        "[TessloadLib] TLS Handshake Failed host:127.0.0.1 reason:no answer to the hello"));
    EXPECT_TRUE(TestHost::LogContains(
        "[TessloadLib] DataDownload Failed reason:5 (no answer) url:" + wrong));
}

struct RefusedCase {
    const char* name;
    const TestCertificate* identity;
    const char* host;
    const char* reason;
};

void PrintTo(const RefusedCase& c, std::ostream* out) {
    *out << c.name;
}

class HttpsRefusedTest : public HttpsDownloadTest,
                         public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(HttpsRefusedTest, EachPathFailsAsForADroppedConnection) {
    const RefusedCase& c = GetParam();
    TestHttpServer server(Tls(*c.identity));
    ASSERT_TRUE(server.Ok()) << server.Error();
    server.SetContent("/list.txt", "x");
    server.SetContent("/a.bin", "abc");
    const std::string expected =
        std::string("[TessloadLib] TLS Handshake Failed host:") + c.host + " reason:" + c.reason;

    ASSERT_EQ(DownloadLib_DownloadData(server.Url("/list.txt", c.host).c_str()), DL_OK);
    ASSERT_TRUE(host_.WaitFor(DLN_DATA_FAILED));
    EXPECT_EQ(host_.Count(DLN_DATA_DONE), 0);
    EXPECT_TRUE(TestHost::LogContains(expected)) << expected;

    ASSERT_EQ(DownloadLib_AddContentLengthCheck(server.Url("/a.bin", c.host).c_str()), DL_OK);
    ASSERT_EQ(DownloadLib_StartContentLengthCheck(), DL_OK);
    ASSERT_TRUE(host_.WaitFor(DLN_CHECK_FAILED));
    EXPECT_EQ(host_.Count(DLN_CHECK_DONE), 0);

    const JobHandle job = host_.CreateJob("svc-https");
    const std::string url = server.Url("/a.bin", c.host);
    ASSERT_EQ(Add(job, url, "a.bin", 3), DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    ASSERT_TRUE(host_.WaitFor(DLN_JOB_EVENT));
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] TryMax Over : " + url));
    EXPECT_EQ(host_.Count(DLN_JOB_DONE), 0);
    EXPECT_EQ(server.RequestCount("/a.bin"), 0u) << "no request reaches an unverified server";
    EXPECT_FALSE(fs::exists(folder_ + "a.bin") && fs::file_size(folder_ + "a.bin") != 0);
    EXPECT_EQ(DownloadLib_StopJob(job), DL_OK);
}

INSTANTIATE_TEST_SUITE_P(Cases, HttpsRefusedTest,
                         ::testing::Values(RefusedCase{"UnknownCa", &gPki.selfSigned, "127.0.0.1",
                                                       "self-signed certificate"},
                                           RefusedCase{"WrongName", &gPki.otherName, "localhost",
                                                       "hostname mismatch"},
                                           RefusedCase{"Expired", &gPki.expired, "localhost",
                                                       "certificate has expired"}),
                         [](const auto& info) { return std::string(info.param.name); });
