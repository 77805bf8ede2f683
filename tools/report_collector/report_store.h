// ReportStore: where the collector keeps the records it acknowledges. One row per received record
// in the table "reports", the same in every store:
//
//   id             integer primary key
//   message_id     the report message the record came in (1, 2, ... per store)
//   record_index   its position in that message, from 0
//   received_at    text, UTC arrival time, "YYYY-MM-DDTHH:MM:SS.mmmZ"
//   received_at_ms the same in milliseconds since 1970
//   peer_address   text, the sender's IPv4 address
//   peer_port      the sender's port
//   service_id     text, the job's service identifier
//   url            text, the file's URL text (up to its terminating NUL)
//
// Both texts are kept as StoredText() makes them, the same in every store.
//   bytes          bytes received for the file in the session
//   marker         the record's last byte (1)
//   server_host    the host of the URL's first alternative, lower-case ("" when it names none)
//
// Job reports go to the table "jobs", and every stored report updates the roll-ups in the same
// transaction (report_rollup.h).
// Two stores: an SQLite file (the embedded default) and a PostgreSQL database, chosen by the
// location: "postgresql://..." (or "postgres://...") names a database, anything else a file.
// Several collectors may write to one PostgreSQL database; message numbers then come from a
// sequence of the database, so they stay unique across collectors.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
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

// One report message as received: its records (or, for a job report, the job's summary) and
// where and when it came from.
struct ReportMessage {
    std::vector<ReportRecord> records;
    std::string peerAddress;
    uint16_t peerPort = 0;
    int64_t receivedAtMs = 0;
    bool isJob = false;
    JobReport job{};
};

// One stored job report: the table "jobs" (see report_rollup.h).
struct StoredJob {
    int64_t id = 0;
    int64_t receivedAtMs = 0;
    std::string peerAddress;
    JobReport job;
    std::string serverHost;
};

// Every call is safe from any thread; a store serialises its own calls.
class ReportStore {
  public:
    virtual ~ReportStore() = default;

    // Stores the messages in one transaction, each under a message number of its own, in order:
    // all of them or, on failure (false, *error set), none.
    virtual bool Insert(const std::vector<ReportMessage>& messages, std::string* error) = 0;

    // The number of rows, or -1 with *error set when the store cannot be read (a damaged file
    // is an error, never 0 rows).
    virtual int64_t Count(std::string* error = nullptr) const = 0;
    // Every row in order; empty with *error set when the store cannot be read whole.
    virtual std::vector<StoredReport> ReadAll(std::string* error = nullptr) const = 0;
    // Every job report in order; empty with *error set when the store cannot be read.
    virtual std::vector<StoredJob> ReadJobs(std::string* error = nullptr) const {
        if (error != nullptr) {
            *error = "this store keeps no job reports";
        }
        return {};
    }
    // Names the store for log lines (never a password).
    virtual std::string Describe() const = 0;
    // False while the store is known to be out of reach (a lost database connection), when
    // trying its messages one by one would only fail again, each after its own wait.
    virtual bool Reachable() const { return true; }

    // One message in a transaction of its own.
    bool Insert(const ReportMessage& message, std::string* error) {
        return Insert(std::vector<ReportMessage>{message}, error);
    }
};

// A record's text as every store keeps it: valid UTF-8 as it came, and each byte that is not part
// of a valid UTF-8 sequence written as "%XX" (upper-case hex), the way URLs write bytes. A sender
// in an ANSI code page ("caf\xE9") thus loses no record and no byte ("caf%E9"), and no database
// refuses the text.
std::string StoredText(std::string_view text);

bool IsPostgresLocation(const std::string& location);

// Opens (creating the table when missing) the store at location. Null with *error set when it
// cannot.
std::unique_ptr<ReportStore> OpenReportStore(const std::string& location, std::string* error);

// Every row of the store at location, read through a connection of its own as any other reader
// of the store would. Empty, with *error set, when it cannot be read.
std::vector<StoredReport> ReadReports(const std::string& location, std::string* error = nullptr);

// The same for an SQLite file.
std::vector<StoredReport> ReadReportsFile(const std::string& path, std::string* error = nullptr);

// "YYYY-MM-DDTHH:MM:SS.mmmZ" for milliseconds since 1970.
std::string FormatUtcMilliseconds(int64_t ms);

}  // namespace tev::tools
