#include "report_collector/report_collector.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "report_collector/sqlite_store.h"

namespace tev::tools {

namespace {

constexpr size_t kReadChunk = 64 * 1024;
// Messages of one connection waiting for their commit; reading pauses beyond this.
constexpr int kMaxInFlight = 16;
// Acknowledgements a client has not read yet; reading pauses beyond this.
constexpr size_t kMaxUnsent = 64 * 1024;
constexpr int kSweepIntervalMs = 250;
constexpr int kAcceptBurst = 256;
constexpr int kEventBatch = 512;
// Descriptors kept free for the store, the log and the loop itself.
constexpr rlim_t kReservedDescriptors = 64;

constexpr uint64_t kListenKey = 1;
constexpr uint64_t kWakeKey = 2;
constexpr uint64_t kOutcomeKey = 3;

class SteadyClock final : public CollectorClock {
  public:
    int64_t NowMs() const override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};

const SteadyClock kSteadyClock;

int64_t WallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void Signal(int eventFd) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(eventFd, &one, sizeof one);
}

void Drain(int eventFd) {
    uint64_t value = 0;
    [[maybe_unused]] const ssize_t read = ::read(eventFd, &value, sizeof value);
}

std::string SystemError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

struct ReportCollector::Connection {
    uint64_t id = 0;
    int fd = -1;
    std::string name;  // "address:port", for the log
    std::string address;
    uint16_t port = 0;
    std::string in;
    std::string out;
    size_t outSent = 0;
    int inFlight = 0;  // messages handed to the commit thread, not answered yet
    int64_t lastActivityMs = 0;
    int64_t frameStartMs = -1;  // when the unfinished message at the front began, or -1
    bool peerClosed = false;    // no more input: close once every answer is out
    bool closing = false;       // refused: read nothing more, close once every answer is out
    bool touched = false;       // answers arrived in the current round of outcomes
    uint32_t events = 0;

    size_t Unsent() const { return out.size() - outSent; }
    bool Reading() const {
        return !closing && !peerClosed && inFlight < kMaxInFlight && Unsent() < kMaxUnsent;
    }
};

ReportCollector::ReportCollector(Options options) : options_(std::move(options)) {
    std::string location = options_.store.empty() ? options_.database.string() : options_.store;
    if (location.empty()) {
        error_ = "no database file given";
        return;
    }
    Start(OpenReportStore(location, &error_));
}

ReportCollector::ReportCollector(Options options, std::unique_ptr<ReportStore> store)
    : options_(std::move(options)) {
    Start(std::move(store));
}

ReportCollector::~ReportCollector() {
    Stop();
    for (int fd : {listenFd_, epollFd_, wakeFd_, outcomeFd_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

int64_t ReportCollector::Now() const {
    return (options_.clock != nullptr ? options_.clock : &kSteadyClock)->NowMs();
}

void ReportCollector::Log(const std::string& line) const {
    if (!Logging()) {
        return;
    }
    if (options_.logSink) {
        std::lock_guard lock(logMutex_);
        options_.logSink(line);
    } else if (options_.logToStderr) {
        std::fprintf(stderr, "tev-report-collector: %s\n", line.c_str());
    }
}

void ReportCollector::Start(std::unique_ptr<ReportStore> store) {
    if (store == nullptr) {
        if (error_.empty()) {
            error_ = "no store";
        }
        return;
    }
    store_ = std::move(store);

    rlimit limit{};
    maxConnections_ = options_.maxConnections;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const rlim_t usable =
            limit.rlim_cur > kReservedDescriptors * 2 ? limit.rlim_cur - kReservedDescriptors : 1;
        maxConnections_ = std::min<size_t>(maxConnections_, usable);
    }
    maxConnections_ = std::max<size_t>(maxConnections_, 1);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options_.port);
    if (inet_pton(AF_INET, options_.bindAddress.c_str(), &address.sin_addr) != 1) {
        error_ = "bad bind address " + options_.bindAddress;
        return;
    }
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int yes = 1;
    if (listenFd_ < 0 || setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
        bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listenFd_, 65535) != 0) {  // the kernel caps the backlog at its somaxconn
        error_ = SystemError(
            ("cannot listen on " + options_.bindAddress + ":" + std::to_string(options_.port))
                .c_str());
        return;
    }
    socklen_t length = sizeof address;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);

    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    outcomeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epollFd_ < 0 || wakeFd_ < 0 || outcomeFd_ < 0) {
        error_ = SystemError("cannot create the event loop");
        return;
    }
    for (const auto& [fd, key] :
         {std::pair{wakeFd_, kWakeKey}, std::pair{outcomeFd_, kOutcomeKey}}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = key;
        epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event);
    }
    SetListening(true);
    loop_ = std::thread([this] { RunLoop(); });
    committer_ = std::thread([this] { RunCommits(); });
    ok_ = true;
}

