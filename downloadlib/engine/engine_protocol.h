// The local engine protocol: records, and their payload bytes in both directions.
//
// Sans-I/O and free of the rest of the library, so the library's client layer and the engine
// program share one codec and cannot disagree about a byte. docs/internals/engine-protocol.md
// says who sends what, when, and what our engine means by each value.
//
// Conventions of the wire: numbers are unsigned little-endian; a "text of n" is an n-byte field
// holding a NUL-terminated text followed by zero bytes; a "variable text" is a NUL-terminated
// text of its own length. Every message is framed as a stream message: a 14-byte header
// (category, type, six zero bytes, length) and the payload padded with zero bytes to a multiple
// of 8 in total; the length counts the padding.
//
// Encoders refuse (false) a record that does not fit its fields: a text too long for its field,
// a text holding a NUL, a URL longer than a 16-bit length. Decoders take the payload as the
// stream framing delivers it (padding included), never read past it, and refuse (false) a
// payload shorter than its fixed part, a fixed text without its NUL, a variable text that does
// not end inside the payload, or more file records or progress entries than are present.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace engine_protocol {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kCategory = 0x0100;
// The whole file list (type 14) travels in a category of its own.
constexpr uint16_t kFileListCategory = 0x0102;
constexpr uint32_t kFrameHeaderSize = 14;
// A frame announcing more than this is broken or hostile; the reader closes instead of waiting.
constexpr uint32_t kMaxFrameLength = 16 * 1024 * 1024;
constexpr uint16_t kDefaultPort = 38006;

// What one connection may cost the engine, which keeps a job's list until the job ends. The
// engine refuses a list beyond these (type 11), and the library sends such a job to the direct
// downloader instead of the engine.
// One file's URL, its alternatives and their '|' included.
constexpr size_t kMaxUrlLength = 8 * 1024;
// Every URL of one list together.
constexpr uint64_t kMaxListUrlBytes = uint64_t{64} << 20;
// Jobs running at once on one connection.
constexpr size_t kMaxJobsPerConnection = 64;

// Field sizes of the fixed texts.
constexpr size_t kJobCodeField = 20;
constexpr size_t kServiceIdField = 260;
constexpr size_t kListServiceIdField = 33;
constexpr size_t kPathField = 260;
constexpr size_t kEntryNameField = 33;

// Fixed parts of the variable-length payloads.
constexpr size_t kFileListHeaderSize = 41;
constexpr size_t kFileRecordFixedSize = 531;     // form A without its URL
constexpr size_t kFileListEntryFixedSize = 540;  // form B without its URL
constexpr size_t kProgressHeaderSize = 64;
constexpr size_t kProgressEntryFixedSize = 65;

enum MessageType : uint16_t {
    kJobMode = 0,
    kJobCode = 1,
    kStopJob = 3,
    kJobAccepted = 4,
    kJobProgress = 5,
    kJobFinished = 6,
    kFileCompleted = 7,
    kJobDiskStatus = 8,
    kNetworkPoor = 9,
    kNetworkBack = 10,
    kJobFailed = 11,
    kServiceId = 12,
    kJobFlag = 13,
    kFileList = 14,
    kFileCompletedAt = 15,
    kResumeQuery = 16,
    kEngineOption = 17,
    kResumeReply = 18,
    kFileListBegin = 19,
    kFileListEntry = 20,
    kFileListEnd = 21,
    kEngineState = 22,  // the library's request (no payload) and the engine's answer
};

// ---- From the library to the engine ----

struct JobMode {  // type 0
    static constexpr MessageType kType = kJobMode;
    uint8_t mode = 0;  // 1 normal, 2 fast
    bool operator==(const JobMode&) const = default;
};

struct JobCode {  // type 1
    static constexpr MessageType kType = kJobCode;
    std::string code;  // at most 19 bytes
    bool operator==(const JobCode&) const = default;
};

struct StopJob {  // type 3
    static constexpr MessageType kType = kStopJob;
    uint32_t job = 0;
    uint32_t engineJob = 0;
    bool operator==(const StopJob&) const = default;
};

