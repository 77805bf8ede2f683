#include "test_server/test_http_server.h"

#include <csignal>
#include <mutex>

#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "test_server/http_parsing.h"

namespace tev::tools {

namespace {

constexpr size_t kMaxHeadBytes = 64 * 1024;
constexpr uint64_t kMaxRequestBody = 1024 * 1024;
constexpr size_t kChunkBytes = 64 * 1024;
// A stalled request holds its connection at most this long even if the server keeps running.
constexpr int kStallLimitMs = 10 * 60 * 1000;

class FileHandle {
  public:
    explicit FileHandle(int fd) : fd_(fd) {}
    ~FileHandle() { close(fd_); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int Fd() const { return fd_; }

  private:
    int fd_;
};

std::string ContentTypeFor(std::string_view path) {
    const auto endsWith = [&](std::string_view suffix) {
        return path.size() >= suffix.size() &&
               EqualsIgnoreCase(path.substr(path.size() - suffix.size()), suffix);
    };
    if (endsWith(".txt")) {
        return "text/plain";
    }
    if (endsWith(".xml")) {
        return "application/xml";
    }
    if (endsWith(".html") || endsWith(".htm")) {
        return "text/html";
    }
    if (endsWith(".torrent")) {
        return "application/x-bittorrent";
    }
    return "application/octet-stream";
}

// RFC 9110's IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT".
std::string HttpDate(time_t when) {
    struct tm parts {};
    gmtime_r(&when, &parts);
    char text[40];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
    return text;
}

bool StatusHasBody(int status) {
    return !(status < 200 || status == 204 || status == 304);
}

}  // namespace

struct TestHttpServer::Body {
    std::shared_ptr<const std::string> memory;
    std::shared_ptr<FileHandle> file;
    uint64_t size = 0;
    std::string etag;  // strong, quoted
    std::string lastModified;