void ReportCollector::Stop() {
    if (!loop_.joinable()) {
        return;
    }
    stopping_ = true;
    Signal(wakeFd_);
    loop_.join();
    {
        std::lock_guard lock(queueMutex_);
        committerStop_ = true;
    }
    queued_.notify_all();
    committer_.join();
}

void ReportCollector::Wake() {
    if (wakeFd_ >= 0) {
        Signal(wakeFd_);
    }
}

bool ReportCollector::WaitForRecords(int64_t count, int timeoutMs) const {
    if (store_ == nullptr) {
        return false;
    }
    std::unique_lock lock(storedMutex_);
    return stored_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return store_->Count() >= count; });
}

size_t ReportCollector::PendingMessages() const {
    std::lock_guard lock(queueMutex_);
    return queue_.size();
}

// ---- the event loop ----

void ReportCollector::RunLoop() {
    epoll_event events[kEventBatch];
    nextSweepMs_ = Now() + kSweepIntervalMs;
    while (!stopping_) {
        const int count = epoll_wait(epollFd_, events, kEventBatch, kSweepIntervalMs);
        bool sweep = false;
        for (int i = 0; i < count && !stopping_; ++i) {
            const uint64_t key = events[i].data.u64;
            if (key == kListenKey) {
                AcceptSome();
                continue;
            }
            if (key == kWakeKey) {
                Drain(wakeFd_);
                sweep = true;
                continue;
            }
            if (key == kOutcomeKey) {
                Drain(outcomeFd_);
                TakeOutcomes();
                continue;
            }
            const auto found = connections_.find(key);
            if (found == connections_.end()) {
                continue;  // closed earlier in this round
            }
            Connection& connection = *found->second;
            const uint32_t ready = events[i].events;
            if ((ready & EPOLLERR) != 0 || ((ready & EPOLLHUP) != 0 && !connection.Reading())) {
                Close(key, "");  // gone; nothing more can be read or answered
                continue;
            }
            if ((ready & (EPOLLIN | EPOLLHUP)) != 0) {
                OnReadable(connection);
            }
            if ((ready & EPOLLOUT) != 0 && connections_.count(key) != 0) {
                Flush(connection);
            }
        }
        if (!received_.empty()) {
            {
                std::lock_guard lock(queueMutex_);
                for (Pending& pending : received_) {
                    queuedRecords_ += pending.message.records.size();
                    queue_.push_back(std::move(pending));
                }
            }
            received_.clear();
            queued_.notify_one();
        }
        const int64_t now = Now();
        if (sweep || now >= nextSweepMs_) {
            CheckTimeouts(now);
            nextSweepMs_ = now + kSweepIntervalMs;
        }
        if (count == 0) {
            acceptBlocked_ = false;  // a quiet moment: try the listener again after EMFILE
        }
        if (!listening_ && !acceptBlocked_ && connections_.size() < maxConnections_) {
            SetListening(true);
        }
    }
    while (!connections_.empty()) {
        Close(connections_.begin()->first, "");
    }
    SetListening(false);
    // Received but not handed over yet: still committed, though nobody can be answered now.
    std::lock_guard lock(queueMutex_);
    for (Pending& pending : received_) {
        queue_.push_back(std::move(pending));
    }
    received_.clear();
}

void ReportCollector::SetListening(bool on) {
    if (on == listening_ || listenFd_ < 0) {
        return;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kListenKey;
    epoll_ctl(epollFd_, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, listenFd_, &event);
    listening_ = on;
}

void ReportCollector::AcceptSome() {
    for (int i = 0; i < kAcceptBurst; ++i) {
        if (connections_.size() >= maxConnections_) {
            SetListening(false);  // the rest wait in the backlog
            return;
        }
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                Log(SystemError("cannot accept more connections for now"));
                SetListening(false);
                acceptBlocked_ = true;
            }
            return;  // EAGAIN: the backlog is empty; others: that client is gone already
        }
        const int yes = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        auto connection = std::make_unique<Connection>();
        connection->id = nextConnectionId_++;
        connection->fd = fd;
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        connection->address = text;
        connection->port = ntohs(peer.sin_port);
        connection->name = connection->address + ":" + std::to_string(connection->port);
        connection->lastActivityMs = Now();
        connection->events = EPOLLIN;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = connection->id;
        if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
            close(fd);
            continue;
        }
        connections_.emplace(connection->id, std::move(connection));
        const size_t active = connections_.size();
        active_ = active;
        if (active > peak_) {
            peak_ = active;
        }
    }
}