struct ServiceId {  // type 12
    static constexpr MessageType kType = kServiceId;
    std::string text;  // at most 259 bytes
    bool operator==(const ServiceId&) const = default;
};

struct JobFlag {  // type 13
    static constexpr MessageType kType = kJobFlag;
    uint32_t job = 0;
    uint32_t engineJob = 0;
    uint8_t value = 0;
    bool operator==(const JobFlag&) const = default;
};

// One file of a job as the file list carries it.
struct FileRecord {
    uint8_t option1 = 0;
    uint8_t option2 = 0;
    uint64_t size = UINT64_MAX;  // all ones: the host gave no size
    std::string folder;          // at most 259 bytes
    std::string name;            // at most 259 bytes
    std::string url;             // alternatives separated by '|' name mirrors of one file
    bool operator==(const FileRecord&) const = default;
};

struct FileList {  // type 14, category 0x0102: header and every file in one message
    static constexpr MessageType kType = kFileList;
    uint32_t job = 0;
    std::string serviceId;  // at most 32 bytes
    std::vector<FileRecord> files;
    bool operator==(const FileList&) const = default;
};

struct EngineOption {  // type 17
    static constexpr MessageType kType = kEngineOption;
    uint32_t job = 0;
    bool operator==(const EngineOption&) const = default;
};

struct ResumeReply {  // type 18
    static constexpr MessageType kType = kResumeReply;
    uint32_t engineJob = 0;
    uint32_t job = 0;
    uint8_t resume = 0;      // first answer
    uint8_t applyToAll = 0;  // second answer
    bool operator==(const ResumeReply&) const = default;
};

struct FileListBegin {  // type 19: the header of a list sent file by file
    static constexpr MessageType kType = kFileListBegin;
    uint32_t job = 0;
    uint32_t fileCount = 0;
    std::string serviceId;  // at most 32 bytes
    bool operator==(const FileListBegin&) const = default;
};

struct FileListEntry {  // type 20
    static constexpr MessageType kType = kFileListEntry;
    uint32_t job = 0;
    uint32_t index = 0;  // from 0
    FileRecord file;     // URL at most 65535 bytes
    bool operator==(const FileListEntry&) const = default;
};

struct FileListEnd {  // type 21
    static constexpr MessageType kType = kFileListEnd;
    uint32_t job = 0;
    bool operator==(const FileListEnd&) const = default;
};

struct StateRequest {  // type 22 from the library: no payload
    static constexpr MessageType kType = kEngineState;
    bool operator==(const StateRequest&) const = default;
};

// ---- From the engine to the library ----

struct JobAccepted {  // type 4
    static constexpr MessageType kType = kJobAccepted;
    uint32_t job = 0;
    uint32_t engineJob = 0;
    uint32_t fileCount = 0;
    uint64_t totalBytes = 0;
    bool operator==(const JobAccepted&) const = default;
};

struct ProgressEntry {
    std::string name;  // text of 33; the library does not read it
    uint64_t size = 0;
    uint64_t present = 0;
    uint32_t speed = 0;  // bytes per second
    std::string path;    // variable text; the library does not read it
    bool operator==(const ProgressEntry&) const = default;
};

struct JobProgress {  // type 5
    static constexpr MessageType kType = kJobProgress;
    uint32_t job = 0;
    uint32_t engineJob = 0;
    uint32_t fileCount = 0;
    uint32_t filesCompleted = 0;
    uint64_t totalBytes = 0;
    uint64_t bytesPresent = 0;
    uint32_t speed = 0;  // bytes per second
    uint64_t elapsedSeconds = 0;
    std::vector<ProgressEntry> entries;
    bool operator==(const JobProgress&) const = default;
};

struct JobFinished {  // type 6
    static constexpr MessageType kType = kJobFinished;
    uint32_t job = 0;
    uint32_t engineJob = 0;
    uint32_t result = 0;
    uint32_t giveUp = 0;
    bool operator==(const JobFinished&) const = default;
};

