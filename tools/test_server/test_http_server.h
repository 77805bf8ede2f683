// TestHttpServer: a loopback HTTP/1.1 server for networking tests and demos, on plain threads.
//
// It serves files from a folder and byte strings set in memory (memory wins), with correct
// Content-Length, single byte ranges (206 + Content-Range, 416 + "Content-Range: bytes */size"),
// HEAD and keep-alive, over plain TCP or TLS (Options::tlsCertificate). Every answer with a body
// carries a strong ETag (a hash of the bytes in memory; inode, size and mtime of a file) and a
// Last-Modified (when the bytes were set; the file's mtime), and If-Range is honoured: a stale
// validator gets the whole body (200). On request it misbehaves,
// per path, through rules:
//
//     TestHttpServer server({.root = folder});        // or {} for memory content only
//     server.SetContent("/list.txt", "a\nb\n");
//     server.AddRule("/file.bin", {.kind = HttpRule::CloseAfterBytes, .bytes = 1000,
//                                  .firstN = 2, .onlyWithRange = true});
//     ... client downloads server.Url("/file.bin") ...
//     server.RequestCount("/file.bin"); server.RangeHeaders("/file.bin");
//     server.PeakConnections(); server.Requests();
//
// Paths everywhere (content, rules, counters) are request paths percent-decoded, without the
// query, with "." and ".." resolved: "/a%20b.bin?x=1" counts as "/a b.bin". A path that would
// climb above the root is answered 404.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/tcp_server.h"
#include "test_server/transport.h"

namespace tev::tools {

// How the server misbehaves for a request. The first rule (in the order added) whose path,
// Range condition and remaining count match applies; at most one rule applies per request.
struct HttpRule {
    enum Kind {
        Redirect,           // answer `status` (302 when 0) with Location = `location` if set
        Status,             // answer `status` (500 when 0) with a small text body
        CloseBeforeHead,    // read the request, then close without answering
        CloseAfterBytes,    // normal head (full Content-Length), `bytes` body bytes, then close
        Stall,              // read the request, never answer; ends when the client closes or the
                            // server stops
        Rate,               // normal answer, body paced at `bytesPerSecond`
        OmitContentLength,  // normal answer without Content-Length; the body ends with a close
        IgnoreRange,        // answer 200 with the whole body even when Range was asked for
        Chunked,            // answer 200 with the whole body in chunked coding: no length, no
                            // ranges (a generated or streamed answer); paced at `bytesPerSecond`
                            // when set
        AddHeaders,         // normal answer with `headers` sent before the server's own
    };
    Kind kind = Status;
    int status = 0;
    // Redirect: the Location value sent as is (absolute "http://..." or relative "/x", "x");
    // nullopt sends no Location header, "" sends an empty one.
    std::optional<std::string> location{};
    uint64_t bytes = 0;           // CloseAfterBytes
    uint64_t bytesPerSecond = 0;  // Rate, Chunked
    uint32_t firstN = 0;          // 0: every matching request; N: only the first N of them
    bool onlyWithRange = false;   // only requests that carry a Range header match
    int headDelayMs = 0;          // any kind: a slow server, whose answer starts this late
    // Header lines ("Name: value") sent before the server's own in a normal answer of any kind
    // (AddHeaders, IgnoreRange, Rate, ...): a misleading or malformed header. One named
    // "Content-Length" replaces the server's own.
    std::vector<std::string> headers{};
    // Any kind: no ETag, no Last-Modified and If-Range ignored (a server with no validator; a
    // weak ETag can be sent through `headers`).
    bool noValidators = false;
};

// One request as received, recorded as soon as its head has arrived.
struct HttpRequestRecord {
    std::string method;
    std::string target;  // as sent: path with query
    std::string path;    // the key of counters and rules (see the file comment)
    std::string version;
    std::vector<std::pair<std::string, std::string>> headers;  // in order, names as sent
    std::string head;         // the raw bytes of the request line and headers, blank line included
    uint64_t connection = 0;  // 1-based number of the connection that carried it
    int status = 0;           // status answered; 0 while none was sent (closed, stalled)

