// The job reports' table and the roll-ups both stores keep in the same transaction as the rows
// they sum, so a report page reads a few thousand roll-up rows instead of millions of reports.
//
//   jobs             one row per job report: received_at(_ms), peer_address, peer_port, format,
//                    path ("engine", "direct"), outcome ("completed", "failed", "stopped",
//                    "moved"), files, files_completed, connections, duration_ms, bytes_server,
//                    bytes_peers, total_bytes, service_id, url, server_host, mirror,
//                    engine_version, failure
//   rollup_hourly    per hour, path and outcome: jobs, bytes_server, bytes_peers
//   rollup_speed     per hour, path, server host and speed bucket: completed jobs that moved
//                    bytes. Bucket b holds speeds in [2^(b/16), 2^((b+1)/16)) bytes per second,
//                    so a percentile read from it (the bucket's geometric middle) is within
//                    2^(1/32) - 1 = 2.2 % of the exact one.
//   rollup_failures  per hour and (failure text, URL): failed jobs. The key is a 64-bit hash of
//                    the pair (a primary key over texts of up to 3 KiB is beyond PostgreSQL's
//                    index entries).
//   rollup_versions  per hour, path and engine version: jobs
//   rollup_files     per hour and server host: the direct downloader's file records and bytes
//
// Hours are UTC, hour_ms the first millisecond of the hour (received_at_ms rounded down). The
// server host of a job is that of the mirror when the sender names one, else that of the URL.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report_collector/report_frame.h"

namespace tev::tools {

struct ReportMessage;

constexpr int64_t kHourMs = 3600 * 1000;
constexpr int kSpeedBucketsPerDoubling = 16;
// The largest relative error of a percentile read from the speed roll-up.
constexpr double kSpeedPercentileError = 0.0219;

int64_t HourOf(int64_t ms);
// The bucket of a speed in bytes per second (speeds below 1 B/s go to bucket 0).
int SpeedBucket(double bytesPerSecond);
// The speed a bucket stands for: its geometric middle.
double SpeedOfBucket(int bucket);
// A completed job's speed in bytes per second, or a negative value when it has none (nothing
// moved, or no time passed).
double JobSpeed(const JobReport& job);

// The host of a URL's first alternative ("http://User@Mirror.example:8080/a|..." gives
// "mirror.example"; a bare host is taken as it is), lower-case, as StoredText keeps it.
std::string ServerHostOf(std::string_view url);
// The server host a job report is counted under.
std::string JobServerHost(const JobReport& job);

// A text as an SQL literal ('...' with quotes doubled), for both SQLite and PostgreSQL (whose
// standard_conforming_strings is on).
std::string SqlText(std::string_view text);

// The roll-up tables (the same statements for both stores).
extern const char* const kRollupSchema;
// The columns of "jobs" after its id, as CREATE TABLE writes them.
extern const char* const kJobColumns;

// The statements that add messages to the roll-ups (and the job reports to "jobs"): one
// statement per table, the messages summed first. Empty when there is nothing to add.
std::vector<std::string> RollupStatements(const std::vector<ReportMessage>& messages);

}  // namespace tev::tools