    // Reads up to length bytes at offset into chunk; false on a read error.
    bool Read(uint64_t offset, size_t length, std::string& chunk) const {
        if (memory) {
            chunk.assign(*memory, offset, length);
            return true;
        }
        chunk.resize(length);
        size_t done = 0;
        while (done < length) {
            const ssize_t n = pread(file->Fd(), chunk.data() + done, length - done,
                                    static_cast<off_t>(offset + done));
            if (n <= 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }
};

std::optional<std::string> HttpRequestRecord::Header(std::string_view name) const {
    return FindHeader(headers, name);
}

TestHttpServer::TestHttpServer() : TestHttpServer(Options{}) {}

TestHttpServer::TestHttpServer(Options options)
    : options_(std::move(options)),
      server_([this](int fd, const PeerAddress& peer, uint64_t id) { Serve(fd, peer, id); }) {
    // TLS writes through the socket itself: a client gone mid-transfer must fail the write, not
    // end the process that serves (a test, the demo).
    static std::once_flag ignorePipe;
    std::call_once(ignorePipe, [] { signal(SIGPIPE, SIG_IGN); });
    if (!options_.root.empty()) {
        char resolved[PATH_MAX];
        if (realpath(options_.root.c_str(), resolved) == nullptr) {
            error_ = "cannot open the folder " + options_.root.string();
            return;
        }
        canonicalRoot_ = resolved;
    }
    TcpServer::Options serverOptions;
    serverOptions.bindAddress = options_.bindAddress;
    serverOptions.port = options_.port;
    serverOptions.maxConnections = options_.maxConnections;
    if (!options_.tlsCertificate.empty()) {
        tls_ = TlsServerIdentity::Load(options_.tlsCertificate, options_.tlsKey, &error_);
        if (!tls_) {
            return;
        }
    }
    ok_ = server_.Start(serverOptions, &error_);
}

TestHttpServer::~TestHttpServer() {
    Stop();
}

std::string TestHttpServer::Url(std::string_view path, std::string_view host) const {
    return std::string(tls_ ? "https://" : "http://") +
           std::string(host.empty() ? std::string_view(options_.bindAddress) : host) + ":" +
           std::to_string(Port()) + std::string(path);
}

void TestHttpServer::Stop() {
    server_.Stop();
}

void TestHttpServer::SetContent(const std::string& path, std::string bytes) {
    std::lock_guard lock(mutex_);
    // FNV-1a over the bytes: a new body gets a new tag, the same bytes keep theirs.
    uint64_t hash = 1469598103934665603ull;
    for (const char c : bytes) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    char tag[40];
    std::snprintf(tag, sizeof tag, "\"%016llx-%llx\"", static_cast<unsigned long long>(hash),
                  static_cast<unsigned long long>(bytes.size()));
    stamps_[path] = {tag, HttpDate(std::time(nullptr))};
    content_[path] = std::make_shared<const std::string>(std::move(bytes));
}

std::string TestHttpServer::ETag(const std::string& path) const {
    std::lock_guard lock(mutex_);
    const auto it = stamps_.find(path);
    return it != stamps_.end() ? it->second.etag : std::string();
}

void TestHttpServer::RemoveContent(const std::string& path) {
    std::lock_guard lock(mutex_);
    content_.erase(path);
    stamps_.erase(path);
}

void TestHttpServer::AddRule(const std::string& path, const HttpRule& rule) {
    std::lock_guard lock(mutex_);
    rules_.push_back({path, rule, 0});
}

void TestHttpServer::ClearRules() {
    std::lock_guard lock(mutex_);
    rules_.clear();
}

uint64_t TestHttpServer::RequestCount(const std::string& path) const {
    std::lock_guard lock(mutex_);
    const auto it = counts_.find(path);
    return it == counts_.end() ? 0 : it->second;
}

std::vector<std::string> TestHttpServer::RangeHeaders(const std::string& path) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> ranges;
    for (const HttpRequestRecord& record : requests_) {
        if (record.path == path) {
            ranges.push_back(record.Header("Range").value_or(""));
        }
    }
    return ranges;
}

std::vector<HttpRequestRecord> TestHttpServer::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

bool TestHttpServer::WaitForRequests(const std::string& path, uint64_t count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return requestArrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        const auto it = counts_.find(path);
        return it != counts_.end() && it->second >= count;
    });
}

void TestHttpServer::ResetStatistics() {
    std::lock_guard lock(mutex_);
    firstSequence_ += requests_.size();
    requests_.clear();
    counts_.clear();
    server_.ResetPeak();
}

uint64_t TestHttpServer::RecordRequest(HttpRequestRecord record) {
    std::lock_guard lock(mutex_);
    ++counts_[record.path];
    requests_.push_back(std::move(record));
    requestArrived_.notify_all();
    return firstSequence_ + requests_.size() - 1;
}

void TestHttpServer::SetAnsweredStatus(uint64_t sequence, int status) {
    std::lock_guard lock(mutex_);
    if (sequence >= firstSequence_ && sequence - firstSequence_ < requests_.size()) {
        requests_[sequence - firstSequence_].status = status;
    }
}

std::optional<HttpRule> TestHttpServer::TakeRule(const std::string& path, bool hasRange) {
    std::lock_guard lock(mutex_);
    for (RuleEntry& entry : rules_) {
        if (entry.path != "*" && entry.path != path) {
            continue;
        }
        if (entry.rule.onlyWithRange && !hasRange) {
            continue;
        }
        if (entry.rule.firstN != 0 && entry.applied >= entry.rule.firstN) {
            continue;
        }
        ++entry.applied;
        return entry.rule;
    }
    return std::nullopt;
}

std::optional<TestHttpServer::Body> TestHttpServer::FindBody(const std::string& path) const {
    {
        std::lock_guard lock(mutex_);
        const auto it = content_.find(path);
        if (it != content_.end()) {
            const Stamp& stamp = stamps_.at(path);
            return Body{it->second, nullptr, it->second->size(), stamp.etag, stamp.lastModified};
        }
    }
    if (canonicalRoot_.empty() || path.empty() || path.front() != '/') {
        return std::nullopt;
    }
    const std::string full = canonicalRoot_ + path;
    char resolved[PATH_MAX];
    if (realpath(full.c_str(), resolved) == nullptr) {
        return std::nullopt;
    }
    // Links may point anywhere; only what really lies inside the root is served.
    const std::string_view real(resolved);
    if (real.size() <= canonicalRoot_.size() ||
        real.substr(0, canonicalRoot_.size()) != canonicalRoot_ ||
        (canonicalRoot_ != "/" && real[canonicalRoot_.size()] != '/')) {
        return std::nullopt;
    }
    const int fd = open(resolved, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    auto file = std::make_shared<FileHandle>(fd);
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    char tag[80];
    std::snprintf(tag, sizeof tag, "\"%llx-%llx-%llx.%lx\"",
                  static_cast<unsigned long long>(info.st_ino),
                  static_cast<unsigned long long>(info.st_size),
                  static_cast<unsigned long long>(info.st_mtim.tv_sec),
                  static_cast<long>(info.st_mtim.tv_nsec));
    return Body{nullptr, std::move(file), static_cast<uint64_t>(info.st_size), tag,
                HttpDate(info.st_mtim.tv_sec)};
}

void TestHttpServer::Serve(int fd, const PeerAddress& peer, uint64_t connectionId) {
    const StopFlag& stop = server_.StopSignal();
    std::unique_ptr<Transport> transport;
    if (tls_) {
        auto secure = std::make_unique<TlsTransport>(fd, tls_);
        std::string error;
        if (!secure->Accept(stop, options_.idleTimeoutMs, &error)) {
            if (options_.logRequests) {
                std::fprintf(stderr, "%s TLS handshake failed: %s\n", peer.ToString().c_str(),
                             error.c_str());
            }
            return;
        }
        transport = std::move(secure);
    } else {
        transport = std::make_unique<PlainTransport>(fd);
    }
    std::string buffer;

    for (;;) {
        // Blank lines before a request line are allowed and skipped.
        while (!buffer.empty() && (buffer.front() == '\r' || buffer.front() == '\n')) {
            buffer.erase(0, 1);
        }
        size_t headEnd = FindHeadEnd(buffer);
        while (headEnd == 0 || headEnd > kMaxHeadBytes) {
            if (buffer.size() > kMaxHeadBytes) {
                const std::string answer =
                    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\n"
                    "Connection: close\r\n\r\n";
                transport->Send(answer, stop, options_.sendTimeoutMs);
                transport->Shutdown(stop);
                return;
            }
            if (transport->Receive(buffer, 16 * 1024, stop, options_.idleTimeoutMs) <= 0) {
                return;  // closed, idle too long or stopping
            }
            while (!buffer.empty() && (buffer.front() == '\r' || buffer.front() == '\n')) {
                buffer.erase(0, 1);
            }
            headEnd = FindHeadEnd(buffer);
        }
        std::string head = buffer.substr(0, headEnd);
        buffer.erase(0, headEnd);

        std::optional<HttpRequestHead> parsed = ParseRequestHead(head);
        HttpRequestRecord record;
        record.head = head;
        record.connection = connectionId;
        if (parsed) {
            record.method = parsed->method;
            record.target = parsed->target;
            record.version = parsed->version;
            record.headers = parsed->headers;
        }
        const std::optional<std::string> decoded =
            parsed ? DecodeTargetPath(parsed->target) : std::nullopt;
        const std::optional<std::string> normalized =
            decoded ? NormalizePath(*decoded) : std::nullopt;
        record.path = normalized ? *normalized : decoded ? *decoded : record.target;
        const std::string path = record.path;
        const bool isHead = record.method == "HEAD";
        const std::optional<std::string> range = record.Header("Range");
        const std::optional<std::string> ifRange = record.Header("If-Range");
        const std::optional<std::string> connectionHeader = record.Header("Connection");
        bool keepAlive = record.version == "HTTP/1.1"
                             ? !(connectionHeader && HasToken(*connectionHeader, "close"))
                             : (connectionHeader && HasToken(*connectionHeader, "keep-alive"));
        const std::optional<std::string> contentLength = record.Header("Content-Length");
        const bool chunkedBody = record.Header("Transfer-Encoding").has_value();
        const uint64_t sequence = RecordRequest(std::move(record));

        uint64_t bodySent = 0;
        int answered = 0;
        const auto sendHead = [&](int status, const std::vector<std::string>& headers) {
            std::string text = "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) +
                               "\r\nServer: tev-test-server\r\n";
            for (const std::string& header : headers) {
                text += header + "\r\n";
            }
            text += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
            answered = status;
            SetAnsweredStatus(sequence, status);
            return transport->Send(text, stop, options_.sendTimeoutMs);
        };
        // A short text answer; it keeps the connection when the request allows.
        const auto sendSimple = [&](int status, std::vector<std::string> headers) {
            const std::string body = std::to_string(status) + " " + ReasonPhrase(status) + "\n";
            if (StatusHasBody(status)) {
                headers.push_back("Content-Type: text/plain");
                headers.push_back("Content-Length: " + std::to_string(body.size()));
            }
            if (!sendHead(status, headers)) {
                return false;
            }
            if (!isHead && StatusHasBody(status)) {
                bodySent = body.size();
                return transport->Send(body, stop, options_.sendTimeoutMs);
            }
            return true;
        };
        const auto finish = [&](bool connectionUsable) {
            if (options_.logRequests) {
                std::fprintf(stderr, "%s \"%s %s\" %d %llu\n", peer.ToString().c_str(),
                             parsed ? parsed->method.c_str() : "-", path.c_str(), answered,
                             static_cast<unsigned long long>(bodySent));
            }
            return connectionUsable && keepAlive && !stop.Raised();
        };

        if (!parsed || !decoded) {
            keepAlive = false;
            sendSimple(400, {});
            finish(false);
            transport->Shutdown(stop);
            return;
        }
        if (chunkedBody) {
            keepAlive = false;
            sendSimple(501, {});
            finish(false);
            transport->Shutdown(stop);
            return;
        }
        if (contentLength) {
            char* end = nullptr;
            const unsigned long long length = std::strtoull(contentLength->c_str(), &end, 10);
            if (end == contentLength->c_str() || *end != '\0' || length > kMaxRequestBody) {
                keepAlive = false;
                sendSimple(413, {});
                finish(false);
                transport->Shutdown(stop);
                return;
            }
            while (buffer.size() < length) {
                if (transport->Receive(buffer, 16 * 1024, stop, options_.idleTimeoutMs) <= 0) {
                    return;
                }
            }
            buffer.erase(0, length);
        }

        const std::optional<HttpRule> rule = TakeRule(path, range.has_value());
        const HttpRule::Kind kind = rule ? rule->kind : HttpRule::Status;
        if (rule && rule->headDelayMs > 0 && !SleepUnlessStopped(stop, rule->headDelayMs)) {
            return;
        }

        if (rule && kind == HttpRule::CloseBeforeHead) {
            finish(false);
            transport->Shutdown(stop);
            return;
        }
        if (rule && kind == HttpRule::Stall) {
            // Say nothing; keep reading (and dropping) until the client gives up or we stop.
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(kStallLimitMs);
            std::string sink;
            while (std::chrono::steady_clock::now() < deadline) {
                sink.clear();
                IoWait wait = IoWait::Ready;
                const long n = transport->Receive(sink, 4096, stop, 1000, &wait);
                if (n == 0 || (n < 0 && wait != IoWait::Timeout)) {
                    break;
                }
            }
            finish(false);
            return;
        }
        if (rule && kind == HttpRule::Redirect) {
            std::vector<std::string> headers;
            if (rule->location) {
                headers.push_back("Location: " + *rule->location);
            }
            const bool sent = sendSimple(rule->status != 0 ? rule->status : 302, headers);
            if (!finish(sent)) {
                transport->Shutdown(stop);
                return;
            }
            continue;
        }
        if (rule && kind == HttpRule::Status) {
            const bool sent = sendSimple(rule->status != 0 ? rule->status : 500, {});
            if (!finish(sent)) {
                transport->Shutdown(stop);
                return;
            }
            continue;
        }

        if (parsed->method != "GET" && !isHead) {
            const bool sent = sendSimple(405, {"Allow: GET, HEAD"});
            if (!finish(sent)) {
                transport->Shutdown(stop);
                return;
            }
            continue;
        }
        const std::optional<Body> body = normalized ? FindBody(path) : std::nullopt;
        if (!body) {
            const bool sent = sendSimple(404, {});
            if (!finish(sent)) {
                transport->Shutdown(stop);
                return;
            }
            continue;
        }

        const bool chunked = rule && kind == HttpRule::Chunked;
        const bool validators = !(rule && rule->noValidators);
        // If-Range: the range only while the client's validator is the current one.
        const bool staleIfRange =
            validators && ifRange && *ifRange != body->etag && *ifRange != body->lastModified;
        const ByteRange byteRange =
            range && !staleIfRange && !(rule && (kind == HttpRule::IgnoreRange || chunked))
                ? ParseRange(*range, body->size)
                : ByteRange{};
        if (byteRange.kind == ByteRange::Unsatisfiable) {
            const bool sent =
                sendSimple(416, {"Content-Range: bytes */" + std::to_string(body->size)});
            if (!finish(sent)) {
                transport->Shutdown(stop);
                return;
            }
            continue;
        }
        const bool partial = byteRange.kind == ByteRange::Satisfiable;
        const uint64_t first = partial ? byteRange.first : 0;
        const uint64_t length = partial ? byteRange.last - byteRange.first + 1 : body->size;
        bool lengthGiven = false;
        if (rule) {
            for (const std::string& line : rule->headers) {
                lengthGiven = lengthGiven || strncasecmp(line.c_str(), "Content-Length:", 15) == 0;
            }
        }
        const bool omitLength = (rule && kind == HttpRule::OmitContentLength) || lengthGiven;
        if (omitLength) {
            keepAlive = false;  // only the close tells the client where the body ends
        }
        uint64_t bodyLimit = length;
        if (rule && kind == HttpRule::CloseAfterBytes) {
            keepAlive = false;
            bodyLimit = std::min(length, rule->bytes);
        }
        const uint64_t rate =
            rule && (kind == HttpRule::Rate || chunked) ? rule->bytesPerSecond : 0;

        std::vector<std::string> headers;
        if (rule) {
            headers = rule->headers;
        }
        headers.push_back("Content-Type: " + ContentTypeFor(path));
        if (validators) {
            headers.push_back("ETag: " + body->etag);
            headers.push_back("Last-Modified: " + body->lastModified);
        }
        if (chunked) {
            headers.push_back("Transfer-Encoding: chunked");
        } else {
            headers.push_back("Accept-Ranges: bytes");
        }
        if (!omitLength && !chunked) {
            headers.push_back("Content-Length: " + std::to_string(length));
        }
        if (partial) {
            headers.push_back("Content-Range: bytes " + std::to_string(byteRange.first) + "-" +
                              std::to_string(byteRange.last) + "/" + std::to_string(body->size));
        }
        bool usable = sendHead(partial ? 206 : 200, headers);
        if (usable && !isHead) {
            usable = SendBody(*transport, *body, first, bodyLimit, chunked, rate, &bodySent);
        }
        if (!finish(usable && bodyLimit == length)) {
            transport->Shutdown(stop);
            return;
        }
    }
}

bool TestHttpServer::SendBody(Transport& transport, const Body& body, uint64_t offset,
                              uint64_t length, bool chunked, uint64_t bytesPerSecond,
                              uint64_t* sent) {
    const StopFlag& stop = server_.StopSignal();
    // Paced bodies go out in slices of about a tenth of a second each.
    const size_t slice =
        bytesPerSecond == 0
            ? kChunkBytes
            : static_cast<size_t>(std::clamp<uint64_t>(bytesPerSecond / 10, 1, kChunkBytes));
    const auto start = std::chrono::steady_clock::now();
    std::string chunk;
    while (*sent < length) {
        const size_t size = static_cast<size_t>(std::min<uint64_t>(slice, length - *sent));
        if (bytesPerSecond != 0) {
            // The slice leaves when the bytes up to its end are due at the set rate.
            const auto due =
                start + std::chrono::microseconds((*sent + size) * 1000000 / bytesPerSecond);
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                due - std::chrono::steady_clock::now());
            if (wait.count() > 0 && !SleepUnlessStopped(stop, static_cast<int>(wait.count()))) {
                return false;
            }
        }
        if (!body.Read(offset + *sent, size, chunk)) {
            return false;
        }
        if (chunked) {
            char sizeLine[24];
            std::snprintf(sizeLine, sizeof sizeLine, "%zx\r\n", size);
            chunk = sizeLine + chunk + "\r\n";
        }
        if (!transport.Send(chunk, stop, options_.sendTimeoutMs)) {
            return false;
        }
        *sent += size;
    }
    return !chunked || transport.Send("0\r\n\r\n", stop, options_.sendTimeoutMs);
}

}  // namespace tev::tools
