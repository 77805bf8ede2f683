// Interop with a real server: a private nginx serving https with a certificate of a CA made for
// the test. A large file comes through the direct download byte for byte, and a local part of a
// file is continued with a Range request over TLS.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "downloadlib.h"
#include "foundation/platform/connectivity.h"
#include "nginx_server.h"
#include "report_collector/report_collector.h"
#include "support/test_certificates.h"
#include "support/test_data.h"
#include "support/test_host.h"

namespace fs = std::filesystem;
using tev::tools::ReportCollector;

namespace {

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class HttpsNginxTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        pki_ = MakeTestPki(Root() + "/pki");
        TrustTestCa(pki_);
    }
    static std::string Root() { return std::getenv("TEV_TEST_ROOT"); }

    void SetUp() override {
        fs::create_directories(Root() + "/www");
        fs::create_directories(folder_);
        collector_ = std::make_unique<ReportCollector>(
            ReportCollector::Options{.port = 0, .database = Root() + "/reports.db"});
        ASSERT_TRUE(collector_->Ok()) << collector_->Error();
        setenv("TEV_REPORT_SERVER", ("127.0.0.1:" + std::to_string(collector_->Port())).c_str(), 1);
        cpSetConnectivityProbe([] { return true; });
        nginx_ = std::make_unique<NginxServer>(NginxServer::Options{
            .root = Root() + "/www",
            .prefix = Root() + "/nginx",
            .certificateFile = pki_.server.certificateFile,
            .keyFile = pki_.server.keyFile,
        });
        ASSERT_TRUE(nginx_->Ok()) << nginx_->Error();
        ASSERT_EQ(host_.Initialize(), DL_OK);
    }
    void TearDown() override {
        host_.Finalize();
        nginx_.reset();
        cpSetConnectivityProbe(nullptr);
    }

    // Runs one job of one file to its end; false when it did not complete.
    bool Download(const std::string& path, const std::string& name) {
        const JobHandle job = host_.CreateJob("svc-nginx");
        const uint64_t unknown = static_cast<uint64_t>(-1);
        if (DownloadLib_AddJobFile(job, nginx_->Url(path).c_str(), folder_.c_str(), name.c_str(),
                                   static_cast<uint32_t>(unknown),
                                   static_cast<uint32_t>(unknown >> 32), 0) != DL_OK ||
            DownloadLib_StartJob(job, 1) != DL_OK) {
            return false;
        }
        return host_.WaitFor(DLN_JOB_DONE, host_.Count(DLN_JOB_DONE) + 1, 120000);
    }

    static TestPki pki_;
    std::string folder_ = Root() + "/downloads/";
    std::unique_ptr<ReportCollector> collector_;
    std::unique_ptr<NginxServer> nginx_;
    TestHost host_;
};

TestPki HttpsNginxTest::pki_;

}  // namespace

TEST_F(HttpsNginxTest, ALargeFileArrivesByteForByte) {
    const std::string content = TestBytes(64u << 20, 11);
    WriteFile(Root() + "/www/big.bin", content);
    ASSERT_TRUE(Download("/big.bin", "big.bin"));
    EXPECT_TRUE(ReadWholeFile(folder_ + "big.bin") == content);
}

TEST_F(HttpsNginxTest, ALocalPartIsContinuedWithARange) {
    const std::string content = TestBytes(5u << 20, 12);
    WriteFile(Root() + "/www/part.bin", content);
    const size_t kept = 3u << 20;
    WriteFile(folder_ + "part.bin", content.substr(0, kept));
    ASSERT_TRUE(Download("/part.bin", "part.bin"));
    EXPECT_TRUE(ReadWholeFile(folder_ + "part.bin") == content);
    EXPECT_NE(nginx_->AccessLog().find("206 bytes=" + std::to_string(kept) + "- /part.bin"),
              std::string::npos)
        << nginx_->AccessLog();
}
