// The test HTTP server over real loopback sockets, driven by raw requests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "raw_http.h"
#include "test_server/test_http_server.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using tev::tools::HttpRule;
using tev::tools::TestHttpServer;

namespace {

std::string MakeBytes(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    }
    return bytes;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string RangeHeader(const std::string& value) {
    return "Range: " + value + "\r\n";
}

class TestHttpServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        base_ = fs::path(std::getenv("TEV_TEST_ROOT"));
        root_ = base_ / "www";
        fs::create_directories(root_ / "sub");
        data_ = MakeBytes(10000);
        WriteFile(root_ / "data.bin", data_);
        server_ = std::make_unique<TestHttpServer>(TestHttpServer::Options{.root = root_});
        ASSERT_TRUE(server_->Ok()) << server_->Error();
        ASSERT_NE(server_->Port(), 0);
    }

    fs::path base_;
    fs::path root_;
    std::string data_;
    std::unique_ptr<TestHttpServer> server_;
};

struct RangeCase {
    const char* range;  // nullptr: no Range header
    int status;
    const char* contentRange;  // nullptr: none expected
    size_t first;
    size_t length;
};

TEST_F(TestHttpServerTest, AnswersRangesOnOneKeepAliveConnection) {
    const RangeCase cases[] = {
        {nullptr, 200, nullptr, 0, 10000},
        {"bytes=100-", 206, "bytes 100-9999/10000", 100, 9900},
        {"bytes=100-199", 206, "bytes 100-199/10000", 100, 100},
        {"bytes=-300", 206, "bytes 9700-9999/10000", 9700, 300},
        {"bytes=9990-20000", 206, "bytes 9990-9999/10000", 9990, 10},
        {"bytes=0-0", 206, "bytes 0-0/10000", 0, 1},
        {"bytes=10000-", 416, "bytes */10000", 0, 0},
        {"bytes=-0", 416, "bytes */10000", 0, 0},
        {"bytes=5-1", 200, nullptr, 0, 10000},      // invalid: ignored
        {"bytes=0-1,5-6", 200, nullptr, 0, 10000},  // several ranges: ignored
    };
    HttpClient client(server_->Port());
    for (const RangeCase& c : cases) {
        SCOPED_TRACE(c.range ? c.range : "no range");
        const HttpResponse response = client.Get("/data.bin", c.range ? RangeHeader(c.range) : "");
        ASSERT_TRUE(response.complete);
        EXPECT_EQ(response.status, c.status);
        EXPECT_EQ(response.Header("Content-Range"),
                  c.contentRange ? std::optional<std::string>(c.contentRange) : std::nullopt);
        EXPECT_EQ(response.Header("Connection"), "keep-alive");
        if (c.status == 416) {
            EXPECT_FALSE(response.body.empty());
            EXPECT_EQ(response.Header("Content-Length"), std::to_string(response.body.size()));
        } else {
            EXPECT_EQ(response.Header("Content-Length"), std::to_string(c.length));
            EXPECT_EQ(response.body, data_.substr(c.first, c.length));
        }
    }
    EXPECT_EQ(server_->AcceptedConnections(), 1u);
    EXPECT_EQ(server_->RequestCount("/data.bin"), std::size(cases));
}

TEST_F(TestHttpServerTest, HeadAnswersTheHeadOnly) {
    HttpClient client(server_->Port());
    client.Send("HEAD /data.bin HTTP/1.1\r\nHost: x\r\n\r\n");
    const HttpResponse head = client.Read(true);
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.Header("Content-Length"), "10000");
    // Had a body followed the head, it would be read as the next response here.
    const HttpResponse next = client.Get("/data.bin", RangeHeader("bytes=0-9"));
    EXPECT_EQ(next.status, 206);
    EXPECT_EQ(next.body, data_.substr(0, 10));
}

