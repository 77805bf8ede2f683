// The statistics report messages as they travel between the downloader and the report
// collector, without sockets. A message is a 14-byte little-endian header (category u16, type u16,
// u32 zero, u16 zero, u32 length) and length bytes: the payload followed by the zero bytes that
// make 14 + length a multiple of 8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tev::tools {

constexpr uint16_t kReportPort = 54547;
constexpr uint16_t kAgentCategory = 0x0300;
constexpr uint16_t kReportMessageType = 0x9A;  // downloader -> collector: a block of records
constexpr uint16_t kReportAckType = 0x83;      // collector -> downloader: one per report
// downloader -> collector: one job's summary (JobReport). A collector that does not know it
// refuses it from the header and closes, after answering every message before it.
constexpr uint16_t kJobReportType = 0x9B;
constexpr size_t kStreamHeaderSize = 14;
constexpr size_t kReportRecordSize = 298;
constexpr size_t kServiceIdField = 33;
constexpr size_t kUrlField = 256;
// Near the real need: a job's report carries one record per file that received bytes, and 1 MiB
// holds 3,518 of them. A larger length is refused from the header.
constexpr uint32_t kMaxReportLength = 1024 * 1024;
// The downloader's reporter only needs an acknowledgement to arrive; 0 says "stored".
constexpr uint8_t kReportAckStored = 0;

// One file's statistics: service id (at most 32 bytes), URL text (at most 255 bytes), the bytes
// received for it in the session, and the record's trailing marker byte (1).
struct ReportRecord {
    std::string serviceId{};
    std::string url{};
    int64_t bytes = 0;
    uint8_t marker = 1;
};

// 14 + length rounded up to a multiple of 8, minus 14: the header's length field for a payload.
uint32_t PaddedLength(uint32_t payloadLength);

// One job's summary, whichever path carried it. Wire form (little-endian): u16 format (1), u8
// path, u8 outcome, u32 files, u32 files completed, u32 connections, u64 duration in ms, i64
// bytes from the servers, i64 bytes from peers, i64 the job's total size, then five texts, each
// a u16 length and its bytes (no NUL): service id, URL, mirror, engine version, failure. A later
// format may append fields after the texts; this one ignores them.
enum class JobPath : uint8_t { Engine = 1, Direct = 2 };
enum class JobOutcome : uint8_t { Completed = 1, Failed = 2, Stopped = 3, Moved = 4 };
constexpr size_t kJobReportFixedSize = 48;
constexpr size_t kJobServiceIdMax = 32;
constexpr size_t kJobUrlMax = 2048;
constexpr size_t kJobMirrorMax = 255;
constexpr size_t kJobEngineVersionMax = 32;
constexpr size_t kJobFailureMax = 1024;
// Room for the fixed part and every text at its longest, and a little for a later format.
constexpr uint32_t kMaxJobReportLength = 4096;

struct JobReport {
    uint16_t format = 1;
    JobPath path = JobPath::Engine;
    JobOutcome outcome = JobOutcome::Completed;
    uint32_t files = 0;
    uint32_t filesCompleted = 0;
    uint32_t connections = 0;
    uint64_t durationMs = 0;
    int64_t bytesFromServers = 0;
    int64_t bytesFromPeers = 0;
    int64_t totalBytes = 0;
    std::string serviceId{};
    std::string url{};            // the job's first file URL as added, or the one that failed
    std::string mirror{};         // the URL (or host) that carried the bytes; empty when unknown
    std::string engineVersion{};  // empty on the direct path
    std::string failure{};        // the failure text; empty unless failed
};

const char* JobPathName(JobPath path);
const char* JobOutcomeName(JobOutcome outcome);

// The payload of a job report (texts cut to their limits) and the whole message.
std::string EncodeJobReport(const JobReport& report);
std::string BuildJobReportMessage(const JobReport& report);

// The most memory one parsed report of count records takes: the records with their texts (each
// text at most a field's width, plus the allocator's own bytes) and the message around them. The
// collector's memory budget counts a message by this figure until its answer is out.
constexpr size_t kParsedMessageBytes = 256;
constexpr size_t kParsedRecordBytes = sizeof(ReportRecord) + kServiceIdField + kUrlField + 2 * 16;
constexpr size_t ParsedReportBytes(uint32_t count) {
    return kParsedMessageBytes + size_t{count} * kParsedRecordBytes;
}

// A whole message with the given category, type and payload, padded with zeros.
std::string BuildStreamMessage(uint16_t category, uint16_t type, std::string_view payload);

// The 298-byte wire form of a record; longer texts are cut so the terminating NUL always fits.
std::string EncodeReportRecord(const ReportRecord& record);

// A report message (0x0300/0x9A): u32 count, then count records.
std::string BuildReportMessage(const std::vector<ReportRecord>& records);

// The acknowledgement message (0x0300/0x83) with one payload byte.
std::string BuildReportAck(uint8_t code = kReportAckStored);

struct ReportParse {
    enum Status {
        NeedMore,   // no complete message at the front yet
        Report,     // one message: records filled, consumed bytes to drop
        Malformed,  // the stream cannot be a report stream: close the connection
    };
    Status status = NeedMore;
    size_t consumed = 0;
    std::vector<ReportRecord> records;
    bool isJob = false;  // a job report: job is filled, records empty
    JobReport job;
    std::string error;  // why, for Malformed
};

// What the header at the front of bytes announces, before the payload has arrived.
struct ReportHeader {
    enum Status {
        NeedMore,   // fewer than 14 bytes
        Known,      // a report message of size bytes in all, holding records records
        Malformed,  // the stream cannot be a report stream
    };
    Status status = NeedMore;
    size_t size = 0;
    uint32_t records = 0;
    uint16_t type = 0;
    std::string error;  // why, for Malformed
};

// Checks the header at the front of bytes (and the record count once it has arrived). Without
// acceptJobReports a job report is refused like any other unknown message, as collectors that
// came before it do.
ReportHeader InspectReportHeader(std::string_view bytes, bool acceptJobReports = true);

// Looks at the message at the front of bytes. Malformed is answered as early as the bytes allow
// (a bad header before its payload has arrived), so a peer cannot make the collector wait for or
// buffer a frame it would refuse anyway.
ReportParse ParseReportMessage(std::string_view bytes, bool acceptJobReports = true);

}  // namespace tev::tools
