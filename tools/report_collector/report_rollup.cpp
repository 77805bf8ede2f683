#include "report_collector/report_rollup.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>

#include "report_collector/report_store.h"

namespace tev::tools {

const char* const kRollupSchema =
    "CREATE TABLE IF NOT EXISTS rollup_hourly ("
    " hour_ms BIGINT NOT NULL, path TEXT NOT NULL, outcome TEXT NOT NULL,"
    " jobs BIGINT NOT NULL, bytes_server BIGINT NOT NULL, bytes_peers BIGINT NOT NULL,"
    " PRIMARY KEY (hour_ms, path, outcome));"
    "CREATE TABLE IF NOT EXISTS rollup_speed ("
    " hour_ms BIGINT NOT NULL, path TEXT NOT NULL, server_host TEXT NOT NULL,"
    " bucket INTEGER NOT NULL, jobs BIGINT NOT NULL,"
    " PRIMARY KEY (hour_ms, path, server_host, bucket));"
    "CREATE TABLE IF NOT EXISTS rollup_failures ("
    " hour_ms BIGINT NOT NULL, pair_key BIGINT NOT NULL, failure TEXT NOT NULL,"
    " url TEXT NOT NULL, jobs BIGINT NOT NULL, PRIMARY KEY (hour_ms, pair_key));"
    "CREATE TABLE IF NOT EXISTS rollup_versions ("
    " hour_ms BIGINT NOT NULL, path TEXT NOT NULL, engine_version TEXT NOT NULL,"
    " jobs BIGINT NOT NULL, PRIMARY KEY (hour_ms, path, engine_version));"
    "CREATE TABLE IF NOT EXISTS rollup_files ("
    " hour_ms BIGINT NOT NULL, server_host TEXT NOT NULL, records BIGINT NOT NULL,"
    " bytes BIGINT NOT NULL, PRIMARY KEY (hour_ms, server_host));";

const char* const kJobColumns =
    " received_at TEXT NOT NULL, received_at_ms BIGINT NOT NULL, peer_address TEXT NOT NULL,"
    " peer_port INTEGER NOT NULL, format INTEGER NOT NULL, path TEXT NOT NULL,"
    " outcome TEXT NOT NULL, files BIGINT NOT NULL, files_completed BIGINT NOT NULL,"
    " connections BIGINT NOT NULL, duration_ms BIGINT NOT NULL, bytes_server BIGINT NOT NULL,"
    " bytes_peers BIGINT NOT NULL, total_bytes BIGINT NOT NULL, service_id TEXT NOT NULL,"
    " url TEXT NOT NULL, server_host TEXT NOT NULL, mirror TEXT NOT NULL,"
    " engine_version TEXT NOT NULL, failure TEXT NOT NULL";

int64_t HourOf(int64_t ms) {
    const int64_t rest = ms % kHourMs;
    return ms - (rest < 0 ? rest + kHourMs : rest);
}

int SpeedBucket(double bytesPerSecond) {
    if (!(bytesPerSecond >= 1.0)) {
        return 0;
    }
    return static_cast<int>(std::floor(std::log2(bytesPerSecond) * kSpeedBucketsPerDoubling));
}

double SpeedOfBucket(int bucket) {
    return std::exp2((bucket + 0.5) / kSpeedBucketsPerDoubling);
}

double JobSpeed(const JobReport& job) {
    const int64_t bytes = job.bytesFromServers + job.bytesFromPeers;
    if (job.outcome != JobOutcome::Completed || bytes <= 0 || job.durationMs == 0) {
        return -1.0;
    }
    return static_cast<double>(bytes) * 1000.0 / static_cast<double>(job.durationMs);
}

std::string ServerHostOf(std::string_view url) {
    std::string_view text = url.substr(0, url.find('|'));
    const size_t scheme = text.find("://");
    if (scheme != std::string_view::npos) {
        text = text.substr(scheme + 3);
    }
    text = text.substr(0, text.find_first_of("/?#"));
    const size_t at = text.rfind('@');
    if (at != std::string_view::npos) {
        text = text.substr(at + 1);
    }
    if (!text.empty() && text.front() == '[') {
        text = text.substr(
            0, text.find(']') == std::string_view::npos ? text.size() : text.find(']') + 1);
    } else {
        text = text.substr(0, text.find(':'));
    }
    std::string host(text);
    std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return StoredText(host);
}

std::string JobServerHost(const JobReport& job) {
    return ServerHostOf(job.mirror.empty() ? job.url : job.mirror);
}

std::string SqlText(std::string_view text) {
    std::string out = "'";
    for (const char c : text) {
        out += c;
        if (c == '\'') {
            out += '\'';
        }
    }
    out += '\'';
    return out;
}

namespace {

// FNV-1a over the failure and the URL, as a signed 64-bit key.
int64_t PairKey(const std::string& failure, const std::string& url) {
    uint64_t hash = 14695981039346656037ull;
    const auto add = [&](const std::string& text) {
        for (const char c : text) {
            hash ^= static_cast<uint8_t>(c);
            hash *= 1099511628211ull;
        }
    };
    add(failure);
    add(std::string(1, '\0'));
    add(url);
    return static_cast<int64_t>(hash);
}

std::string Number(int64_t value) {
    return std::to_string(value);
}

// "INSERT INTO table (columns) VALUES rows ON CONFLICT (keys) DO UPDATE SET sums".
std::string Upsert(const std::string& table, const std::string& columns, const std::string& keys,
                   const std::vector<std::string>& sums, const std::vector<std::string>& rows) {
    std::string sql = "INSERT INTO " + table + " (" + columns + ") VALUES ";
    for (size_t i = 0; i < rows.size(); ++i) {
        sql += (i == 0 ? "(" : ",(") + rows[i] + ")";
    }
    sql += " ON CONFLICT (" + keys + ") DO UPDATE SET ";
    for (size_t i = 0; i < sums.size(); ++i) {
        sql += (i == 0 ? "" : ", ") + sums[i] + " = " + table + "." + sums[i] + " + excluded." +
               sums[i];
    }
    return sql;
}

}  // namespace

std::vector<std::string> RollupStatements(const std::vector<ReportMessage>& messages) {
    struct Hourly {
        int64_t jobs = 0, server = 0, peers = 0;
    };
    struct Failure {
        std::string failure, url;
        int64_t jobs = 0;
    };
    std::map<std::tuple<int64_t, std::string, std::string>, Hourly> hourly;
    std::map<std::tuple<int64_t, std::string, std::string, int>, int64_t> speed;
    std::map<std::pair<int64_t, int64_t>, Failure> failures;
    std::map<std::tuple<int64_t, std::string, std::string>, int64_t> versions;
    std::map<std::pair<int64_t, std::string>, std::pair<int64_t, int64_t>> files;
    std::vector<std::string> jobRows;
    for (const ReportMessage& message : messages) {
        const int64_t hour = HourOf(message.receivedAtMs);
        if (!message.isJob) {
            for (const ReportRecord& record : message.records) {
                auto& sum = files[{hour, ServerHostOf(record.url)}];
                sum.first += 1;
                sum.second += record.bytes;
            }
            continue;
        }
        const JobReport& job = message.job;
        const std::string path = JobPathName(job.path);
        const std::string host = JobServerHost(job);
        const std::string url = StoredText(job.url);
        const std::string failure = StoredText(job.failure);
        const std::string version = StoredText(job.engineVersion);
        Hourly& h = hourly[{hour, path, JobOutcomeName(job.outcome)}];
        h.jobs += 1;
        h.server += job.bytesFromServers;
        h.peers += job.bytesFromPeers;
        const double bytesPerSecond = JobSpeed(job);
        if (bytesPerSecond >= 0) {
            speed[{hour, path, host, SpeedBucket(bytesPerSecond)}] += 1;
        }
        if (job.outcome == JobOutcome::Failed) {
            Failure& f = failures[{hour, PairKey(failure, url)}];
            f.failure = failure;
            f.url = url;
            f.jobs += 1;
        }
        versions[{hour, path, version}] += 1;
        jobRows.push_back(
            SqlText(FormatUtcMilliseconds(message.receivedAtMs)) + "," +
            Number(message.receivedAtMs) + "," + SqlText(message.peerAddress) + "," +
            Number(message.peerPort) + "," + Number(job.format) + "," + SqlText(path) + "," +
            SqlText(JobOutcomeName(job.outcome)) + "," + Number(job.files) + "," +
            Number(job.filesCompleted) + "," + Number(job.connections) + "," +
            Number(static_cast<int64_t>(job.durationMs)) + "," + Number(job.bytesFromServers) +
            "," + Number(job.bytesFromPeers) + "," + Number(job.totalBytes) + "," +
            SqlText(StoredText(job.serviceId)) + "," + SqlText(url) + "," + SqlText(host) + "," +
            SqlText(StoredText(job.mirror)) + "," + SqlText(version) + "," + SqlText(failure));
    }
    std::vector<std::string> statements;
    if (!jobRows.empty()) {
        std::string sql =
            "INSERT INTO jobs (received_at, received_at_ms, peer_address, peer_port, format, path,"
            " outcome, files, files_completed, connections, duration_ms, bytes_server,"
            " bytes_peers, total_bytes, service_id, url, server_host, mirror, engine_version,"
            " failure) VALUES ";
        for (size_t i = 0; i < jobRows.size(); ++i) {
            sql += (i == 0 ? "(" : ",(") + jobRows[i] + ")";
        }
        statements.push_back(std::move(sql));
    }
    std::vector<std::string> rows;
    for (const auto& [key, sum] : hourly) {
        rows.push_back(Number(std::get<0>(key)) + "," + SqlText(std::get<1>(key)) + "," +
                       SqlText(std::get<2>(key)) + "," + Number(sum.jobs) + "," +
                       Number(sum.server) + "," + Number(sum.peers));
    }
    if (!rows.empty()) {
        statements.push_back(
            Upsert("rollup_hourly", "hour_ms, path, outcome, jobs, bytes_server, bytes_peers",
                   "hour_ms, path, outcome", {"jobs", "bytes_server", "bytes_peers"}, rows));
    }
    rows.clear();
    for (const auto& [key, jobs] : speed) {
        rows.push_back(Number(std::get<0>(key)) + "," + SqlText(std::get<1>(key)) + "," +
                       SqlText(std::get<2>(key)) + "," + Number(std::get<3>(key)) + "," +
                       Number(jobs));
    }
    if (!rows.empty()) {
        statements.push_back(Upsert("rollup_speed", "hour_ms, path, server_host, bucket, jobs",
                                    "hour_ms, path, server_host, bucket", {"jobs"}, rows));
    }
    rows.clear();
    for (const auto& [key, f] : failures) {
        rows.push_back(Number(key.first) + "," + Number(key.second) + "," + SqlText(f.failure) +
                       "," + SqlText(f.url) + "," + Number(f.jobs));
    }
    if (!rows.empty()) {
        statements.push_back(Upsert("rollup_failures", "hour_ms, pair_key, failure, url, jobs",
                                    "hour_ms, pair_key", {"jobs"}, rows));
    }
    rows.clear();
    for (const auto& [key, jobs] : versions) {
        rows.push_back(Number(std::get<0>(key)) + "," + SqlText(std::get<1>(key)) + "," +
                       SqlText(std::get<2>(key)) + "," + Number(jobs));
    }
    if (!rows.empty()) {
        statements.push_back(Upsert("rollup_versions", "hour_ms, path, engine_version, jobs",
                                    "hour_ms, path, engine_version", {"jobs"}, rows));
    }
    rows.clear();
    for (const auto& [key, sum] : files) {
        rows.push_back(Number(key.first) + "," + SqlText(key.second) + "," + Number(sum.first) +
                       "," + Number(sum.second));
    }
    if (!rows.empty()) {
        statements.push_back(Upsert("rollup_files", "hour_ms, server_host, records, bytes",
                                    "hour_ms, server_host", {"records", "bytes"}, rows));
    }
    return statements;
}

}  // namespace tev::tools