void ReportCollector::OnReadable(Connection& connection) {
    char buffer[kReadChunk];
    const ssize_t count = recv(connection.fd, buffer, sizeof buffer, 0);
    if (count < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            Close(connection.id, errno == ECONNRESET ? "" : SystemError("receive failed"));
        }
        return;
    }
    if (count == 0) {
        connection.peerClosed = true;
        connection.in.clear();  // an unfinished message cannot be finished any more
        CloseWhenDone(connection);
        return;
    }
    connection.lastActivityMs = Now();
    connection.in.append(buffer, static_cast<size_t>(count));
    ParseInput(connection);
}

void ReportCollector::ParseInput(Connection& connection) {
    size_t offset = 0;
    bool consumed = false;
    while (connection.inFlight < kMaxInFlight) {
        ReportParse parse = ParseReportMessage(std::string_view(connection.in).substr(offset));
        if (parse.status == ReportParse::Malformed) {
            Refuse(connection, parse.error);
            return;
        }
        if (parse.status == ReportParse::NeedMore) {
            break;
        }
        offset += parse.consumed;
        consumed = true;
        ++connection.inFlight;
        received_.push_back(
            {connection.id,
             {std::move(parse.records), connection.address, connection.port, WallClockMs()}});
    }
    connection.in.erase(0, offset);
    if (connection.in.empty()) {
        connection.frameStartMs = -1;
    } else if (consumed || connection.frameStartMs < 0) {
        connection.frameStartMs = Now();
    }
    UpdateInterest(connection);
}

void ReportCollector::UpdateInterest(Connection& connection) {
    uint32_t wanted = 0;
    if (connection.Reading()) {
        wanted |= EPOLLIN;
    }
    if (connection.Unsent() > 0) {
        wanted |= EPOLLOUT;
    }
    if (wanted == connection.events) {
        return;
    }
    epoll_event event{};
    event.events = wanted;
    event.data.u64 = connection.id;
    epoll_ctl(epollFd_, EPOLL_CTL_MOD, connection.fd, &event);
    connection.events = wanted;
}

void ReportCollector::Flush(Connection& connection) {
    while (connection.Unsent() > 0) {
        const ssize_t sent = send(connection.fd, connection.out.data() + connection.outSent,
                                  connection.Unsent(), MSG_NOSIGNAL);
        if (sent > 0) {
            connection.outSent += static_cast<size_t>(sent);
            connection.lastActivityMs = Now();
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            break;
        }
        Close(connection.id, "");  // the peer is gone
        return;
    }
    if (connection.Unsent() == 0) {
        connection.out.clear();
        connection.outSent = 0;
    }
    if (connection.closing || connection.peerClosed) {
        CloseWhenDone(connection);
        return;
    }
    if (connection.Reading() && !connection.in.empty()) {
        ParseInput(connection);  // messages that waited while reading was paused
    } else {
        UpdateInterest(connection);
    }
}

void ReportCollector::Refuse(Connection& connection, const std::string& why) {
    ++refused_;
    Log("closing " + connection.name + ": " + why);
    connection.closing = true;
    connection.in.clear();
    connection.frameStartMs = -1;
    CloseWhenDone(connection);
}

void ReportCollector::CloseWhenDone(Connection& connection) {
    // Messages received before the end are still answered, then the connection ends.
    if (connection.inFlight == 0 && connection.Unsent() == 0) {
        Close(connection.id, "");
    } else {
        UpdateInterest(connection);
    }
}

void ReportCollector::Close(uint64_t id, const std::string& why) {
    const auto found = connections_.find(id);
    if (found == connections_.end()) {
        return;
    }
    Connection& connection = *found->second;
    if (!why.empty()) {
        Log("closing " + connection.name + ": " + why);
    }
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, connection.fd, nullptr);
    close(connection.fd);
    connections_.erase(found);
    active_ = connections_.size();
    acceptBlocked_ = false;
}

