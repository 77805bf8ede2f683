// The updater's download session over real loopback connections to the project's test server:
// every request ends in exactly one completion or one error, whatever the server does.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "direct/download_session.h"
#include "foundation/host_cache.h"
#include "support/loop_thread.h"
#include "support/test_data.h"
#include "test_server/test_http_server.h"

using tev::tools::HttpRule;
using tev::tools::TestHttpServer;

namespace {

// A folder the server serves files from, for bodies too large to hold in memory.
std::filesystem::path ServedFolder() {
    const std::filesystem::path folder = std::filesystem::path(std::getenv("HOME")) / "served";
    std::filesystem::create_directories(folder);
    return folder;
}

// A file that asks for its URLs in order and keeps what it is given.
class ScriptedFile : public IProgressFile {
  public:
    struct Step {
        std::string url;
        int32_t kind;
    };
    explicit ScriptedFile(std::vector<Step> steps) : steps_(std::move(steps)) {}

    bool NextUrl(std::string* url) override {
        if (next_ >= steps_.size()) {
            return false;
        }
        *url = steps_[next_].url;
        return true;
    }
    bool IsFinished() override { return next_ >= steps_.size(); }
    int32_t Deliver(const std::string& url, const uint8_t* data, int64_t size,
                    int32_t* kind) override {
        bodies.emplace_back(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
        *kind = UrlKind(url);
        ++next_;
        return 0;
    }
    int32_t UrlKind(const std::string& url) override {
        for (const Step& step : steps_) {
            if (step.url == url) {
                return step.kind;
            }
        }
        return kUrlKindNone;
    }

    std::vector<std::string> bodies;

  private:
    std::vector<Step> steps_;
    size_t next_ = 0;
};

class Recorder : public IDownloadSessionEventListener {
  public:
    void OnSessionConnected(uintptr_t context) override { Note(context, "connected"); }
    void OnSessionCompleted(uintptr_t context, const CDownloadResult& result) override {
        Note(context, "completed " + std::to_string(result.kind) + " " +
                          std::to_string(result.code) + " " + std::to_string(result.contentLength));
        ++ends;
    }
    void OnSessionError(uintptr_t context, int32_t reason) override {
        Note(context, "error " + std::to_string(reason));
        ++ends;
    }
    void OnSessionFileInfo(uintptr_t context, const std::string&, int64_t size) override {
        Note(context, "info " + std::to_string(size));
    }
    void OnSessionProgress(uintptr_t context, const std::string&, int64_t bytes) override {
        lastProgress = bytes;
        ++progressCalls;
        (void)context;
    }

    std::vector<std::string> events;
    int ends = 0;
    int64_t lastProgress = 0;
    int progressCalls = 0;
    bool wrongContext = false;

  private:
    void Note(uintptr_t context, std::string event) {
        wrongContext = wrongContext || context != 42;
        events.push_back(std::move(event));
    }
};

class DownloadSessionTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server_.Ok()) << server_.Error(); }
    void TearDown() override {
        loop_.Run([&] { session_.Reset(); });
        cpSetResolver({});
    }

    void Start(ScriptedFile* file) {
        loop_.Run([&] {
            session_ = vmMakeObject<CDownloadSession>(vmSmartPtr<cpCMutex>(loop_.Mutex()));
            session_->SetListener(&recorder_, 42);
            session_->SetProgressFile(file);
            session_->Start();
        });
    }
    // Waits for the request's end, stepping the test clock so that time-outs can happen, then
    // gives any second report the chance to show.
    bool WaitForEnd() {
        for (int i = 0; i < 300; ++i) {
            if (loop_.Call([&] { return recorder_.ends; }) > 0) {
                loop_.StepClock(6000);
                loop_.WaitFor([] { return false; }, 50);
                return true;
            }
            loop_.WaitFor([&] { return recorder_.ends > 0; }, 20);
            if (server_.Requests().size() > 0) {
                loop_.StepClock(500);
            }
        }
        return false;
    }

    TestHttpServer server_{{.root = ServedFolder()}};
    LoopThread loop_;
    Recorder recorder_;
    vmSmartPtr<CDownloadSession> session_;
};

TEST_F(DownloadSessionTest, FetchesTheHashDocumentThenTheDataFile) {
    const std::string hash = TestBytes(48, 2);
    const std::string data = TestBytes(3'000'000, 3);
    server_.SetContent("/f.zip.hash", hash);
    server_.SetContent("/f.zip", data);
    ScriptedFile file(
        {{server_.Url("/f.zip.hash"), kUrlKindHash}, {server_.Url("/f.zip"), kUrlKindMain}});
    Start(&file);
    ASSERT_TRUE(WaitForEnd());
    loop_.Run([&] {
        EXPECT_EQ(recorder_.events,
                  (std::vector<std::string>{"connected", "connected", "info 3000000",
                                            "completed 3 0 3000000"}));
        EXPECT_EQ(recorder_.ends, 1);
        EXPECT_EQ(recorder_.lastProgress, 3'000'000);
        EXPECT_GE(recorder_.progressCalls, 1);
        EXPECT_FALSE(recorder_.wrongContext);
        ASSERT_EQ(file.bodies.size(), 2u);
        EXPECT_TRUE(file.bodies[0] == hash);
        EXPECT_TRUE(file.bodies[1] == data);
        EXPECT_FALSE(session_->IsBusy());
    });
}

