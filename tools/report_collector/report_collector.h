// ReportCollector: the server that receives the downloader's statistics reports. It listens on
// the report port, takes report messages (0x0300/0x9A), stores every record (see report_store.h
// for the table) and answers each message with an acknowledgement (0x0300/0x83, one payload
// byte 0) only once its records are committed.
//
// One event-loop thread (epoll) holds every connection; one commit thread writes what the loop
// received in groups: whatever arrived while the previous commit ran, or within a few
// milliseconds of the first waiting message, goes into one transaction, so the rate of commits
// stays flat while the rate of rows grows with the load. At the connection cap a newcomer takes
// the place of the connection silent longest; when every connection is busy it waits in the
// listen backlog until one ends. A malformed or oversized message, a silent
// connection and a message that trickles in too slowly end their own connection only; the log
// names each of them.
//
//     ReportCollector collector({.port = 0, .database = folder / "reports.db"});
//     if (!collector.Ok()) ... collector.Error() ...
//     ... the downloader reports to 127.0.0.1:collector.Port() ...
//     collector.WaitForRecords(2, 5000);
//     ReadReportsFile(collector.DatabasePath());   // or collector.Records()
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "report_collector/report_frame.h"
#include "report_collector/report_store.h"

namespace tev::tools {

// The time the collector's time-outs are measured with; tests move it by hand.
class CollectorClock {
  public:
    virtual ~CollectorClock() = default;
    virtual int64_t NowMs() const = 0;
};

class ReportCollector {
  public:
    struct Options {
        std::string bindAddress = "127.0.0.1";
        uint16_t port = kReportPort;       // 0: a free port, see Port()
        std::filesystem::path database{};  // the SQLite file, created when missing
        // Where to store instead of database: a file or "postgresql://..." (see report_store.h).
        std::string store{};
        int idleTimeoutMs = 60000;   // a connection silent this long is closed
        int frameTimeoutMs = 30000;  // a message must arrive whole within this of its first byte
        // At the cap a newcomer takes the place of the connection silent longest, or waits in
        // the listen backlog while every connection is busy.
        size_t maxConnections = 16384;
        // All buffered input, parsed messages and unsent answers together; a connection whose
        // next bytes would go beyond it is not read until memory is free again.
        size_t memoryBudget = size_t{256} * 1024 * 1024;
        int commitDelayMs = 2;  // how long a commit waits for company
        size_t maxCommitRecords = 50000;
        bool logToStderr = false;  // one line per report and per closed connection
        // Receives each log line instead of stderr when set (called from the collector's threads).
        std::function<void(const std::string&)> logSink{};
        const CollectorClock* clock = nullptr;  // the steady clock when none
        // Job reports (0x0300/0x9B) are taken; false refuses them as collectors before them did
        // (--no-job-reports).
        bool acceptJobReports = true;
    };

    // Opens the store and starts listening at once. Check Ok().
    explicit ReportCollector(Options options);
    // The same over a store of the caller's.
    ReportCollector(Options options, std::unique_ptr<ReportStore> store);
    ~ReportCollector();  // stops
    ReportCollector(const ReportCollector&) = delete;
    ReportCollector& operator=(const ReportCollector&) = delete;

    bool Ok() const { return ok_; }
    const std::string& Error() const { return error_; }
    uint16_t Port() const { return port_; }
    const std::filesystem::path& DatabasePath() const { return options_.database; }
    // The store for log lines: the file, or the database without credentials.
    std::string StoreName() const { return store_ ? store_->Describe() : std::string(); }
    // Stops accepting, closes every connection, commits what was received and joins its threads.
    void Stop();
    // Makes the event loop look at the clock now (after a test moved it).
    void Wake();

    int64_t RecordCount() const { return store_ ? store_->Count() : 0; }
    std::vector<StoredReport> Records() const {
        return store_ ? store_->ReadAll() : std::vector<StoredReport>();
    }
    std::vector<StoredJob> Jobs() const {
        return store_ ? store_->ReadJobs() : std::vector<StoredJob>();
    }
    // Waits until at least count records are stored; false after timeoutMs.
    bool WaitForRecords(int64_t count, int timeoutMs) const;

    // Report messages whose records were committed; each is then acknowledged.
    uint64_t StoredMessages() const { return storedMessages_.load(); }
    // Transactions that stored them.
    uint64_t Commits() const { return commits_.load(); }
    // Messages received and not committed yet.
    size_t PendingMessages() const;
    // Connections closed because of a malformed or oversized message or a too slow one.
    uint64_t RefusedConnections() const { return refused_.load(); }
    size_t ActiveConnections() const { return active_.load(); }
    // Bytes the memory budget counts now, and the most it counted at once.
    size_t BufferedBytes() const { return budgetUsed_.load(); }
    size_t PeakBufferedBytes() const { return budgetPeak_.load(); }
    // Connections not read until memory is free.
    size_t WaitingForMemory() const { return memoryWaiting_.load(); }
    size_t PeakConnections() const { return peak_.load(); }

