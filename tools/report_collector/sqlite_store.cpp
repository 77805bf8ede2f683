#include "report_collector/sqlite_store.h"

#include <algorithm>

#include "report_collector/report_rollup.h"

namespace tev::tools {

namespace {

constexpr int kBusyTimeoutMs = 5000;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS reports ("
    " id INTEGER PRIMARY KEY,"
    " message_id INTEGER NOT NULL,"
    " record_index INTEGER NOT NULL,"
    " received_at TEXT NOT NULL,"
    " received_at_ms INTEGER NOT NULL,"
    " peer_address TEXT NOT NULL,"
    " peer_port INTEGER NOT NULL,"
    " service_id TEXT NOT NULL,"
    " url TEXT NOT NULL,"
    " bytes INTEGER NOT NULL,"
    " marker INTEGER NOT NULL,"
    " server_host TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX IF NOT EXISTS reports_message ON reports(message_id);";

// A file made before the server host had its column gets it (empty for the rows already there).
bool AddServerHostColumn(sqlite3* db, std::string* error);

constexpr const char* kSelectAll =
    "SELECT id, message_id, record_index, received_at, received_at_ms, peer_address, peer_port,"
    " service_id, url, bytes, marker FROM reports ORDER BY id";

// Finalises a statement on every path out of a function.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) {
        sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr);
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return statement_; }
    explicit operator bool() const { return statement_ != nullptr; }

  private:
    sqlite3_stmt* statement_ = nullptr;
};

std::string ColumnText(sqlite3_stmt* statement, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return text == nullptr
               ? std::string()
               : std::string(text, static_cast<size_t>(sqlite3_column_bytes(statement, column)));
}

void SetError(std::string* error, const std::string& text) {
    if (error != nullptr) {
        *error = text;
    }
}

std::vector<StoredReport> ReadRows(sqlite3* db, std::string* error) {
    std::vector<StoredReport> rows;
    Statement select(db, kSelectAll);
    if (!select) {
        SetError(error, sqlite3_errmsg(db));
        return rows;
    }
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(select.get())) == SQLITE_ROW) {
        sqlite3_stmt* s = select.get();
        StoredReport row;
        row.id = sqlite3_column_int64(s, 0);
        row.messageId = sqlite3_column_int64(s, 1);
        row.recordIndex = sqlite3_column_int64(s, 2);
        row.receivedAt = ColumnText(s, 3);
        row.receivedAtMs = sqlite3_column_int64(s, 4);
        row.peerAddress = ColumnText(s, 5);
        row.peerPort = static_cast<uint16_t>(sqlite3_column_int(s, 6));
        row.serviceId = ColumnText(s, 7);
        row.url = ColumnText(s, 8);
        row.bytes = sqlite3_column_int64(s, 9);
        row.marker = static_cast<uint8_t>(sqlite3_column_int(s, 10));
        rows.push_back(std::move(row));
    }
    if (step != SQLITE_DONE) {
        SetError(error, sqlite3_errmsg(db));
        rows.clear();
    }
    return rows;
}

// The first problem PRAGMA quick_check finds, or "" for a sound file. The check reads every page
// once (no index is compared with its table): about 0.4 s of CPU per million rows.
std::string QuickCheck(sqlite3* db) {
    Statement check(db, "PRAGMA quick_check(1)");
    if (!check) {
        return sqlite3_errmsg(db);
    }
    const int step = sqlite3_step(check.get());
    if (step != SQLITE_ROW) {
        return sqlite3_errmsg(db);
    }
    const std::string result = ColumnText(check.get(), 0);
    if (result == "ok") {
        return "";
    }
    // The first line that says something: "*** in database main ***" only names the schema.
    size_t start = 0;
    while (start < result.size()) {
        const size_t end = std::min(result.find('\n', start), result.size());
        const std::string line = result.substr(start, end - start);
        if (!line.empty() && !line.starts_with("***")) {
            return line;
        }
        start = end + 1;
    }
    return result;
}

bool Execute(sqlite3* db, const char* sql, std::string* error);

bool AddServerHostColumn(sqlite3* db, std::string* error) {
    bool present = false;
    {
        Statement columns(db, "PRAGMA table_info(reports)");
        if (!columns) {
            SetError(error, sqlite3_errmsg(db));
            return false;
        }
        while (sqlite3_step(columns.get()) == SQLITE_ROW) {
            present = present || ColumnText(columns.get(), 1) == "server_host";
        }
    }
    return present ||
           Execute(db, "ALTER TABLE reports ADD COLUMN server_host TEXT NOT NULL DEFAULT ''",
                   error);
}

