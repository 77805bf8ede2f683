// The PostgreSQL store: the table "reports" in the database a "postgresql://" location names,
// created (with the sequence of message numbers) when missing. Each group of messages is one
// transaction that copies its rows in with COPY; a lost database connection is opened again on
// the next write.
#pragma once

#include <libpq-fe.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "report_collector/report_store.h"

namespace tev::tools {

class PostgresReportStore final : public ReportStore {
  public:
    // Null with *error set when the database cannot be reached or prepared.
    static std::unique_ptr<PostgresReportStore> Open(const std::string& location,
                                                     std::string* error);
    ~PostgresReportStore() override;

    bool Insert(const std::vector<ReportMessage>& messages, std::string* error) override;
    using ReportStore::Insert;
    int64_t Count(std::string* error) const override;
    std::vector<StoredReport> ReadAll(std::string* error) const override;
    std::vector<StoredJob> ReadJobs(std::string* error) const override;
    std::string Describe() const override { return description_; }
    bool Reachable() const override;

  private:
    explicit PostgresReportStore(PGconn* connection);
    bool Connected(std::string* error) const;
    // Stores the messages and their roll-ups inside one transaction, left for the caller to
    // roll back on failure.
    bool InsertLocked(const std::vector<ReportMessage>& messages, size_t numbered,
                      std::string* error);
    // Numbers the non-empty record messages (numbered of them) and copies their rows in.
    bool CopyRecords(const std::vector<ReportMessage>& messages, size_t numbered,
                     std::string* error);

    mutable std::mutex mutex_;
    PGconn* connection_ = nullptr;
    std::string description_;
};

}  // namespace tev::tools
