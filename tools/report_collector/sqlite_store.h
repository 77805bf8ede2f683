// The SQLite file store. The file is in WAL mode, so readers (a test, the sqlite3 shell) see
// committed reports while the collector keeps writing; commits are synced (synchronous=FULL),
// so an acknowledged report survives a crash of the collector and of the machine.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "report_collector/report_store.h"

namespace tev::tools {

class SqliteReportStore final : public ReportStore {
  public:
    // Null with *error set when the file cannot be opened or prepared.
    static std::unique_ptr<SqliteReportStore> Open(const std::string& path, std::string* error);
    ~SqliteReportStore() override;

    bool Insert(const std::vector<ReportMessage>& messages, std::string* error) override;
    using ReportStore::Insert;
    int64_t Count(std::string* error) const override;
    std::vector<StoredReport> ReadAll(std::string* error) const override;
    std::vector<StoredJob> ReadJobs(std::string* error) const override;
    std::string Describe() const override { return path_; }

  private:
    SqliteReportStore(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}

    mutable std::mutex mutex_;
    sqlite3* db_ = nullptr;
    std::string path_;
};

// Every row of the file at path, through a read-only connection of its own; empty with *error
// set when it cannot be read.
std::vector<StoredReport> ReadSqliteReports(const std::string& path, std::string* error);

}  // namespace tev::tools
