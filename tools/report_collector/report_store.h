// ReportStore: the collector's SQLite file. One row per received record in the table "reports":
//
//   id             INTEGER PRIMARY KEY
//   message_id     INTEGER  the report message the record came in (1, 2, ... per file)
//   record_index   INTEGER  its position in that message, from 0
//   received_at    TEXT     UTC arrival time, "YYYY-MM-DDTHH:MM:SS.mmmZ"
//   received_at_ms INTEGER  the same in milliseconds since 1970
//   peer_address   TEXT     the sender's IPv4 address
//   peer_port      INTEGER  the sender's port
//   service_id     TEXT     the job's service identifier
//   url            TEXT     the file's URL text (up to its terminating NUL)
//   bytes          INTEGER  bytes received for the file in the session
//   marker         INTEGER  the record's last byte (1)
//
// The file is in WAL mode, so readers (a test, the sqlite3 shell) see committed reports while the
// collector keeps writing.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "report_collector/report_frame.h"

namespace tev::tools {

struct StoredReport {
    int64_t id = 0;
    int64_t messageId = 0;
    int64_t recordIndex = 0;
    std::string receivedAt;
    int64_t receivedAtMs = 0;
    std::string peerAddress;
    uint16_t peerPort = 0;
    std::string serviceId;
    std::string url;
    int64_t bytes = 0;
    uint8_t marker = 0;
};

class ReportStore {
  public:
    ReportStore() = default;
    ~ReportStore();
    ReportStore(const ReportStore&) = delete;
    ReportStore& operator=(const ReportStore&) = delete;

    // Opens or creates the file and its table. False with *error set when it cannot.
    bool Open(const std::string& path, std::string* error);

    // Stores the records of one message in one transaction; false (nothing stored) on failure.
    bool Insert(const std::vector<ReportRecord>& records, const std::string& peerAddress,
                uint16_t peerPort, int64_t receivedAtMs, std::string* error);

    int64_t Count() const;
    std::vector<StoredReport> ReadAll() const;

  private:
    // One connection shared by every connection thread; SQLite calls are serialised here.
    mutable std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

// Reads every row of the "reports" table of the file at path through a connection of its own,
// as any reader of the file would. Empty when the file cannot be read.
std::vector<StoredReport> ReadReportsFile(const std::string& path);

// "YYYY-MM-DDTHH:MM:SS.mmmZ" for milliseconds since 1970.
std::string FormatUtcMilliseconds(int64_t ms);

}  // namespace tev::tools
