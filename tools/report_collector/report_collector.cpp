#include "report_collector/report_collector.h"

#include <arpa/inet.h>
#include <malloc.h>
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
#include <list>
#include <unordered_set>

#include "report_collector/sqlite_store.h"

namespace tev::tools {

namespace {

// What a connection reads into while it waits for a header: a typical report fits whole.
constexpr size_t kInitialInput = 4096;
// Messages of one connection waiting for their commit; reading pauses beyond this.
constexpr int kMaxInFlight = 16;
// Acknowledgements a client has not read yet; reading pauses beyond this.
constexpr size_t kMaxUnsent = 4096;
// An acknowledgement on the wire: 14 header bytes and one payload byte, padded to 8.
constexpr size_t kAckBytes = 16;
// After the budget counted this much, memory is handed back to the system once it is mostly
// free again, so a burst of large reports does not stay resident.
constexpr size_t kTrimAfter = 8 * 1024 * 1024;
constexpr int kSweepIntervalMs = 250;
// At the connection cap, a newcomer takes the place of the connection silent longest, once that
// one has been silent this long (a connection just accepted has not had its turn to speak yet).
constexpr int64_t kEvictAfterIdleMs = 1000;
// A commit running this long means the store is stuck (a locked table, a lost database): reports
// of clients that have gone meanwhile are dropped from the queue rather than held for it.
constexpr int64_t kStalledCommitMs = 1000;
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

// The bytes read from a connection and not yet cut into messages. It holds exactly the memory it
// was given (it never grows by doubling), which is what the budget counts for it.
class InputBuffer {
  public:
    size_t Size() const { return end_ - begin_; }
    size_t Capacity() const { return capacity_; }
    size_t Room() const { return capacity_ - end_; }
    std::string_view View() const { return {data_.get() + begin_, Size()}; }
    char* Tail() { return data_.get() + end_; }
    void Appended(size_t count) { end_ += count; }
    void Consume(size_t count) {
        begin_ += count;
        if (begin_ == end_) {
            begin_ = end_ = 0;
        }
    }
    // Moves the bytes to the front, so all the room is after them.
    void Compact() {
        if (begin_ > 0) {
            std::memmove(data_.get(), data_.get() + begin_, Size());
            end_ -= begin_;
            begin_ = 0;
        }
    }
    // Holds exactly capacity bytes from now on (never fewer than its bytes); 0 frees the memory.
    void Reallocate(size_t capacity) {
        const size_t size = Size();
        capacity = std::max(capacity, size);
        std::unique_ptr<char[]> fresh(capacity > 0 ? new char[capacity] : nullptr);
        if (size > 0) {
            std::memcpy(fresh.get(), data_.get() + begin_, size);
        }
        data_ = std::move(fresh);
        capacity_ = capacity;
        begin_ = 0;
        end_ = size;
    }

  private:
    std::unique_ptr<char[]> data_;
    size_t capacity_ = 0;
    size_t begin_ = 0;
    size_t end_ = 0;
};

}  // namespace

struct ReportCollector::Connection {
    uint64_t id = 0;
    int fd = -1;
    std::string name;  // "address:port", for the log
    std::string address;
    uint16_t port = 0;
    InputBuffer in;
    // What the budget counts for the input: the buffer, and the parsed form of the message at the
    // front once it is admitted (its header read and its room granted).
    size_t inputCharge = 0;
    size_t admitted = 0;  // the admitted message's size, or 0
    size_t admittedReserve = 0;
    bool waitingForMemory = false;  // not read until the budget has room
    bool queuedForMemory = false;   // in the waiting line
    std::string out;
    size_t outSent = 0;
    int inFlight = 0;  // messages handed to the commit thread, not answered yet
    int64_t lastActivityMs = 0;
    std::list<uint64_t>::iterator byActivity;  // its place among the connections, oldest first
    int64_t frameStartMs = -1;  // when the unfinished message at the front began, or -1
    bool peerClosed = false;    // no more input: close once every answer is out
    bool peerDone = false;      // the peer has shut its side while it was not being read
    bool closing = false;       // refused: read nothing more, close once every answer is out
    bool touched = false;       // answers arrived in the current round of outcomes
    bool storeRefused = false;  // the store refused one of its reports
    uint32_t events = 0;

