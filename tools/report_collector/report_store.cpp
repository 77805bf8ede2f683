#include "report_collector/report_store.h"

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "report_collector/postgres_store.h"
#include "report_collector/sqlite_store.h"

namespace tev::tools {

namespace {

// The length of the valid UTF-8 sequence at the front of text (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF), or 0.
size_t Utf8SequenceAt(std::string_view text) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    size_t length = 0;
    uint8_t low = 0x80;
    uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string StoredText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const size_t length = Utf8SequenceAt(text);
        if (length > 0) {
            out.append(text.substr(0, length));
            text.remove_prefix(length);
            continue;
        }
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<uint8_t>(text[0]));
        out.append(escaped, 3);
        text.remove_prefix(1);
    }
    return out;
}

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

std::vector<StoredReport> ReadReports(const std::string& location, std::string* error) {
    if (!IsPostgresLocation(location)) {
        return ReadSqliteReports(location, error);
    }
    std::string why;
    const std::unique_ptr<ReportStore> store = OpenReportStore(location, &why);
    if (store == nullptr) {
        if (error != nullptr) {
            *error = why;
        }
        return {};
    }
    return store->ReadAll(error);
}

std::vector<StoredReport> ReadReportsFile(const std::string& path, std::string* error) {
    return ReadSqliteReports(path, error);
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
