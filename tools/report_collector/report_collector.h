// ReportCollector: the server that receives the downloader's statistics reports. It listens on
// the report port, takes report messages (0x0300/0x9A), stores every record in SQLite (see
// report_store.h for the table) and answers each message with an acknowledgement (0x0300/0x83,
// one payload byte 0) once its records are committed. A malformed or oversized message ends its
// own connection only; the others keep being served.
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
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "common/tcp_server.h"
#include "report_collector/report_frame.h"
#include "report_collector/report_store.h"

namespace tev::tools {

class ReportCollector {
  public:
    struct Options {
        std::string bindAddress = "127.0.0.1";
        uint16_t port = kReportPort;       // 0: a free port, see Port()
        std::filesystem::path database{};  // the SQLite file, created when missing
        int idleTimeoutMs = 60000;         // a connection silent this long is closed
        size_t maxConnections = 64;
        bool logToStderr = false;  // one line per report and per refused connection
    };

    // Opens the database and starts listening at once. Check Ok().
    explicit ReportCollector(Options options);
    ~ReportCollector();  // stops
    ReportCollector(const ReportCollector&) = delete;
    ReportCollector& operator=(const ReportCollector&) = delete;

    bool Ok() const { return ok_; }
    const std::string& Error() const { return error_; }
    uint16_t Port() const { return server_.Port(); }
    const std::filesystem::path& DatabasePath() const { return options_.database; }
    // Stops accepting, closes every connection and joins its threads.
    void Stop();

    int64_t RecordCount() const { return store_.Count(); }
    std::vector<StoredReport> Records() const { return store_.ReadAll(); }
    // Waits until at least count records are stored; false after timeoutMs.
    bool WaitForRecords(int64_t count, int timeoutMs) const;

    // Report messages whose records were committed; each is then acknowledged.
    uint64_t StoredMessages() const { return storedMessages_.load(); }
    // Connections closed because of a malformed or oversized message.
    uint64_t RefusedConnections() const { return refused_.load(); }
    size_t PeakConnections() const { return server_.PeakConnections(); }

  private:
    void Serve(int fd, const PeerAddress& peer, uint64_t connectionId);
    void Log(const std::string& line) const;

    Options options_;
    ReportStore store_;
    TcpServer server_;
    bool ok_ = false;
    std::string error_;

    std::atomic<uint64_t> storedMessages_{0};
    std::atomic<uint64_t> refused_{0};
    mutable std::mutex mutex_;
    mutable std::condition_variable stored_;
};

}  // namespace tev::tools