    size_t Unsent() const { return out.size() - outSent; }
    bool Reading() const {
        return !closing && !peerClosed && !waitingForMemory && inFlight < kMaxInFlight &&
               Unsent() < kMaxUnsent;
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
            if ((ready & EPOLLRDHUP) != 0 && !connection.Reading()) {
                // Done sending while it is not read: noted for a stuck store (its queued reports
                // may then be dropped); the rest of its input is read once reading resumes.
                connection.peerDone = true;
                UpdateInterest(connection);
            }
            if ((ready & (EPOLLIN | EPOLLHUP)) != 0 && connection.Reading()) {
                OnReadable(connection);
            }
            if ((ready & EPOLLOUT) != 0 && connections_.count(key) != 0) {
                Flush(connection);
            }
        }
        if (!memoryWaiters_.empty()) {
            ResumeWaiting();
        }
        if (!received_.empty()) {
            {
                std::lock_guard lock(queueMutex_);
                for (Pending& pending : received_) {
                    // A job report weighs as one row.
                    queuedRecords_ +=
                        pending.message.records.size() + (pending.message.isJob ? 1 : 0);
                    queue_.push_back(std::move(pending));
                }
            }
            received_.clear();
            queued_.notify_one();
        }
        const int64_t now = Now();
        if (sweep || now >= nextSweepMs_) {
            sweep = true;
            CheckTimeouts(now);
            DropOrphanedReports(now);
            nextSweepMs_ = now + kSweepIntervalMs;
            if (budgetSinceTrim_ >= kTrimAfter && budgetInUse_ <= budgetSinceTrim_ / 4) {
                malloc_trim(0);
                budgetSinceTrim_ = budgetInUse_;
            }
        }
        if (count == 0) {
            acceptBlocked_ = false;  // a quiet moment: try the listener again after EMFILE
        }
        if (!listening_ && !acceptBlocked_ &&
            (connections_.size() < maxConnections_ || (sweep && IdleLongest(now) != 0))) {
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
        // At the cap the connection silent longest makes room, once a newcomer is really there.
        uint64_t idle = 0;
        if (connections_.size() >= maxConnections_) {
            idle = IdleLongest(Now());
            if (idle == 0) {
                SetListening(false);  // the rest wait in the backlog
                return;
            }
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
        if (idle != 0) {
            const int64_t silent = Now() - connections_.at(idle)->lastActivityMs;
            Close(idle, "idle for " + std::to_string(silent) + " ms while all " +
                            std::to_string(maxConnections_) +
                            " connections are in use: making room for a new one");
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
        connection->byActivity = byActivity_.insert(byActivity_.end(), connection->id);
        connection->events = EPOLLIN | EPOLLRDHUP;
        epoll_event event{};
        event.events = connection->events;
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
    if (!PrepareToRead(connection)) {
        return;
    }
    const ssize_t count = recv(connection.fd, connection.in.Tail(), connection.in.Room(), 0);
    if (count < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            Close(connection.id, errno == ECONNRESET ? "" : SystemError("receive failed"));
        }
        return;
    }
    if (count == 0) {
        connection.peerClosed = true;
        ReleaseInput(connection);  // an unfinished message cannot be finished any more
        CloseWhenDone(connection);
        return;
    }
    Touch(connection);
    connection.in.Appended(static_cast<size_t>(count));
    ParseInput(connection);
}

// Room to read into, within the budget: the rest of the admitted message, or a small buffer for
// the next header. False when the connection has to wait for memory.
bool ReportCollector::PrepareToRead(Connection& connection) {
    if (connection.in.Room() > 0) {
        return true;
    }
    if (connection.in.Capacity() > connection.in.Size()) {
        connection.in.Compact();
        return true;
    }
    const size_t grow = kInitialInput - std::min(kInitialInput, connection.in.Capacity());
    if (budgetInUse_ + grow > options_.memoryBudget) {
        WaitForMemory(connection);
        return false;
    }
    connection.in.Reallocate(std::max(kInitialInput, connection.in.Size() + 1));
    Recount(connection);
    return true;
}

void ReportCollector::Recount(Connection& connection) {
    const size_t charge = connection.in.Capacity() + connection.admittedReserve;
    if (charge > connection.inputCharge) {
        Charge(charge - connection.inputCharge);
    } else {
        Uncharge(connection.inputCharge - charge);
    }
    connection.inputCharge = charge;
}

ReportCollector::Admission ReportCollector::Admit(Connection& connection,
                                                  const ReportHeader& header) {
    // A job report's texts take at most its own size once parsed.
    const size_t reserve = ParsedReportBytes(header.records) + kAckBytes +
                           (header.type == kJobReportType ? sizeof(JobReport) + header.size : 0);
    if (header.size + reserve > options_.memoryBudget) {
        Refuse(connection, "a report of " + std::to_string(header.size) +
                               " bytes needs more than the memory budget of " +
                               std::to_string(options_.memoryBudget) + " bytes");
        return Admission::Refused;
    }
    const size_t capacity = std::max(connection.in.Capacity(), header.size);
    if (budgetInUse_ - connection.inputCharge + capacity + reserve > options_.memoryBudget) {
        WaitForMemory(connection);
        return Admission::Waiting;
    }
    if (connection.in.Capacity() < header.size) {
        connection.in.Reallocate(header.size);
    } else {
        connection.in.Compact();
    }
    connection.admitted = header.size;
    connection.admittedReserve = reserve;
    Recount(connection);
    connection.frameStartMs = Now();  // its time runs from the moment it may arrive
    return Admission::Admitted;
}

void ReportCollector::ParseInput(Connection& connection) {
    bool consumed = false;
    while (connection.inFlight < kMaxInFlight) {
        const ReportHeader header =
            InspectReportHeader(connection.in.View(), options_.acceptJobReports);
        if (header.status == ReportHeader::Malformed) {
            Refuse(connection, header.error);
            return;
        }
        if (header.status == ReportHeader::NeedMore) {
            break;
        }
        if (connection.admitted == 0) {
            const Admission admission = Admit(connection, header);
            if (admission == Admission::Refused) {
                return;
            }
            if (admission == Admission::Waiting) {
                break;
            }
        }
        ReportParse parse = ParseReportMessage(connection.in.View(), options_.acceptJobReports);
        if (parse.status == ReportParse::Malformed) {
            Refuse(connection, parse.error);
            return;
        }
        if (parse.status == ReportParse::NeedMore) {
            break;
        }
        // The reserve goes with the message until its answer is out.
        const size_t charge = connection.admittedReserve;
        connection.inputCharge -= charge;
        connection.admitted = 0;
        connection.admittedReserve = 0;
        connection.in.Consume(parse.consumed);
        consumed = true;
        ++connection.inFlight;
        ReportMessage message;
        message.records = std::move(parse.records);
        message.peerAddress = connection.address;
        message.peerPort = connection.port;
        message.receivedAtMs = WallClockMs();
        message.isJob = parse.isJob;
        message.job = std::move(parse.job);
        received_.push_back({connection.id, std::move(message), charge});
    }
    // An empty buffer is handed back; one grown for a large message shrinks again.
    if (connection.in.Size() == 0) {
        connection.in.Reallocate(0);
    } else if (connection.admitted == 0 && !connection.waitingForMemory &&
               connection.in.Capacity() > kInitialInput && connection.in.Size() <= kInitialInput) {
        connection.in.Reallocate(kInitialInput);
    }
    Recount(connection);
    if (connection.in.Size() == 0) {
        connection.frameStartMs = -1;
    } else if ((consumed && connection.admitted == 0) || connection.frameStartMs < 0) {
        connection.frameStartMs = Now();
    }
    UpdateInterest(connection);
}

void ReportCollector::ReleaseInput(Connection& connection) {
    connection.in.Reallocate(0);
    connection.admitted = 0;
    connection.admittedReserve = 0;
    connection.frameStartMs = -1;
    Recount(connection);
}

void ReportCollector::WaitForMemory(Connection& connection) {
    if (!connection.waitingForMemory) {
        connection.waitingForMemory = true;
        ++memoryWaiting_;
    }
    if (!connection.queuedForMemory) {
        connection.queuedForMemory = true;
        memoryWaiters_.push_back(connection.id);
    }
    // While it waits it holds only the bytes it has, and its message time does not run.
    if (connection.in.Capacity() > connection.in.Size()) {
        connection.in.Reallocate(connection.in.Size());
        Recount(connection);
    }
    connection.frameStartMs = -1;
    UpdateInterest(connection);
}

// Lets waiting connections go on in the order they began to wait, as far as the budget allows.
void ReportCollector::ResumeWaiting() {
    while (!memoryWaiters_.empty()) {
        const uint64_t id = memoryWaiters_.front();
        auto found = connections_.find(id);
        if (found != connections_.end() && found->second->waitingForMemory) {
            Connection& connection = *found->second;
            connection.waitingForMemory = false;
            --memoryWaiting_;
            if (connection.in.Size() >= kStreamHeaderSize) {
                ParseInput(connection);
            } else if (PrepareToRead(connection)) {
                UpdateInterest(connection);
            }
            found = connections_.find(id);
            if (found != connections_.end() && found->second->waitingForMemory) {
                return;  // still no room: it keeps its place at the front
            }
        }
        if (found != connections_.end()) {
            found->second->queuedForMemory = false;
        }
        memoryWaiters_.pop_front();
    }
}

void ReportCollector::Touch(Connection& connection) {
    connection.lastActivityMs = Now();
    byActivity_.splice(byActivity_.end(), byActivity_, connection.byActivity);
}

// The connection silent longest that may make room for a newcomer, or 0: never one that waits
// for the collector (a commit, memory), nor one silent for less than a moment.
uint64_t ReportCollector::IdleLongest(int64_t now) const {
    for (const uint64_t id : byActivity_) {
        const Connection& connection = *connections_.at(id);
        if (now - connection.lastActivityMs < kEvictAfterIdleMs) {
            return 0;  // the rest spoke more recently still
        }
        if (connection.inFlight == 0 && !connection.waitingForMemory) {
            return id;
        }
    }
    return 0;
}

// Reports of clients that have gone (closed, or at least done sending) still queued while a commit
// is stuck: they are not answered yet, and nobody may be left to answer, so they give their
// memory back now instead of when the store recovers.
void ReportCollector::DropOrphanedReports(int64_t now) {
    const int64_t started = commitStartedMs_.load();
    if (started < 0 || now - started < kStalledCommitMs) {
        return;
    }
    std::unordered_set<uint64_t> gone;
    for (const auto& [id, orphan] : orphans_) {
        gone.insert(id);
    }
    for (const auto& [id, connection] : connections_) {
        if ((connection->peerClosed || connection->peerDone) && connection->inFlight > 0) {
            gone.insert(id);
        }
    }
    if (gone.empty()) {
        return;
    }
    std::vector<Pending> dropped;
    {
        std::lock_guard lock(queueMutex_);
        const auto kept =
            std::stable_partition(queue_.begin(), queue_.end(),
                                  [&](const Pending& p) { return gone.count(p.connection) == 0; });
        for (auto it = kept; it != queue_.end(); ++it) {
            queuedRecords_ -= it->message.records.size() + (it->message.isJob ? 1 : 0);
            dropped.push_back(std::move(*it));
        }
        queue_.erase(kept, queue_.end());
    }
    if (dropped.empty()) {
        return;
    }
    std::vector<uint64_t> settled;
    std::vector<uint64_t> done;
    for (const Pending& pending : dropped) {
        Uncharge(pending.charge);
        const auto found = connections_.find(pending.connection);
        if (found != connections_.end()) {
            if (--found->second->inFlight == 0) {
                done.push_back(pending.connection);
            }
            continue;
        }
        const auto orphan = orphans_.find(pending.connection);
        if (--orphan->second.inFlight == 0) {
            if (orphan->second.refused) {
                settled.push_back(pending.connection);
            }
            orphans_.erase(orphan);
        }
    }
    Log("dropping " + std::to_string(dropped.size()) +
        " unanswered report(s) of clients that have gone: the store has not finished a commit "
        "for " +
        std::to_string(now - started) + " ms");
    for (const uint64_t id : done) {
        const auto found = connections_.find(id);
        if (found == connections_.end()) {
            continue;
        }
        if (found->second->storeRefused) {
            settled.push_back(id);
        }
        CloseWhenDone(*found->second);
    }
    if (!settled.empty()) {
        std::lock_guard lock(queueMutex_);
        settled_.insert(settled_.end(), settled.begin(), settled.end());
    }
}

void ReportCollector::Charge(size_t bytes) {
    budgetInUse_ += bytes;
    budgetUsed_ = budgetInUse_;
    if (budgetInUse_ > budgetPeak_) {
        budgetPeak_ = budgetInUse_;
    }
    budgetSinceTrim_ = std::max(budgetSinceTrim_, budgetInUse_);
}

void ReportCollector::Uncharge(size_t bytes) {
    budgetInUse_ -= bytes;
    budgetUsed_ = budgetInUse_;
}

void ReportCollector::UpdateInterest(Connection& connection) {
    uint32_t wanted = 0;
    if (connection.Reading()) {
        wanted |= EPOLLIN;
    }
    if (!connection.peerDone && !connection.peerClosed) {
        wanted |= EPOLLRDHUP;
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
            Uncharge(static_cast<size_t>(sent));
            Touch(connection);
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            break;
        }
        Close(connection.id, "");  // the peer is gone
        return;
    }
    if (connection.Unsent() == 0) {
        std::string().swap(connection.out);
        connection.outSent = 0;
    }
    if (connection.closing || connection.peerClosed) {
        CloseWhenDone(connection);
        return;
    }
    if (connection.Reading() && connection.in.Size() > 0) {
        ParseInput(connection);  // messages that waited while reading was paused
    } else {
        UpdateInterest(connection);
    }
}

void ReportCollector::Refuse(Connection& connection, const std::string& why) {
    ++refused_;
    Log("closing " + connection.name + ": " + why);
    connection.closing = true;
    if (connection.waitingForMemory) {
        connection.waitingForMemory = false;
        --memoryWaiting_;
    }
    ReleaseInput(connection);
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
    Uncharge(connection.inputCharge + connection.Unsent());
    if (connection.inFlight > 0) {
        orphans_[id] = {connection.inFlight, connection.storeRefused};
    }
    if (connection.waitingForMemory) {
        --memoryWaiting_;
    }
    byActivity_.erase(connection.byActivity);
    connections_.erase(found);
    active_ = connections_.size();
    acceptBlocked_ = false;
}

void ReportCollector::CheckTimeouts(int64_t now) {
    std::vector<std::pair<uint64_t, std::string>> expired;
    for (const auto& [id, connection] : connections_) {
        if (connection->inFlight > 0 || connection->waitingForMemory) {
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
    std::vector<uint64_t> settled;  // refused connections none of whose reports is left to commit
    for (const Outcome& outcome : outcomes) {
        const auto found = connections_.find(outcome.connection);
        if (found == connections_.end()) {
            // Closed meanwhile; the records are stored all the same.
            Uncharge(outcome.charge);
            const auto orphan = orphans_.find(outcome.connection);
            if (orphan != orphans_.end()) {
                orphan->second.refused |= !outcome.stored;
                if (--orphan->second.inFlight == 0) {
                    if (orphan->second.refused) {
                        settled.push_back(outcome.connection);
                    }
                    orphans_.erase(orphan);
                }
            }
            continue;
        }
        Connection& connection = *found->second;
        --connection.inFlight;
        // The parsed message is gone; an answer keeps its bytes counted until it is sent.
        Uncharge(outcome.charge - (outcome.stored ? kAckBytes : 0));
        if (outcome.stored) {
            connection.out += ack;
        } else if (!connection.storeRefused) {
            // Unstored reports are not acknowledged; the sender may try again later. Its later
            // reports are not stored either (an answer could not be told apart from this one's):
            // the answers it earned before go out, then the connection ends.
            connection.storeRefused = true;
            Log("closing " + connection.name + ": cannot store a report: " + outcome.error);
            connection.closing = true;
            if (connection.waitingForMemory) {
                connection.waitingForMemory = false;
                --memoryWaiting_;
            }
            ReleaseInput(connection);
        }
        if (connection.storeRefused && connection.inFlight == 0) {
            settled.push_back(outcome.connection);
        }
        if (!connection.touched) {
            connection.touched = true;
            touched.push_back(outcome.connection);
        }
    }
    if (!settled.empty()) {
        std::lock_guard lock(queueMutex_);
        settled_.insert(settled_.end(), settled.begin(), settled.end());
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
            for (const uint64_t id : settled_) {
                refusedConnections_.erase(id);
            }
            settled_.clear();
        }
        Commit(batch);
        batch.clear();
    }
}

void ReportCollector::Commit(std::vector<Pending>& batch) {
    commitStartedMs_ = Now();
    CommitGroup(batch);
    commitStartedMs_ = -1;
}

void ReportCollector::CommitGroup(std::vector<Pending>& batch) {
    // A connection with a report the store refused has none after it stored either.
    std::vector<Outcome> outcomes;
    outcomes.reserve(batch.size());
    std::vector<size_t> open;  // the reports to store: indexes into batch
    std::vector<ReportMessage> group;
    for (size_t i = 0; i < batch.size(); ++i) {
        outcomes.push_back({batch[i].connection, false, {}, batch[i].charge});
        if (refusedConnections_.count(batch[i].connection) != 0) {
            outcomes[i].error = "a report before it on this connection was not stored";
        } else {
            open.push_back(i);
            group.push_back(std::move(batch[i].message));
        }
    }
    std::string error;
    if (group.empty() || store_->Insert(group, &error)) {
        commits_ += group.empty() ? 0 : 1;
        for (const size_t i : open) {
            outcomes[i].stored = true;
        }
    } else {
        // One bad message must not cost the others their answer: each on its own, unless the
        // store is out of reach altogether.
        const bool retry = group.size() > 1 && store_->Reachable();
        if (retry) {
            Log("a group of " + std::to_string(group.size()) + " reports could not be stored (" +
                error + "); storing them one by one");
        }
        for (size_t k = 0; k < open.size(); ++k) {
            Outcome& outcome = outcomes[open[k]];
            if (refusedConnections_.count(outcome.connection) != 0) {
                outcome.error = "a report before it on this connection was not stored";
                continue;
            }
            std::string why = error;
            outcome.stored = retry && store_->Insert(group[k], &why);
            commits_ += outcome.stored ? 1 : 0;
            if (!outcome.stored) {
                outcome.error = why;
                refusedConnections_.insert(outcome.connection);
            }
        }
    }
    uint64_t stored = 0;
    for (size_t k = 0; k < open.size(); ++k) {
        if (!outcomes[open[k]].stored) {
            continue;
        }
        ++stored;
        if (Logging()) {
            if (group[k].isJob) {
                Log(std::string("stored a job report (") + JobPathName(group[k].job.path) + ", " +
                    JobOutcomeName(group[k].job.outcome) + ") from " + group[k].peerAddress + ":" +
                    std::to_string(group[k].peerPort));
            } else {
                Log("stored " + std::to_string(group[k].records.size()) + " record(s) from " +
                    group[k].peerAddress + ":" + std::to_string(group[k].peerPort));
            }
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
