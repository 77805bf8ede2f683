// The HTTP client layer on real loopback connections: against the project's test server, and
// against a raw peer where the test must decide how the bytes are cut.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/collector.h"
#include "http/http_client_layer.h"
#include "stack/qos_context.h"
#include "support/loop_thread.h"
#include "support/tcp_peer.h"
#include "test_server/test_http_server.h"

using tev::tools::HttpRule;
using tev::tools::TestHttpServer;

namespace {

// Drives one exchange the way the download owners do, and records what the layer reports.
class Exchange : public nwIHttpClientExEventListener {
  public:
    // On the loop: a context with the layer on top. Open's answer is kept in openResult.
    void Start(const std::string& url,
               const std::vector<std::pair<std::string, std::string>>& headers = {}) {
        ASSERT_TRUE(context.CreateInstance(CLSID_cpCQoSContext));
        ASSERT_EQ(context->Open(1, 5, nullptr), CP_OK);
        ASSERT_EQ(context->AddLayer(CLSID_nwCHttpClientExLayer, false), CP_OK);
        vmIUnknown* top = nullptr;
        ASSERT_EQ(context->GetLayer(CLSID_nwCHttpClientExLayer, &top), CP_OK);
        layer = dynamic_cast<vmIHttpClientExLayer*>(top);
        ASSERT_NE(layer, nullptr);
        layer->SetListener(this, 7);
        for (const auto& [name, value] : headers) {
            layer->SetHeader(name.c_str(), value.c_str());
        }
        openResult = layer->Open(url.c_str());
    }
    // On the loop.
    void Finish() {
        if (context) {
            context->Close();
            vmCGarbageCollector::Instance()->Add(context);
            context.Reset();
        }
    }

    void OnConnected(uintptr_t c) override {
        Note("connected", c);
        layer->SendGET();
    }
    void OnResponseHeader(uintptr_t c) override {
        Note("header", c);
        layer->GetStatusCode(&status);
        layer->GetContentLength(&contentLength);
        std::string value;
        if (vmSucceeded(layer->GetHeader("Location:", &value))) {
            location = value;
        }
        layer->GetRawHeader(&rawHead);
    }
    int32_t OnResponseData(uintptr_t c, const uint8_t* data, uint32_t count) override {
        Note("data", c);
        body.append(reinterpret_cast<const char*>(data), count);
        return static_cast<int32_t>(count);
    }
    void OnResponseComplete(uintptr_t c) override { Note("complete", c); }
    void OnClosed(uintptr_t c) override { Note("closed", c); }
    void OnConnectTimeout(uintptr_t c) override { Note("connect-timeout", c); }
    void OnIdleTimeout(uintptr_t c) override { Note("idle", c); }
    void OnHostUnreachable(uintptr_t c) override { Note("unreachable", c); }

    int Count(const std::string& event) const {
        int n = 0;
        for (const auto& e : events) {
            n += e == event ? 1 : 0;
        }
        return n;
    }

    vmSmartPtr<vmIQoSContext> context;
    vmIHttpClientExLayer* layer = nullptr;
    vmResult openResult = 0;
    std::vector<std::string> events;
    std::string body;
    std::string location;
    std::string rawHead;
    int32_t status = 0;
    int64_t contentLength = -1;
    bool wrongContext = false;

  private:
    void Note(const char* event, uintptr_t c) {
        wrongContext = wrongContext || c != 7;
        events.emplace_back(event);
    }
};

class HttpClientLayerTest : public ::testing::Test {
  protected:
    void TearDown() override {
        loop_.Run([&] { exchange_.Finish(); });
    }
    void Start(const std::string& url,
               const std::vector<std::pair<std::string, std::string>>& headers = {}) {
        loop_.Run([&] { exchange_.Start(url, headers); });
    }
    bool WaitFor(const std::string& event, int count = 1) {
        return loop_.WaitFor([&] { return exchange_.Count(event) >= count; });
    }
    template <class F>
    auto Read(F&& f) {
        return loop_.Call(std::forward<F>(f));
    }

    LoopThread loop_;
    Exchange exchange_;
};

}  // namespace

