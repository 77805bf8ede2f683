#include "report_collector/postgres_store.h"

#include <algorithm>
#include <cstdlib>

#include "report_collector/report_rollup.h"

namespace tev::tools {

namespace {

// Taken around the schema set-up, so collectors starting together do not race to create it.
constexpr const char* kSchema =
    "BEGIN;"
    "SELECT pg_advisory_xact_lock(54547);"
    "CREATE SEQUENCE IF NOT EXISTS reports_message_seq;"
    "CREATE TABLE IF NOT EXISTS reports ("
    " id BIGSERIAL PRIMARY KEY,"
    " message_id BIGINT NOT NULL,"
    " record_index INTEGER NOT NULL,"
    " received_at TEXT NOT NULL,"
    " received_at_ms BIGINT NOT NULL,"
    " peer_address TEXT NOT NULL,"
    " peer_port INTEGER NOT NULL,"
    " service_id TEXT NOT NULL,"
    " url TEXT NOT NULL,"
    " bytes BIGINT NOT NULL,"
    " marker SMALLINT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS reports_message ON reports(message_id);"
    "ALTER TABLE reports ADD COLUMN IF NOT EXISTS server_host TEXT NOT NULL DEFAULT '';";

std::string JobSchema() {
    return std::string("CREATE TABLE IF NOT EXISTS jobs (id BIGSERIAL PRIMARY KEY,") + kJobColumns +
           ");"
           "CREATE INDEX IF NOT EXISTS jobs_received ON jobs(received_at_ms);" +
           kRollupSchema + "COMMIT;";
}

constexpr const char* kCopy =
    "COPY reports (message_id, record_index, received_at, received_at_ms, peer_address,"
    " peer_port, service_id, url, bytes, marker, server_host) FROM STDIN";

constexpr const char* kSelectAll =
    "SELECT id, message_id, record_index, received_at, received_at_ms, peer_address, peer_port,"
    " service_id, url, bytes, marker FROM reports ORDER BY id";

constexpr size_t kCopyChunk = 1 << 20;

// Frees a result on every path out of a function.
class Result {
  public:
    explicit Result(PGresult* result) : result_(result) {}
    ~Result() { PQclear(result_); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    PGresult* get() const { return result_; }
    ExecStatusType Status() const { return PQresultStatus(result_); }

  private:
    PGresult* result_;
};

std::string ErrorOf(PGconn* connection) {
    std::string text = PQerrorMessage(connection);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text.empty() ? "unknown database error" : text;
}

bool Execute(PGconn* connection, const char* sql, std::string* error) {
    Result result(PQexec(connection, sql));
    if (result.Status() == PGRES_COMMAND_OK || result.Status() == PGRES_TUPLES_OK) {
        return true;
    }
    if (error != nullptr) {
        *error = ErrorOf(connection);
    }
    return false;
}

// A text field in COPY's text format: the separators and the escape character escaped.
void AppendCopyText(std::string& out, const std::string& text) {
    for (const char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out.push_back(c);
        }
    }
}

int64_t Integer(PGresult* result, int row, int column) {
    return std::strtoll(PQgetvalue(result, row, column), nullptr, 10);
}

std::string Text(PGresult* result, int row, int column) {
    return std::string(PQgetvalue(result, row, column),
                       static_cast<size_t>(PQgetlength(result, row, column)));
}

// Drains what a failed or finished command left, so the connection can take the next one.
void DrainResults(PGconn* connection) {
    while (PGresult* result = PQgetResult(connection)) {
        PQclear(result);
    }
}

}  // namespace

PostgresReportStore::PostgresReportStore(PGconn* connection) : connection_(connection) {
    description_ = std::string("postgresql://") + PQhost(connection_) + ":" + PQport(connection_) +
                   "/" + PQdb(connection_);
}

PostgresReportStore::~PostgresReportStore() {
    PQfinish(connection_);
}

std::unique_ptr<PostgresReportStore> PostgresReportStore::Open(const std::string& location,
                                                               std::string* error) {
    // A database that does not answer is given up after 10 seconds, unless the location says
    // otherwise (values of the location override these).
    const char* keywords[] = {"connect_timeout", "keepalives_idle", "application_name", "dbname",
                              nullptr};
    const char* values[] = {"10", "30", "tev-report-collector", location.c_str(), nullptr};
    PGconn* connection = PQconnectdbParams(keywords, values, 1);
    if (connection == nullptr) {
        *error = "cannot reach the database: no memory";
        return nullptr;
    }
    if (PQstatus(connection) != CONNECTION_OK) {
        *error = "cannot reach the database: " + ErrorOf(connection);
        PQfinish(connection);
        return nullptr;
    }
    std::string why;
    // The roll-ups' statements write texts as standard SQL literals.
    if (!Execute(connection, "SET client_min_messages = warning", &why) ||
        !Execute(connection, "SET standard_conforming_strings = on", &why) ||
        !Execute(connection, (std::string(kSchema) + JobSchema()).c_str(), &why)) {
        Execute(connection, "ROLLBACK", nullptr);
        *error = "cannot prepare the table reports: " + why;
        PQfinish(connection);
        return nullptr;
    }
    return std::unique_ptr<PostgresReportStore>(new PostgresReportStore(connection));
}

bool PostgresReportStore::Connected(std::string* error) const {
    if (PQstatus(connection_) == CONNECTION_OK) {
        return true;
    }
    PQreset(connection_);
    if (PQstatus(connection_) == CONNECTION_OK) {
        return true;
    }
    if (error != nullptr) {
        *error = "database connection lost: " + ErrorOf(connection_);
    }
    return false;
}

bool PostgresReportStore::Insert(const std::vector<ReportMessage>& messages, std::string* error) {
    std::lock_guard lock(mutex_);
    size_t numbered = 0;
    size_t jobs = 0;
    for (const ReportMessage& message : messages) {
        numbered += message.records.empty() ? 0 : 1;
        jobs += message.isJob ? 1 : 0;
    }
    if (numbered == 0 && jobs == 0) {
        return true;
    }
    if (!Connected(error)) {
        return false;
    }
    if (!InsertLocked(messages, numbered, error)) {
        DrainResults(connection_);
        Execute(connection_, "ROLLBACK", nullptr);
        return false;
    }
    return true;
}

bool PostgresReportStore::InsertLocked(const std::vector<ReportMessage>& messages, size_t numbered,
                                       std::string* error) {
    if (!Execute(connection_, "BEGIN", error)) {
        return false;
    }
    if (numbered > 0 && !CopyRecords(messages, numbered, error)) {
        return false;
    }
    for (const std::string& statement : RollupStatements(messages)) {
        if (!Execute(connection_, statement.c_str(), error)) {
            return false;
        }
    }
    return Execute(connection_, "COMMIT", error);
}

bool PostgresReportStore::CopyRecords(const std::vector<ReportMessage>& messages, size_t numbered,
                                      std::string* error) {
    std::vector<int64_t> ids;
    {
        const std::string sql = "SELECT nextval('reports_message_seq') FROM generate_series(1, " +
                                std::to_string(numbered) + ")";
        Result result(PQexec(connection_, sql.c_str()));
        if (result.Status() != PGRES_TUPLES_OK ||
            static_cast<size_t>(PQntuples(result.get())) != numbered) {
            *error = ErrorOf(connection_);
            return false;
        }
        for (int row = 0; row < PQntuples(result.get()); ++row) {
            ids.push_back(Integer(result.get(), row, 0));
        }
        std::sort(ids.begin(), ids.end());
    }
    {
        Result result(PQexec(connection_, kCopy));
        if (result.Status() != PGRES_COPY_IN) {
            *error = ErrorOf(connection_);
            return false;
        }
    }
    std::string rows;
    const auto flush = [&] {
        const bool sent =
            PQputCopyData(connection_, rows.data(), static_cast<int>(rows.size())) == 1;
        rows.clear();
        return sent;
    };
    size_t next = 0;
    for (const ReportMessage& message : messages) {
        if (message.records.empty()) {
            continue;
        }
        const std::string messageId = std::to_string(ids[next++]);
        const std::string receivedAt = FormatUtcMilliseconds(message.receivedAtMs);
        const std::string common = receivedAt + "\t" + std::to_string(message.receivedAtMs) + "\t";
        std::string peer;
        AppendCopyText(peer, message.peerAddress);
        peer += "\t" + std::to_string(message.peerPort) + "\t";
        for (size_t i = 0; i < message.records.size(); ++i) {
            const ReportRecord& record = message.records[i];
            rows += messageId;
            rows += '\t';
            rows += std::to_string(i);
            rows += '\t';
            rows += common;
            rows += peer;
            AppendCopyText(rows, StoredText(record.serviceId));
            rows += '\t';
            AppendCopyText(rows, StoredText(record.url));
            rows += '\t';
            rows += std::to_string(record.bytes);
            rows += '\t';
            rows += std::to_string(record.marker);
            rows += '\t';
            AppendCopyText(rows, ServerHostOf(record.url));
            rows += '\n';
            if (rows.size() >= kCopyChunk && !flush()) {
                *error = ErrorOf(connection_);
                PQputCopyEnd(connection_, "not sent");
                return false;
            }
        }
    }
    if ((!rows.empty() && !flush()) || PQputCopyEnd(connection_, nullptr) != 1) {
        *error = ErrorOf(connection_);
        return false;
    }
    {
        Result result(PQgetResult(connection_));
        if (result.Status() != PGRES_COMMAND_OK) {
            *error = ErrorOf(connection_);
            return false;
        }
    }
    DrainResults(connection_);
    return true;
}

bool PostgresReportStore::Reachable() const {
    std::lock_guard lock(mutex_);
    return PQstatus(connection_) == CONNECTION_OK;
}

int64_t PostgresReportStore::Count(std::string* error) const {
    std::lock_guard lock(mutex_);
    if (!Connected(error)) {
        return -1;
    }
    Result result(PQexec(connection_, "SELECT COUNT(*) FROM reports"));
    if (result.Status() != PGRES_TUPLES_OK || PQntuples(result.get()) != 1) {
        if (error != nullptr) {
            *error = ErrorOf(connection_);
        }
        return -1;
    }
    return Integer(result.get(), 0, 0);
}

std::vector<StoredReport> PostgresReportStore::ReadAll(std::string* error) const {
    std::lock_guard lock(mutex_);
    std::vector<StoredReport> rows;
    if (!Connected(error)) {
        return rows;
    }
    Result result(PQexec(connection_, kSelectAll));
    if (result.Status() != PGRES_TUPLES_OK) {
        if (error != nullptr) {
            *error = ErrorOf(connection_);
        }
        return rows;
    }
    PGresult* r = result.get();
    for (int i = 0; i < PQntuples(r); ++i) {
        StoredReport row;
        row.id = Integer(r, i, 0);
        row.messageId = Integer(r, i, 1);
        row.recordIndex = Integer(r, i, 2);
        row.receivedAt = Text(r, i, 3);
        row.receivedAtMs = Integer(r, i, 4);
        row.peerAddress = Text(r, i, 5);
        row.peerPort = static_cast<uint16_t>(Integer(r, i, 6));
        row.serviceId = Text(r, i, 7);
        row.url = Text(r, i, 8);
        row.bytes = Integer(r, i, 9);
        row.marker = static_cast<uint8_t>(Integer(r, i, 10));
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<StoredJob> PostgresReportStore::ReadJobs(std::string* error) const {
    std::lock_guard lock(mutex_);
    std::vector<StoredJob> jobs;
    if (!Connected(error)) {
        return jobs;
    }
    Result result(PQexec(connection_,
                         "SELECT id, received_at_ms, peer_address, format, path, outcome, files,"
                         " files_completed, connections, duration_ms, bytes_server, bytes_peers,"
                         " total_bytes, service_id, url, mirror, engine_version, failure,"
                         " server_host FROM jobs ORDER BY id"));
    if (result.Status() != PGRES_TUPLES_OK) {
        if (error != nullptr) {
            *error = ErrorOf(connection_);
        }
        return jobs;
    }
    PGresult* r = result.get();
    for (int i = 0; i < PQntuples(r); ++i) {
        StoredJob row;
        row.id = Integer(r, i, 0);
        row.receivedAtMs = Integer(r, i, 1);
        row.peerAddress = Text(r, i, 2);
        JobReport& job = row.job;
        job.format = static_cast<uint16_t>(Integer(r, i, 3));
        job.path = Text(r, i, 4) == "engine" ? JobPath::Engine : JobPath::Direct;
        const std::string outcome = Text(r, i, 5);
        job.outcome = outcome == "completed" ? JobOutcome::Completed
                      : outcome == "failed"  ? JobOutcome::Failed
                      : outcome == "stopped" ? JobOutcome::Stopped
                                             : JobOutcome::Moved;
        job.files = static_cast<uint32_t>(Integer(r, i, 6));
        job.filesCompleted = static_cast<uint32_t>(Integer(r, i, 7));
        job.connections = static_cast<uint32_t>(Integer(r, i, 8));
        job.durationMs = static_cast<uint64_t>(Integer(r, i, 9));
        job.bytesFromServers = Integer(r, i, 10);
        job.bytesFromPeers = Integer(r, i, 11);
        job.totalBytes = Integer(r, i, 12);
        job.serviceId = Text(r, i, 13);
        job.url = Text(r, i, 14);
        job.mirror = Text(r, i, 15);
        job.engineVersion = Text(r, i, 16);
        job.failure = Text(r, i, 17);
        row.serverHost = Text(r, i, 18);
        jobs.push_back(std::move(row));
    }
    return jobs;
}

}  // namespace tev::tools