TEST_F(TestHttpServerTest, KeepsOrClosesTheConnectionAsAsked) {
    {
        HttpClient client(server_->Port());
        // Two pipelined requests in one write, the library's own Keep-Alive spelling.
        client.Send(
            "GET /data.bin HTTP/1.1\r\nConnection: Keep-Alive\r\nRange: bytes=0-1\r\n\r\n"
            "GET /data.bin HTTP/1.1\r\nConnection: Keep-Alive\r\nRange: bytes=2-3\r\n\r\n");
        EXPECT_EQ(client.Read().body, data_.substr(0, 2));
        EXPECT_EQ(client.Read().body, data_.substr(2, 2));
        EXPECT_FALSE(PeerCloses(client.Connection(), 100));
    }
    for (const char* request : {"GET /data.bin HTTP/1.1\r\nConnection: close\r\n\r\n",
                                "GET /data.bin HTTP/1.0\r\n\r\n"}) {
        SCOPED_TRACE(request);
        HttpClient client(server_->Port());
        client.Send(request);
        const HttpResponse response = client.Read();
        EXPECT_EQ(response.body, data_);
        EXPECT_EQ(response.Header("Connection"), "close");
        EXPECT_TRUE(PeerCloses(client.Connection()));
    }
}

TEST_F(TestHttpServerTest, RecordsRequestsByteForByte) {
    server_->SetContent("/dir/a b.txt", "memory");
    const std::string request =
        "GET /dir/a%20b.txt?x=1&y=%41 HTTP/1.1\r\nHost: 127.0.0.1:1234\r\n"
        "User-Agent: TEV agent/1.0\r\nReferer: http://example.test/page\r\n"
        "Range: bytes=0-\r\nAccept: */*\r\n\r\n";
    HttpClient client(server_->Port());
    client.Send(request);
    const HttpResponse response = client.Read();
    EXPECT_EQ(response.status, 206);
    EXPECT_EQ(response.body, "memory");

    ASSERT_TRUE(server_->WaitForRequests("/dir/a b.txt", 1, 1000));
    const std::vector<tev::tools::HttpRequestRecord> requests = server_->Requests();
    ASSERT_EQ(requests.size(), 1u);
    const tev::tools::HttpRequestRecord& record = requests[0];
    EXPECT_EQ(record.head, request);
    EXPECT_EQ(record.method, "GET");
    EXPECT_EQ(record.target, "/dir/a%20b.txt?x=1&y=%41");
    EXPECT_EQ(record.path, "/dir/a b.txt");
    EXPECT_EQ(record.version, "HTTP/1.1");
    EXPECT_EQ(record.Header("user-agent"), "TEV agent/1.0");
    EXPECT_EQ(record.Header("REFERER"), "http://example.test/page");
    EXPECT_EQ(record.Header("Host"), "127.0.0.1:1234");
    EXPECT_EQ(record.status, 206);
    EXPECT_EQ(record.connection, 1u);
    EXPECT_EQ(server_->RequestCount("/dir/a b.txt"), 1u);
    EXPECT_THAT(server_->RangeHeaders("/dir/a b.txt"), ElementsAre("bytes=0-"));
    EXPECT_FALSE(server_->WaitForRequests("/dir/a b.txt", 2, 50));

    server_->ResetStatistics();
    EXPECT_TRUE(server_->Requests().empty());
    EXPECT_EQ(server_->RequestCount("/dir/a b.txt"), 0u);
}

TEST_F(TestHttpServerTest, MemoryContentWinsAndMemoryOnlyServersServeNoFiles) {
    server_->SetContent("/data.bin", "replaced");
    HttpClient client(server_->Port());
    EXPECT_EQ(client.Get("/data.bin").body, "replaced");
    server_->RemoveContent("/data.bin");
    EXPECT_EQ(client.Get("/data.bin").body, data_);

    TestHttpServer memoryOnly;
    ASSERT_TRUE(memoryOnly.Ok());
    memoryOnly.SetContent("/list.txt", "a\nb\n");
    HttpClient other(memoryOnly.Port());
    const HttpResponse list = other.Get("/list.txt");
    EXPECT_EQ(list.status, 200);
    EXPECT_EQ(list.Header("Content-Type"), "text/plain");
    EXPECT_EQ(list.body, "a\nb\n");
    EXPECT_EQ(other.Get("/data.bin").status, 404);
}