TEST_F(HttpClientLayerTest, FetchesABodyToItsContentLength) {
    TestHttpServer server;
    std::string content(300000, '\0');
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i * 7 + 3);
    }
    server.SetContent("/pack/data.bin", content);
    Start("HTTP://127.0.0.1:" + std::to_string(server.Port()) + "/pack/data.bin");
    EXPECT_EQ(Read([&] { return exchange_.openResult; }), NW_OK) << "the scheme's case is ignored";
    ASSERT_TRUE(WaitFor("complete"));
    Read([&] {
        EXPECT_EQ(exchange_.status, 200);
        EXPECT_EQ(exchange_.contentLength, 300000);
        EXPECT_TRUE(exchange_.body == content);
        EXPECT_EQ(exchange_.events.front(), "connected");
        EXPECT_EQ(exchange_.events[1], "header");
        EXPECT_EQ(exchange_.Count("header"), 1);
        EXPECT_FALSE(exchange_.wrongContext);
    });
}

TEST_F(HttpClientLayerTest, SendsTheRequestHeadByteForByte) {
    TestHttpServer server;
    server.SetContent("/", "root");
    Start("http://127.0.0.1:" + std::to_string(server.Port()), {{"Range", "bytes=1-"}});
    ASSERT_TRUE(WaitFor("complete"));
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    // No path sends "/"; Host carries the host alone, also with a port in the URL.
    EXPECT_EQ(requests[0].head,
              "GET / HTTP/1.1\r\n"
              "Accept: */*\r\n"
              "Referer: " +
                  DefaultReferer() +
                  "\r\n"
                  "Accept-Language: ko\r\n"
                  "User-Agent: ZPeerClient\r\n"
                  "Range: bytes=1-\r\n"
                  "Host: 127.0.0.1\r\n"
                  "Connection: Keep-Alive\r\n"
                  "\r\n");
    EXPECT_EQ(Read([&] { return exchange_.status; }), 206);
    EXPECT_EQ(Read([&] { return exchange_.body; }), "oot");
}

TEST_F(HttpClientLayerTest, RefusesWhatItCannotOpen) {
    const char* urls[] = {
        "ftp://127.0.0.1/file",
        "https://no-such-host.invalid/file",
        "http://",
        "http://:8080/file",
        "http://127.0.0.1:0/file",
        "http://127.0.0.1:99999/file",
        "http://no-such-host.invalid/file",
        "",
    };
    for (const char* url : urls) {
        loop_.Run([&] {
            Exchange exchange;
            exchange.Start(url);
            EXPECT_EQ(exchange.openResult, NW_FAIL) << url;
            exchange.Finish();
        });
    }
    Read([&] {
        EXPECT_EQ(exchange_.layer, nullptr);
        vmSmartPtr<vmIHttpClientExLayer> layer;
        ASSERT_TRUE(layer.CreateInstance(CLSID_nwCHttpClientExLayer));
        EXPECT_EQ(layer->Open(nullptr), NW_FAIL);
        EXPECT_EQ(layer->SetHeader("", "x"), NW_FAIL);
        EXPECT_EQ(layer->SetHeader("X", ""), NW_FAIL);
        EXPECT_EQ(layer->SetParam("", "x"), NW_FAIL);
        EXPECT_EQ(layer->SetParam("x", nullptr), NW_FAIL);
        EXPECT_EQ(layer->GetHeader("", nullptr), NW_FAIL);
        EXPECT_EQ(layer->GetRawHeader(nullptr), NW_FAIL) << "no head yet";
        int32_t status = -1;
        layer->GetStatusCode(&status);
        EXPECT_EQ(status, 0);
    });
}

// Header values come as sent (a Location stays encoded: the request builder keeps its escapes),
// and names match whole, never by prefix.
TEST_F(HttpClientLayerTest, LocationStaysEncodedAndNamesMatchWhole) {
    TestHttpServer server;
    server.AddRule("/moved", {.kind = HttpRule::Redirect, .status = 302, .location = "a%20b"});
    Start(server.Url("/moved"));
    ASSERT_TRUE(WaitFor("header"));
    Read([&] {
        EXPECT_EQ(exchange_.status, 302);
        EXPECT_EQ(exchange_.location, "a%20b");
        std::string value;
        EXPECT_EQ(exchange_.layer->GetHeader("content-length", &value), NW_OK);
        EXPECT_EQ(exchange_.layer->GetHeader("Content", &value), NW_FAIL) << "no prefix match";
        EXPECT_EQ(exchange_.layer->GetHeader("X-Missing", &value), NW_FAIL);
        EXPECT_EQ(exchange_.rawHead.substr(0, 13), "HTTP/1.1 302 ");
    });
}

