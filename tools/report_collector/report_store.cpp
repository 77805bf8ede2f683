#include "report_collector/report_store.h"

#include <cstdio>
#include <ctime>

#include "report_collector/postgres_store.h"
#include "report_collector/sqlite_store.h"

namespace tev::tools {

bool IsPostgresLocation(const std::string& location) {
    return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

std::unique_ptr<ReportStore> OpenReportStore(const std::string& location, std::string* error) {
    if (location.empty()) {
        *error = "no store given";
        return nullptr;
    }
    if (IsPostgresLocation(location)) {
        return PostgresReportStore::Open(location, error);
    }
    return SqliteReportStore::Open(location, error);
}

std::vector<StoredReport> ReadReports(const std::string& location) {
    if (!IsPostgresLocation(location)) {
        return ReadSqliteReports(location);
    }
    std::string error;
    const std::unique_ptr<ReportStore> store = OpenReportStore(location, &error);
    return store == nullptr ? std::vector<StoredReport>() : store->ReadAll();
}

std::vector<StoredReport> ReadReportsFile(const std::string& path) {
    return ReadSqliteReports(path);
}

std::string FormatUtcMilliseconds(int64_t ms) {
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(ms % 1000));
    return text;
}

}  // namespace tev::tools