TEST_F(TestHttpServerTest, RefusesPathsOutsideTheRoot) {
    WriteFile(base_ / "secret.txt", "secret");
    fs::create_symlink(base_ / "secret.txt", root_ / "link.txt");
    HttpClient client(server_->Port());
    for (const char* target :
         {"/../secret.txt", "/%2e%2e/secret.txt", "/sub/../../secret.txt", "/%2E%2E%2Fsecret.txt",
          "/link.txt", "/sub", "/%00data.bin", "/nothing.bin"}) {
        SCOPED_TRACE(target);
        const HttpResponse response = client.Get(target);
        EXPECT_EQ(response.status, 404);
        EXPECT_EQ(response.body.find("secret"), std::string::npos);
    }
    EXPECT_EQ(client.Get("/sub/../data.bin").body, data_);
    EXPECT_EQ(client.Get("/sub/..%2fdata.bin").body, data_);
}

TEST_F(TestHttpServerTest, AnswersBadRequestsWithErrors) {
    {
        HttpClient client(server_->Port());
        client.Send("NOT A REQUEST\r\n\r\n");
        EXPECT_EQ(client.Read().status, 400);
        EXPECT_TRUE(PeerCloses(client.Connection()));
    }
    {
        HttpClient client(server_->Port());
        client.Send("GET /" + std::string(70000, 'a') + " HTTP/1.1\r\n\r\n");
        EXPECT_EQ(client.Read().status, 431);
        EXPECT_TRUE(PeerCloses(client.Connection()));
    }
    HttpClient client(server_->Port());
    client.Send("POST /data.bin HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc");
    const HttpResponse post = client.Read();
    EXPECT_EQ(post.status, 405);
    EXPECT_EQ(post.Header("Allow"), "GET, HEAD");
    EXPECT_EQ(client.Get("/data.bin").status, 200);  // the body of the POST was skipped
}

TEST_F(TestHttpServerTest, RedirectsWithAndWithoutLocation) {
    const std::string absolute = server_->Url("/data.bin");
    server_->AddRule("/abs", {.kind = HttpRule::Redirect, .location = absolute});
    server_->AddRule("/rel", {.kind = HttpRule::Redirect, .status = 303, .location = "data.bin"});
    server_->AddRule("/none", {.kind = HttpRule::Redirect});
    server_->AddRule("/empty", {.kind = HttpRule::Redirect, .status = 303, .location = ""});
    HttpClient client(server_->Port());

    HttpResponse response = client.Get("/abs");
    EXPECT_EQ(response.status, 302);
    EXPECT_EQ(response.Header("Location"), absolute);
    response = client.Get("/rel");
    EXPECT_EQ(response.status, 303);
    EXPECT_EQ(response.Header("Location"), "data.bin");
    response = client.Get("/none");
    EXPECT_EQ(response.status, 302);
    EXPECT_FALSE(response.Header("Location").has_value());
    response = client.Get("/empty");
    EXPECT_EQ(response.status, 303);
    EXPECT_EQ(response.Header("Location"), "");
    EXPECT_THAT(response.head, ::testing::HasSubstr("\r\nLocation: \r\n"));
    EXPECT_EQ(server_->AcceptedConnections(), 1u);
}

TEST_F(TestHttpServerTest, StatusRuleAnswersAnyStatusWithASmallBody) {
    server_->AddRule("/data.bin", {.kind = HttpRule::Status, .status = 503, .firstN = 1});
    server_->AddRule("*", {.kind = HttpRule::Status, .status = 418, .firstN = 1});
    HttpClient client(server_->Port());
    HttpResponse response = client.Get("/data.bin");
    EXPECT_EQ(response.status, 503);
    EXPECT_THAT(response.head, ::testing::StartsWith("HTTP/1.1 503 Service Unavailable\r\n"));
    EXPECT_EQ(response.body, "503 Service Unavailable\n");
    // The catch-all rule takes the next request whatever its path; then the file is served.
    EXPECT_EQ(client.Get("/data.bin").status, 418);
    EXPECT_EQ(client.Get("/data.bin").body, data_);
}