void ReportCollector::CheckTimeouts(int64_t now) {
    std::vector<std::pair<uint64_t, std::string>> expired;
    for (const auto& [id, connection] : connections_) {
        if (connection->inFlight > 0) {
            continue;  // waiting for us, not for the client
        }
        if (connection->frameStartMs >= 0 &&
            now - connection->frameStartMs >= options_.frameTimeoutMs) {
            expired.emplace_back(id, "message still incomplete after " +
                                         std::to_string(now - connection->frameStartMs) +
                                         " ms (too slow)");
        } else if (now - connection->lastActivityMs >= options_.idleTimeoutMs) {
            expired.emplace_back(
                id, "idle for " + std::to_string(now - connection->lastActivityMs) + " ms");
        }
    }
    for (const auto& [id, why] : expired) {
        if (why.find("too slow") != std::string::npos) {
            ++refused_;
        }
        Close(id, why);
    }
}

void ReportCollector::TakeOutcomes() {
    std::vector<Outcome> outcomes;
    {
        std::lock_guard lock(queueMutex_);
        outcomes.swap(outcomes_);
    }
    const std::string ack = BuildReportAck(kReportAckStored);
    std::vector<uint64_t> touched;
    for (const Outcome& outcome : outcomes) {
        const auto found = connections_.find(outcome.connection);
        if (found == connections_.end()) {
            continue;  // closed meanwhile; the records are stored all the same
        }
        Connection& connection = *found->second;
        --connection.inFlight;
        if (!outcome.stored) {
            // Unstored reports are not acknowledged; the sender may try again later. Its later
            // answers could not be told apart from this one's, so the connection ends here.
            Close(outcome.connection, "cannot store a report: " + outcome.error);
            continue;
        }
        connection.out += ack;
        if (!connection.touched) {
            connection.touched = true;
            touched.push_back(outcome.connection);
        }
    }
    for (const uint64_t id : touched) {
        const auto found = connections_.find(id);
        if (found != connections_.end()) {
            found->second->touched = false;
            Flush(*found->second);
        }
    }
}

// ---- the commit thread ----

void ReportCollector::RunCommits() {
    std::vector<Pending> batch;
    for (;;) {
        {
            std::unique_lock lock(queueMutex_);
            const bool waited = queue_.empty();
            queued_.wait(lock, [&] { return !queue_.empty() || committerStop_; });
            if (queue_.empty()) {
                return;  // stopping, and everything received is stored
            }
            // Under load the queue filled during the previous commit; otherwise give the first
            // message a few milliseconds of company.
            if (waited && options_.commitDelayMs > 0) {
                queued_.wait_for(lock, std::chrono::milliseconds(options_.commitDelayMs), [&] {
                    return committerStop_ || queuedRecords_ >= options_.maxCommitRecords;
                });
            }
            batch.swap(queue_);
            queuedRecords_ = 0;
        }
        Commit(batch);
        batch.clear();
    }
}

void ReportCollector::Commit(std::vector<Pending>& batch) {
    std::vector<ReportMessage> messages;
    messages.reserve(batch.size());
    for (Pending& pending : batch) {
        messages.push_back(std::move(pending.message));
    }
    std::vector<Outcome> outcomes;
    outcomes.reserve(batch.size());
    std::string error;
    if (store_->Insert(messages, &error)) {
        ++commits_;
        for (const Pending& pending : batch) {
            outcomes.push_back({pending.connection, true, {}});
        }
    } else {
        // One bad message must not cost the others their answer: each on its own, unless the
        // store is out of reach altogether.
        const bool retry = batch.size() > 1 && store_->Reachable();
        if (retry) {
            Log("a group of " + std::to_string(batch.size()) + " reports could not be stored (" +
                error + "); storing them one by one");
        }
        for (size_t i = 0; i < batch.size(); ++i) {
            std::string why = error;
            const bool stored = retry && store_->Insert(messages[i], &why);
            commits_ += stored ? 1 : 0;
            outcomes.push_back({batch[i].connection, stored, stored ? std::string() : why});
        }
    }
    uint64_t stored = 0;
    for (size_t i = 0; i < outcomes.size(); ++i) {
        if (!outcomes[i].stored) {
            continue;
        }
        ++stored;
        if (Logging()) {
            Log("stored " + std::to_string(messages[i].records.size()) + " record(s) from " +
                messages[i].peerAddress + ":" + std::to_string(messages[i].peerPort));
        }
    }
    storedMessages_ += stored;
    {
        std::lock_guard lock(queueMutex_);
        outcomes_.insert(outcomes_.end(), std::make_move_iterator(outcomes.begin()),
                         std::make_move_iterator(outcomes.end()));
    }
    Signal(outcomeFd_);
    { std::lock_guard lock(storedMutex_); }
    stored_.notify_all();
}

}  // namespace tev::tools