// A head that does not say plainly where its body ends never reaches the owner: the connection
// closes, as for a dropped one, so no short or spliced body can count as the file.
TEST_F(HttpClientLayerTest, HeadsWithADoubtfulLengthAreRefused) {
    const std::pair<const char*, int64_t> heads[] = {
        {"Content-Length: %35\r\n", -1},
        {"Content-Length: 5\r\nContent-Length: 6\r\n", -1},
        {"Content-Length: 5, 5\r\n", -1},
        {"Content-Length: +5\r\n", -1},
        {"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", -1},
        // Read as it stands: the hint is another header, the value has blanks around it.
        {"Content-Length-Hint: 2\r\nContent-Length:  5 \r\n", 5},
        {"Content-Length: 5\r\ncontent-length: 5\r\n", 5},
    };
    for (const auto& [headers, length] : heads) {
        SCOPED_TRACE(headers);
        loop_.Run([&] { exchange_.Finish(); });
        exchange_ = Exchange();
        TcpListener listener;
        Start("http://127.0.0.1:" + std::to_string(listener.Port()) + "/x");
        TcpConnection peer = listener.Accept();
        ASSERT_TRUE(peer.Valid());
        EXPECT_FALSE(peer.Receive(4096).empty());
        peer.Send(std::string("HTTP/1.1 200 OK\r\n") + headers + "\r\nhello");
        if (length < 0) {
            ASSERT_TRUE(WaitFor("closed"));
            EXPECT_EQ(Read([&] { return exchange_.Count("header"); }), 0);
        } else {
            ASSERT_TRUE(WaitFor("complete"));
            EXPECT_EQ(Read([&] { return exchange_.contentLength; }), length);
        }
    }
}

TEST_F(HttpClientLayerTest, WithoutContentLengthTheEndIsTheClose) {
    TestHttpServer server;
    server.SetContent("/list.txt", "a\nb\n");
    server.AddRule("/list.txt", {.kind = HttpRule::OmitContentLength});
    Start(server.Url("/list.txt"));
    ASSERT_TRUE(WaitFor("closed"));
    Read([&] {
        EXPECT_EQ(exchange_.body, "a\nb\n");
        EXPECT_EQ(exchange_.Count("complete"), 0);
        EXPECT_EQ(exchange_.contentLength, 0);
    });
}

TEST_F(HttpClientLayerTest, HeadSplitAcrossReceivesIsParsedOnce) {
    TcpListener listener;
    Start("http://127.0.0.1:" + std::to_string(listener.Port()) + "/x");
    TcpConnection peer = listener.Accept();
    ASSERT_TRUE(peer.Valid());
    EXPECT_FALSE(peer.Receive(4096).empty());  // the request
    const std::string pieces[] = {"HTTP/1.1 200 OK\r\nContent-Le", "ngth: 5\r\n", "X-Note: y\r\n\r",
                                  "\nhel"};
    for (const std::string& piece : pieces) {
        peer.Send(piece);
        ASSERT_TRUE(loop_.WaitFor([&] {
            return !exchange_.events.empty();  // connected at least
        }));
    }
    ASSERT_TRUE(WaitFor("data"));
    peer.Send("lo");
    ASSERT_TRUE(WaitFor("complete"));
    peer.Send("!!");  // a delivery after the length was reached completes again
    ASSERT_TRUE(WaitFor("complete", 2));
    Read([&] {
        EXPECT_EQ(exchange_.Count("header"), 1);
        EXPECT_EQ(exchange_.body, "hello!!");
        EXPECT_EQ(exchange_.contentLength, 5);
    });
}

TEST_F(HttpClientLayerTest, OversizedHeadClosesTheConnection) {
    TcpListener listener;
    Start("http://127.0.0.1:" + std::to_string(listener.Port()) + "/x");
    TcpConnection peer = listener.Accept();
    ASSERT_TRUE(peer.Valid());
    peer.Send("HTTP/1.1 200 OK\r\n");
    const std::string line = "X-Filler: " + std::string(1000, 'f') + "\r\n";
    for (int i = 0; i < 70 && peer.Send(line); ++i) {
    }
    ASSERT_TRUE(WaitFor("closed"));
    EXPECT_EQ(Read([&] { return exchange_.Count("header"); }), 0);
}