TEST_F(TestHttpServerTest, ClosesBeforeTheHead) {
    server_->AddRule("/data.bin", {.kind = HttpRule::CloseBeforeHead});
    HttpClient client(server_->Port());
    client.Send("GET /data.bin HTTP/1.1\r\n\r\n");
    const HttpResponse response = client.Read();
    EXPECT_EQ(response.status, 0);
    EXPECT_TRUE(response.head.empty());
    EXPECT_EQ(server_->RequestCount("/data.bin"), 1u);
    EXPECT_EQ(server_->Requests()[0].status, 0);
}

TEST_F(TestHttpServerTest, ClosesAfterSomeBodyBytes) {
    server_->AddRule("/data.bin", {.kind = HttpRule::CloseAfterBytes, .bytes = 1000});
    for (const char* range : {"", "bytes=500-"}) {
        SCOPED_TRACE(range);
        HttpClient client(server_->Port());
        const HttpResponse response = client.Get("/data.bin", *range ? RangeHeader(range) : "");
        const size_t first = *range ? 500 : 0;
        EXPECT_EQ(response.status, *range ? 206 : 200);
        EXPECT_EQ(response.Header("Content-Length"), std::to_string(10000 - first));
        EXPECT_FALSE(response.complete);
        EXPECT_EQ(response.body, data_.substr(first, 1000));
    }
}

TEST_F(TestHttpServerTest, FirstNAndOnlyWithRangeLetTheSizeCheckThroughAndBreakTheDownload) {
    server_->AddRule(
        "/data.bin",
        {.kind = HttpRule::CloseAfterBytes, .bytes = 1000, .firstN = 2, .onlyWithRange = true});
    // The size check asks without Range: untouched.
    EXPECT_EQ(HttpClient(server_->Port()).Get("/data.bin").body, data_);
    // The first two ranged requests break after 1000 bytes, the third goes through.
    std::string received;
    for (int attempt = 0; attempt < 3; ++attempt) {
        HttpClient client(server_->Port());
        const HttpResponse response =
            client.Get("/data.bin", RangeHeader("bytes=" + std::to_string(received.size()) + "-"));
        EXPECT_EQ(response.status, 206);
        EXPECT_EQ(response.complete, attempt == 2);
        received += response.body;
    }
    EXPECT_EQ(received, data_);
    EXPECT_EQ(server_->RequestCount("/data.bin"), 4u);
    EXPECT_THAT(server_->RangeHeaders("/data.bin"),
                ElementsAre("", "bytes=0-", "bytes=1000-", "bytes=2000-"));
}

TEST_F(TestHttpServerTest, OmitsContentLengthAndEndsTheBodyWithAClose) {
    server_->AddRule("/data.bin", {.kind = HttpRule::OmitContentLength});
    HttpClient client(server_->Port());
    const HttpResponse response = client.Get("/data.bin");
    EXPECT_EQ(response.status, 200);
    EXPECT_FALSE(response.Header("Content-Length").has_value());
    EXPECT_EQ(response.Header("Connection"), "close");
    EXPECT_TRUE(response.complete);
    EXPECT_EQ(response.body, data_);
}

TEST_F(TestHttpServerTest, IgnoresRangeWhenTold) {
    server_->AddRule("/data.bin", {.kind = HttpRule::IgnoreRange});
    HttpClient client(server_->Port());
    const HttpResponse response = client.Get("/data.bin", RangeHeader("bytes=5000-"));
    EXPECT_EQ(response.status, 200);
    EXPECT_FALSE(response.Header("Content-Range").has_value());
    EXPECT_EQ(response.body, data_);
}