struct FileCompleted {  // type 7
    static constexpr MessageType kType = kFileCompleted;
    uint32_t job = 0;
    uint32_t engineJob = 0;
    std::string serviceId;  // text of 33; the library does not read it
    std::string path;       // full local path, at most 259 bytes
    std::string url;
    bool operator==(const FileCompleted&) const = default;
};

struct JobDiskStatus {  // type 8
    static constexpr MessageType kType = kJobDiskStatus;
    uint32_t job = 0;
    uint32_t engineJob = 0;
    uint8_t status = 0;  // 1: the target disk is full
    std::string detail;  // the library does not read it
    bool operator==(const JobDiskStatus&) const = default;
};

struct NetworkPoor {  // type 9
    static constexpr MessageType kType = kNetworkPoor;
    bool operator==(const NetworkPoor&) const = default;
};

struct NetworkBack {  // type 10
    static constexpr MessageType kType = kNetworkBack;
    bool operator==(const NetworkBack&) const = default;
};

struct JobFailed {  // type 11
    static constexpr MessageType kType = kJobFailed;
    uint32_t job = 0;
    uint32_t engineJob = 0;  // the library does not read it
    std::string message;
    bool operator==(const JobFailed&) const = default;
};

struct FileCompletedAt {  // type 15
    static constexpr MessageType kType = kFileCompletedAt;
    uint32_t job = 0;
    uint32_t engineJob = 0;
    std::string serviceId;   // text of 33; the library does not read it
    std::string path;        // full local path, at most 259 bytes
    std::string reportPath;  // the path to report, at most 259 bytes; empty: the full path
    std::string url;
    bool operator==(const FileCompletedAt&) const = default;
};

struct ResumeQuery {  // type 16
    static constexpr MessageType kType = kResumeQuery;
    uint32_t job = 0;
    bool operator==(const ResumeQuery&) const = default;
};

struct EngineState {  // type 22 from the engine
    static constexpr MessageType kType = kEngineState;
    uint32_t value = 0;
    bool operator==(const EngineState&) const = default;
};

// Payload encoders: false, and *payload untouched, when the record does not fit its fields.
bool Encode(const JobMode& record, Bytes* payload);
bool Encode(const JobCode& record, Bytes* payload);
bool Encode(const StopJob& record, Bytes* payload);
bool Encode(const ServiceId& record, Bytes* payload);
bool Encode(const JobFlag& record, Bytes* payload);
bool Encode(const FileList& record, Bytes* payload);
bool Encode(const EngineOption& record, Bytes* payload);
bool Encode(const ResumeReply& record, Bytes* payload);
bool Encode(const FileListBegin& record, Bytes* payload);
bool Encode(const FileListEntry& record, Bytes* payload);
bool Encode(const FileListEnd& record, Bytes* payload);
bool Encode(const StateRequest& record, Bytes* payload);
bool Encode(const JobAccepted& record, Bytes* payload);
bool Encode(const JobProgress& record, Bytes* payload);
bool Encode(const JobFinished& record, Bytes* payload);
bool Encode(const FileCompleted& record, Bytes* payload);
bool Encode(const JobDiskStatus& record, Bytes* payload);
bool Encode(const NetworkPoor& record, Bytes* payload);
bool Encode(const NetworkBack& record, Bytes* payload);
bool Encode(const JobFailed& record, Bytes* payload);
bool Encode(const FileCompletedAt& record, Bytes* payload);
bool Encode(const ResumeQuery& record, Bytes* payload);
bool Encode(const EngineState& record, Bytes* payload);