struct EndCase {
    const char* name;
    int32_t kind;                                     // of the one URL, "/x"
    std::function<void(TestHttpServer&)> serve;       // serves "/x" its way
    std::function<std::string(TestHttpServer&)> url;  // null: the server's "/x"
    std::string end;
};

void PrintTo(const EndCase& c, std::ostream* out) {
    *out << c.name;
}

class DownloadSessionEndTest : public DownloadSessionTest,
                               public ::testing::WithParamInterface<EndCase> {};

TEST_P(DownloadSessionEndTest, EndsWithExactlyOneReport) {
    const EndCase& c = GetParam();
    server_.SetContent("/x", TestBytes(200'000, 4));
    c.serve(server_);
    cpSetResolver([](const char* name, std::vector<uint32_t>* addresses) {
        if (std::string(name) == "127.0.0.1") {
            addresses->push_back(htonl(INADDR_LOOPBACK));
            return true;
        }
        return false;
    });
    ScriptedFile file({{c.url ? c.url(server_) : server_.Url("/x"), c.kind}});
    Start(&file);
    ASSERT_TRUE(WaitForEnd());
    loop_.Run([&] {
        EXPECT_EQ(recorder_.ends, 1);
        ASSERT_FALSE(recorder_.events.empty());
        EXPECT_EQ(recorder_.events.back(), c.end);
        EXPECT_FALSE(session_->IsBusy());
    });
}

const EndCase kEndCases[] = {
    {"Whole", kUrlKindMain, [](TestHttpServer&) {}, nullptr, "completed 3 0 200000"},
    {"NotFound", kUrlKindMain,
     [](TestHttpServer& s) { s.AddRule("/x", {.kind = HttpRule::Status, .status = 404}); }, nullptr,
     "error 4"},
    {"Redirect", kUrlKindMain,
     [](TestHttpServer& s) { s.AddRule("/x", {.kind = HttpRule::Redirect, .location = "/y"}); },
     nullptr, "error 4"},
    {"WithoutContentLength", kUrlKindMain,
     [](TestHttpServer& s) { s.AddRule("/x", {.kind = HttpRule::OmitContentLength}); }, nullptr,
     "error 4"},
    {"ClosedBeforeHead", kUrlKindMain,
     [](TestHttpServer& s) { s.AddRule("/x", {.kind = HttpRule::CloseBeforeHead}); }, nullptr,
     "error 6"},
    // The head came, the body did not: a failure, never silence and never a completion.
    {"ClosedMidBody", kUrlKindMain,
     [](TestHttpServer& s) {
         s.AddRule("/x", {.kind = HttpRule::CloseAfterBytes, .bytes = 70'000});
     },
     nullptr, "error 6"},
    {"ClosedAfterHead", kUrlKindMain,
     [](TestHttpServer& s) { s.AddRule("/x", {.kind = HttpRule::CloseAfterBytes, .bytes = 0}); },
     nullptr, "error 6"},
    {"Stalled", kUrlKindMain, [](TestHttpServer& s) { s.AddRule("/x", {.kind = HttpRule::Stall}); },
     nullptr, "error 5"},
    // Bodies are bounded by what the URL is for.
    {"DescriptorTooLarge", kUrlKindDescriptor,
     [](TestHttpServer& s) { s.SetContent("/x", std::string((1 << 20) + 1, 'x')); }, nullptr,
     "error 4"},
    {"HashDocumentTooLarge", kUrlKindHash,
     [](TestHttpServer& s) { s.SetContent("/x", std::string((1 << 20) + 1, 'x')); }, nullptr,
     "error 4"},
    // Refused from its head: nothing of it is allocated or read (a sparse file on the server).
    {"DataFileTooLarge", kUrlKindMain,
     [](TestHttpServer&) {
         const std::filesystem::path path = ServedFolder() / "big.zip";
         std::ofstream{path};
         std::filesystem::resize_file(path, (uintmax_t{512} << 20) + 1);
     },
     [](TestHttpServer& s) { return s.Url("/big.zip"); }, "error 4"},
    {"DescriptorAtItsBound", kUrlKindDescriptor,
     [](TestHttpServer& s) { s.SetContent("/x", std::string(1 << 20, 'x')); }, nullptr,
     "completed 2 0 1048576"},
    // Addresses that cannot be opened are reported, not left waiting.
    {"NameDoesNotResolve", kUrlKindMain, [](TestHttpServer&) {},
     [](TestHttpServer&) { return std::string("http://update.invalid/x"); }, "error 7"},
    {"SchemeNotSpoken", kUrlKindMain, [](TestHttpServer&) {},
     [](TestHttpServer& s) { return "ftp://127.0.0.1:" + std::to_string(s.Port()) + "/x"; },
     "error 4"},
    {"NotAUrl", kUrlKindMain, [](TestHttpServer&) {},
     [](TestHttpServer&) { return std::string("no url at all"); }, "error 4"},
};

INSTANTIATE_TEST_SUITE_P(Ways, DownloadSessionEndTest, ::testing::ValuesIn(kEndCases),
                         [](const ::testing::TestParamInfo<EndCase>& info) {
                             return info.param.name;
                         });

TEST_F(DownloadSessionTest, WithoutAUrlNothingHappens) {
    ScriptedFile empty({});
    Start(&empty);
    Start(nullptr);
    loop_.StepClock(6000);
    loop_.Run([&] {
        EXPECT_TRUE(recorder_.events.empty());
        EXPECT_FALSE(session_->IsBusy());
    });
    EXPECT_EQ(server_.Requests().size(), 0u);
}

}  // namespace