TEST_F(TestHttpServerTest, SendsStrongValidatorsAndHonoursIfRangeUnlessTold) {
    server_->SetContent("/mem.bin", data_);
    HttpClient client(server_->Port());
    for (const char* path : {"/data.bin", "/mem.bin"}) {
        SCOPED_TRACE(path);
        const HttpResponse first = client.Get(path, "");
        const std::optional<std::string> etag = first.Header("ETag");
        ASSERT_TRUE(etag);
        EXPECT_EQ(etag->front(), '"');  // strong: no W/
        const std::optional<std::string> modified = first.Header("Last-Modified");
        ASSERT_TRUE(modified);
        EXPECT_NE(modified->find(" GMT"), std::string::npos);
        for (const std::string& current : {*etag, *modified}) {
            const HttpResponse same =
                client.Get(path, RangeHeader("bytes=10-19") + "If-Range: " + current + "\r\n");
            EXPECT_EQ(same.status, 206);
        }
        const HttpResponse stale =
            client.Get(path, RangeHeader("bytes=10-19") + "If-Range: \"old\"\r\n");
        EXPECT_EQ(stale.status, 200);
        EXPECT_TRUE(stale.body == data_);
    }
    // Other bytes, another tag, even at the same size.
    const std::string before = *client.Get("/mem.bin", "").Header("ETag");
    std::string changed = data_;
    changed[5000] ^= 1;
    server_->SetContent("/mem.bin", changed);
    EXPECT_NE(client.Get("/mem.bin", "").Header("ETag"), before);

    server_->AddRule("/mem.bin", {.kind = HttpRule::AddHeaders, .noValidators = true});
    const HttpResponse bare =
        client.Get("/mem.bin", RangeHeader("bytes=10-19") + "If-Range: \"old\"\r\n");
    EXPECT_EQ(bare.status, 206);  // nothing to compare If-Range with
    EXPECT_FALSE(bare.Header("ETag"));
    EXPECT_FALSE(bare.Header("Last-Modified"));
}

TEST_F(TestHttpServerTest, PacesTheBodyAtTheSetRate) {
    server_->AddRule("/data.bin", {.kind = HttpRule::Rate, .bytesPerSecond = 10000});
    HttpClient client(server_->Port());
    const auto start = std::chrono::steady_clock::now();
    const HttpResponse response = client.Get("/data.bin", RangeHeader("bytes=0-1999"));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(response.body, data_.substr(0, 2000));
    // 2000 bytes at 10000 per second leave over about 200 ms.
    EXPECT_GE(elapsed, std::chrono::milliseconds(180));
}

TEST_F(TestHttpServerTest, StallsUntilTheServerStops) {
    server_->AddRule("/data.bin", {.kind = HttpRule::Stall});
    std::vector<HttpClient> clients;
    for (int i = 0; i < 3; ++i) {
        clients.emplace_back(server_->Port());
        clients.back().Send("GET /data.bin HTTP/1.1\r\n\r\n");
    }
    ASSERT_TRUE(server_->WaitForRequests("/data.bin", 3, 5000));
    EXPECT_TRUE(StaysSilent(clients[0].Connection(), 200));

    const auto start = std::chrono::steady_clock::now();
    server_->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    for (HttpClient& client : clients) {
        EXPECT_TRUE(PeerCloses(client.Connection(), 1000));
    }
}

TEST_F(TestHttpServerTest, AStalledRequestEndsWhenItsClientCloses) {
    server_->AddRule("/data.bin", {.kind = HttpRule::Stall});
    {
        HttpClient client(server_->Port());
        client.Send("GET /data.bin HTTP/1.1\r\n\r\n");
        ASSERT_TRUE(server_->WaitForRequests("/data.bin", 1, 5000));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (server_->ActiveConnections() != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(server_->ActiveConnections(), 0u);
}

TEST_F(TestHttpServerTest, ServesManyConnectionsAtOnceAndCountsThePeak) {
    server_->AddRule("/slow.bin", {.kind = HttpRule::Stall, .firstN = 5});
    std::vector<HttpClient> stalled;
    for (int i = 0; i < 5; ++i) {
        stalled.emplace_back(server_->Port());
        stalled.back().Send("GET /slow.bin HTTP/1.1\r\n\r\n");
    }
    ASSERT_TRUE(server_->WaitForRequests("/slow.bin", 5, 5000));
    // Five connections hang, and a sixth is still served in full.
    HttpClient client(server_->Port());
    EXPECT_EQ(client.Get("/data.bin").body, data_);
    EXPECT_EQ(server_->PeakConnections(), 6u);
    EXPECT_EQ(server_->ActiveConnections(), 6u);
    EXPECT_EQ(server_->RequestCount("/slow.bin"), 5u);
}

}  // namespace