// Payload decoders: false, and *record unspecified, when the payload is malformed.
bool Decode(const uint8_t* payload, size_t length, JobMode* record);
bool Decode(const uint8_t* payload, size_t length, JobCode* record);
bool Decode(const uint8_t* payload, size_t length, StopJob* record);
bool Decode(const uint8_t* payload, size_t length, ServiceId* record);
bool Decode(const uint8_t* payload, size_t length, JobFlag* record);
bool Decode(const uint8_t* payload, size_t length, FileList* record);
bool Decode(const uint8_t* payload, size_t length, EngineOption* record);
bool Decode(const uint8_t* payload, size_t length, ResumeReply* record);
bool Decode(const uint8_t* payload, size_t length, FileListBegin* record);
bool Decode(const uint8_t* payload, size_t length, FileListEntry* record);
bool Decode(const uint8_t* payload, size_t length, FileListEnd* record);
bool Decode(const uint8_t* payload, size_t length, StateRequest* record);
bool Decode(const uint8_t* payload, size_t length, JobAccepted* record);
bool Decode(const uint8_t* payload, size_t length, JobProgress* record);
bool Decode(const uint8_t* payload, size_t length, JobFinished* record);
bool Decode(const uint8_t* payload, size_t length, FileCompleted* record);
bool Decode(const uint8_t* payload, size_t length, JobDiskStatus* record);
bool Decode(const uint8_t* payload, size_t length, NetworkPoor* record);
bool Decode(const uint8_t* payload, size_t length, NetworkBack* record);
bool Decode(const uint8_t* payload, size_t length, JobFailed* record);
bool Decode(const uint8_t* payload, size_t length, FileCompletedAt* record);
bool Decode(const uint8_t* payload, size_t length, ResumeQuery* record);
bool Decode(const uint8_t* payload, size_t length, EngineState* record);

// Payload length of a whole file list before it is built (41 + the records), so that a sender
// can choose between type 14 and the file-by-file types 19, 20, 21.
uint64_t FileListPayloadSize(const std::vector<FileRecord>& files);

// ---- Framing ----

struct FrameHeader {
    uint16_t category = 0;
    uint16_t type = 0;
    uint32_t length = 0;  // bytes after the header, padding included
};

// Bytes on the wire for a payload: header plus payload, rounded up to a multiple of 8.
constexpr uint64_t FrameSize(uint64_t payloadLength) {
    return (kFrameHeaderSize + payloadLength + 7) & ~uint64_t{7};
}

// A whole frame around a payload (header, payload, zero padding).
Bytes Frame(uint16_t category, uint16_t type, const Bytes& payload);

// The category a record travels in: 0x0102 for the whole file list, else 0x0100.
template <typename Record>
constexpr uint16_t CategoryOf() {
    return Record::kType == kFileList ? kFileListCategory : kCategory;
}

// Encodes a record and frames it; false when the record does not fit.
template <typename Record>
bool EncodeFrame(const Record& record, Bytes* frame) {
    Bytes payload;
    if (!Encode(record, &payload)) {
        return false;
    }
    *frame = Frame(CategoryOf<Record>(), Record::kType, payload);
    return true;
}

// Splits the next frame off a byte stream. Returns the bytes the frame takes (header included),
// 0 while the frame is not complete, -1 when the stream is broken (a length above
// kMaxFrameLength). On success *payload
// points at the payload inside data and the header's length gives its size.
int64_t NextFrame(const uint8_t* data, size_t length, FrameHeader* header, const uint8_t** payload);

// ---- Whole messages of one direction ----

using LibraryMessage =
    std::variant<JobMode, JobCode, StopJob, ServiceId, JobFlag, FileList, EngineOption, ResumeReply,
                 FileListBegin, FileListEntry, FileListEnd, StateRequest>;
using EngineMessage =
    std::variant<JobAccepted, JobProgress, JobFinished, FileCompleted, JobDiskStatus, NetworkPoor,
                 NetworkBack, JobFailed, FileCompletedAt, ResumeQuery, EngineState>;

// Decodes a message the library sent (what the engine reads): false for a category and type
// the library does not send, or a malformed payload.
bool DecodeLibraryMessage(uint16_t category, uint16_t type, const uint8_t* payload, size_t length,
                          LibraryMessage* message);
// Decodes a message the engine sent (what the library reads), in category 0x0100.
bool DecodeEngineMessage(uint16_t category, uint16_t type, const uint8_t* payload, size_t length,
                         EngineMessage* message);

// Cuts a text to fit a field of fieldSize bytes (its NUL included) without splitting a UTF-8
// sequence; for fields whose text is informative only.
std::string FitText(std::string_view text, size_t fieldSize);

}  // namespace engine_protocol