bool CreateJobTables(sqlite3* db, std::string* error) {
    const std::string jobs =
        std::string("CREATE TABLE IF NOT EXISTS jobs (id INTEGER PRIMARY KEY,") + kJobColumns +
        ");"
        "CREATE INDEX IF NOT EXISTS jobs_received ON jobs(received_at_ms);";
    return Execute(db, jobs.c_str(), error) && Execute(db, kRollupSchema, error);
}

bool Execute(sqlite3* db, const char* sql, std::string* error) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) {
        return true;
    }
    if (error != nullptr) {
        *error = message != nullptr ? message : sqlite3_errmsg(db);
    }
    sqlite3_free(message);
    return false;
}

}  // namespace

SqliteReportStore::~SqliteReportStore() {
    sqlite3_close(db_);
}

std::unique_ptr<SqliteReportStore> SqliteReportStore::Open(const std::string& path,
                                                           std::string* error) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        *error = "cannot open " + path + ": " + (db != nullptr ? sqlite3_errmsg(db) : "no memory");
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // A damaged file would take writes and acknowledge them, and fail only when read: refuse it.
    const std::string damage = QuickCheck(db);
    if (!damage.empty()) {
        *error = "refusing " + path + ": the database is damaged: " + damage;
        sqlite3_close(db);
        return nullptr;
    }
    std::string why;
    if (!Execute(db, "PRAGMA journal_mode=WAL;", &why) ||
        !Execute(db, "PRAGMA synchronous=FULL;", &why) || !Execute(db, kSchema, &why) ||
        !AddServerHostColumn(db, &why) || !CreateJobTables(db, &why)) {
        *error = "cannot prepare " + path + ": " + why;
        sqlite3_close(db);
        return nullptr;
    }
    return std::unique_ptr<SqliteReportStore>(new SqliteReportStore(db, path));
}

bool SqliteReportStore::Insert(const std::vector<ReportMessage>& messages, std::string* error) {
    std::lock_guard lock(mutex_);
    if (messages.empty()) {
        return true;
    }
    // IMMEDIATE takes the write lock first, so the message numbers read below stay ours even
    // when another collector writes to the same file.
    if (!Execute(db_, "BEGIN IMMEDIATE;", error)) {
        return false;
    }
    const auto rollback = [&] {
        *error = sqlite3_errmsg(db_);
        Execute(db_, "ROLLBACK;", nullptr);
        return false;
    };
    int64_t messageId = 0;
    {
        Statement last(db_, "SELECT COALESCE(MAX(message_id), 0) FROM reports");
        if (!last || sqlite3_step(last.get()) != SQLITE_ROW) {
            return rollback();
        }
        messageId = sqlite3_column_int64(last.get(), 0);
    }
    Statement insert(db_,
                     "INSERT INTO reports (message_id, record_index, received_at, received_at_ms,"
                     " peer_address, peer_port, service_id, url, bytes, marker, server_host)"
                     " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    if (!insert) {
        return rollback();
    }
    sqlite3_stmt* s = insert.get();
    for (const ReportMessage& message : messages) {
        if (message.records.empty()) {
            continue;  // an empty report stores nothing and takes no number
        }
        ++messageId;
        const std::string receivedAt = FormatUtcMilliseconds(message.receivedAtMs);
        for (size_t i = 0; i < message.records.size(); ++i) {
            const ReportRecord& record = message.records[i];
            sqlite3_reset(s);
            sqlite3_bind_int64(s, 1, messageId);
            sqlite3_bind_int64(s, 2, static_cast<int64_t>(i));
            sqlite3_bind_text(s, 3, receivedAt.data(), static_cast<int>(receivedAt.size()),
                              SQLITE_STATIC);
            sqlite3_bind_int64(s, 4, message.receivedAtMs);
            sqlite3_bind_text(s, 5, message.peerAddress.data(),
                              static_cast<int>(message.peerAddress.size()), SQLITE_STATIC);
            sqlite3_bind_int(s, 6, message.peerPort);
            const std::string serviceId = StoredText(record.serviceId);
            const std::string url = StoredText(record.url);
            sqlite3_bind_text(s, 7, serviceId.data(), static_cast<int>(serviceId.size()),
                              SQLITE_STATIC);
            sqlite3_bind_text(s, 8, url.data(), static_cast<int>(url.size()), SQLITE_STATIC);
            sqlite3_bind_int64(s, 9, record.bytes);
            sqlite3_bind_int(s, 10, record.marker);
            const std::string host = ServerHostOf(record.url);
            sqlite3_bind_text(s, 11, host.data(), static_cast<int>(host.size()), SQLITE_STATIC);
            if (sqlite3_step(s) != SQLITE_DONE) {
                return rollback();
            }
        }
    }
    sqlite3_reset(s);
    for (const std::string& statement : RollupStatements(messages)) {
        if (!Execute(db_, statement.c_str(), error)) {
            Execute(db_, "ROLLBACK;", nullptr);
            return false;
        }
    }
    if (!Execute(db_, "COMMIT;", error)) {
        Execute(db_, "ROLLBACK;", nullptr);
        return false;
    }
    return true;
}