    // The first value of a header, name matched without regard to case.
    std::optional<std::string> Header(std::string_view name) const;
};

class TestHttpServer {
  public:
    struct Options {
        std::filesystem::path root{};  // folder to serve; empty: memory content only
        uint16_t port = 0;             // 0: a free port, see Port()
        std::string bindAddress = "127.0.0.1";
        int idleTimeoutMs = 30000;  // a keep-alive connection waiting this long is closed
        int sendTimeoutMs = 30000;  // a client not reading for this long is dropped
        size_t maxConnections = 512;
        bool logRequests = false;  // one line per answered request on stderr
        // Both set: every connection speaks TLS with this certificate chain and key (PEM files).
        std::string tlsCertificate{};
        std::string tlsKey{};
    };

    // Starts serving at once. Check Ok(): a failed bind leaves Port() at 0 and Error() set.
    TestHttpServer();
    explicit TestHttpServer(Options options);
    ~TestHttpServer();  // stops; returns promptly even with stalled or slow connections
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    bool Ok() const { return ok_; }
    const std::string& Error() const { return error_; }
    uint16_t Port() const { return server_.Port(); }
    // "http://127.0.0.1:<port>" + path ("https://" with TLS); host replaces the bind address.
    std::string Url(std::string_view path, std::string_view host = {}) const;
    // Stops accepting, ends every connection (stalled ones too) and joins its threads.
    void Stop();

    // In-memory content, served before any file of the root folder.
    void SetContent(const std::string& path, std::string bytes);
    void RemoveContent(const std::string& path);
    // The ETag answered for in-memory content ("" when there is none at path).
    std::string ETag(const std::string& path) const;

    // path "*" matches every path.
    void AddRule(const std::string& path, const HttpRule& rule);
    void ClearRules();

    uint64_t RequestCount(const std::string& path) const;
    // The Range header of each request of path in arrival order; "" for a request without one.
    std::vector<std::string> RangeHeaders(const std::string& path) const;
    std::vector<HttpRequestRecord> Requests() const;
    // Waits until path has had at least count requests; false after timeoutMs.
    bool WaitForRequests(const std::string& path, uint64_t count, int timeoutMs) const;

    size_t PeakConnections() const { return server_.PeakConnections(); }
    size_t ActiveConnections() const { return server_.ActiveConnections(); }
    uint64_t AcceptedConnections() const { return server_.AcceptedConnections(); }
    // Forgets requests and counts and restarts the peak from the connections open now.
    void ResetStatistics();

  private:
    struct RuleEntry {
        std::string path;
        HttpRule rule;
        uint32_t applied = 0;
    };
    struct Body;

    void Serve(int fd, const PeerAddress& peer, uint64_t connectionId);
    // Returns the record's sequence number, by which its answered status is filled in later.
    uint64_t RecordRequest(HttpRequestRecord record);
    void SetAnsweredStatus(uint64_t sequence, int status);
    std::optional<HttpRule> TakeRule(const std::string& path, bool hasRange);
    std::optional<Body> FindBody(const std::string& path) const;
    // Sends length body bytes from offset, paced when bytesPerSecond is not 0; *sent counts them.
    bool SendBody(Transport& transport, const Body& body, uint64_t offset, uint64_t length,
                  bool chunked, uint64_t bytesPerSecond, uint64_t* sent);

    Options options_;
    std::string canonicalRoot_;  // the root folder with links resolved, to refuse escapes
    std::shared_ptr<TlsServerIdentity> tls_;
    TcpServer server_;
    bool ok_ = false;
    std::string error_;

    mutable std::mutex mutex_;
    mutable std::condition_variable requestArrived_;
    std::map<std::string, std::shared_ptr<const std::string>> content_;
    struct Stamp {
        std::string etag;
        std::string lastModified;
    };
    std::map<std::string, Stamp> stamps_;  // the validators of content_
    std::vector<RuleEntry> rules_;
    std::vector<HttpRequestRecord> requests_;
    uint64_t firstSequence_ = 0;  // sequence number of requests_[0]; grows on a reset
    std::map<std::string, uint64_t> counts_;
};

}  // namespace tev::tools