  private:
    struct Connection;
    struct Pending {
        uint64_t connection;
        ReportMessage message;
        size_t charge;  // what the budget counts for it, its answer included
    };
    struct Outcome {
        uint64_t connection;
        bool stored;
        std::string error;
        size_t charge;
    };

    void Start(std::unique_ptr<ReportStore> store);
    int64_t Now() const;
    bool Logging() const { return options_.logSink || options_.logToStderr; }
    void Log(const std::string& line) const;

    // The event loop and what it does with a connection.
    void RunLoop();
    void AcceptSome();
    void SetListening(bool on);
    void OnReadable(Connection& connection);
    bool PrepareToRead(Connection& connection);
    void ParseInput(Connection& connection);
    enum class Admission { Admitted, Waiting, Refused };
    Admission Admit(Connection& connection, const ReportHeader& header);
    void Recount(Connection& connection);
    void ReleaseInput(Connection& connection);
    void WaitForMemory(Connection& connection);
    void ResumeWaiting();
    void Charge(size_t bytes);
    void Uncharge(size_t bytes);
    void Touch(Connection& connection);
    uint64_t IdleLongest(int64_t now) const;
    void TakeOutcomes();
    void CheckTimeouts(int64_t now);
    void Flush(Connection& connection);
    void UpdateInterest(Connection& connection);
    void Refuse(Connection& connection, const std::string& why);
    void Close(uint64_t id, const std::string& why);
    void CloseWhenDone(Connection& connection);

    // The commit thread.
    void RunCommits();
    void Commit(std::vector<Pending>& batch);
    void CommitGroup(std::vector<Pending>& batch);
    void DropOrphanedReports(int64_t now);

    Options options_;
    std::unique_ptr<ReportStore> store_;
    bool ok_ = false;
    std::string error_;
    uint16_t port_ = 0;
    size_t maxConnections_ = 0;

    int listenFd_ = -1;
    int epollFd_ = -1;
    int wakeFd_ = -1;     // Wake() and Stop()
    int outcomeFd_ = -1;  // the commit thread's outcomes are ready
    bool listening_ = false;
    std::atomic<bool> stopping_{false};
    std::thread loop_;
    std::thread committer_;

    // Owned by the loop thread.
    std::unordered_map<uint64_t, std::unique_ptr<Connection>> connections_;
    uint64_t nextConnectionId_ = 16;
    std::vector<Pending> received_;  // this round's messages, queued together after it
    bool acceptBlocked_ = false;     // out of descriptors: accept again once one is freed
    int64_t nextSweepMs_ = 0;
    // The memory budget: what it counts, and the connections waiting for room, in order.
    size_t budgetInUse_ = 0;
    size_t budgetSinceTrim_ = 0;  // the most counted since memory was last handed back
    std::deque<uint64_t> memoryWaiters_;
    std::list<uint64_t> byActivity_;  // connections, the one silent longest first
    // Closed connections with reports still being committed, and whether one was refused.
    struct Orphan {
        int inFlight = 0;
        bool refused = false;
    };
    std::unordered_map<uint64_t, Orphan> orphans_;

    // Between the loop and the commit thread.
    mutable std::mutex queueMutex_;
    std::condition_variable queued_;
    std::vector<Pending> queue_;
    size_t queuedRecords_ = 0;
    bool committerStop_ = false;
    std::vector<Outcome> outcomes_;
    // Connections with a refused report that have nothing left to commit: the commit thread
    // forgets them.
    std::vector<uint64_t> settled_;

    // Owned by the commit thread: connections with a refused report, whose later reports are
    // not stored.
    std::unordered_set<uint64_t> refusedConnections_;

    std::atomic<int64_t> commitStartedMs_{-1};  // when the running commit began, or -1
    std::atomic<uint64_t> storedMessages_{0};
    std::atomic<uint64_t> commits_{0};
    std::atomic<uint64_t> refused_{0};
    std::atomic<size_t> active_{0};
    std::atomic<size_t> peak_{0};
    std::atomic<size_t> budgetUsed_{0};
    std::atomic<size_t> budgetPeak_{0};
    std::atomic<size_t> memoryWaiting_{0};
    mutable std::mutex storedMutex_;
    mutable std::condition_variable stored_;
    mutable std::mutex logMutex_;
};

}  // namespace tev::tools