int64_t SqliteReportStore::Count(std::string* error) const {
    std::lock_guard lock(mutex_);
    Statement count(db_, "SELECT COUNT(*) FROM reports");
    if (!count || sqlite3_step(count.get()) != SQLITE_ROW) {
        SetError(error, sqlite3_errmsg(db_));
        return -1;
    }
    return sqlite3_column_int64(count.get(), 0);
}

std::vector<StoredReport> SqliteReportStore::ReadAll(std::string* error) const {
    std::lock_guard lock(mutex_);
    return ReadRows(db_, error);
}

std::vector<StoredJob> SqliteReportStore::ReadJobs(std::string* error) const {
    std::lock_guard lock(mutex_);
    std::vector<StoredJob> jobs;
    Statement select(db_,
                     "SELECT id, received_at_ms, peer_address, format, path, outcome, files,"
                     " files_completed, connections, duration_ms, bytes_server, bytes_peers,"
                     " total_bytes, service_id, url, mirror, engine_version, failure, server_host"
                     " FROM jobs ORDER BY id");
    if (!select) {
        SetError(error, sqlite3_errmsg(db_));
        return jobs;
    }
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(select.get())) == SQLITE_ROW) {
        sqlite3_stmt* q = select.get();
        StoredJob row;
        row.id = sqlite3_column_int64(q, 0);
        row.receivedAtMs = sqlite3_column_int64(q, 1);
        row.peerAddress = ColumnText(q, 2);
        JobReport& job = row.job;
        job.format = static_cast<uint16_t>(sqlite3_column_int(q, 3));
        job.path = ColumnText(q, 4) == "engine" ? JobPath::Engine : JobPath::Direct;
        const std::string outcome = ColumnText(q, 5);
        job.outcome = outcome == "completed" ? JobOutcome::Completed
                      : outcome == "failed"  ? JobOutcome::Failed
                      : outcome == "stopped" ? JobOutcome::Stopped
                                             : JobOutcome::Moved;
        job.files = static_cast<uint32_t>(sqlite3_column_int64(q, 6));
        job.filesCompleted = static_cast<uint32_t>(sqlite3_column_int64(q, 7));
        job.connections = static_cast<uint32_t>(sqlite3_column_int64(q, 8));
        job.durationMs = static_cast<uint64_t>(sqlite3_column_int64(q, 9));
        job.bytesFromServers = sqlite3_column_int64(q, 10);
        job.bytesFromPeers = sqlite3_column_int64(q, 11);
        job.totalBytes = sqlite3_column_int64(q, 12);
        job.serviceId = ColumnText(q, 13);
        job.url = ColumnText(q, 14);
        job.mirror = ColumnText(q, 15);
        job.engineVersion = ColumnText(q, 16);
        job.failure = ColumnText(q, 17);
        row.serverHost = ColumnText(q, 18);
        jobs.push_back(std::move(row));
    }
    if (step != SQLITE_DONE) {
        SetError(error, sqlite3_errmsg(db_));
        jobs.clear();
    }
    return jobs;
}

std::vector<StoredReport> ReadSqliteReports(const std::string& path, std::string* error) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        SetError(error,
                 "cannot open " + path + ": " + (db != nullptr ? sqlite3_errmsg(db) : "no memory"));
        sqlite3_close(db);
        return {};
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    std::vector<StoredReport> rows = ReadRows(db, error);
    sqlite3_close(db);
    return rows;
}

}  // namespace tev::tools
