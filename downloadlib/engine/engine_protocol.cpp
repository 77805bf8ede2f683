#include "engine/engine_protocol.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace engine_protocol {

namespace {

// Appends little-endian fields and texts; Fits checks a record before anything is written.
class Writer {
  public:
    explicit Writer(Bytes* out) : out_(*out) {}

    void U8(uint8_t v) { out_.push_back(v); }
    void U16(uint16_t v) { Le(v, 2); }
    void U32(uint32_t v) { Le(v, 4); }
    void U64(uint64_t v) { Le(v, 8); }
    void Zeros(size_t n) { out_.insert(out_.end(), n, 0); }
    // A text of fieldSize: the text, then zeros (at least one: its NUL).
    void Fixed(const std::string& text, size_t fieldSize) {
        Raw(text);
        Zeros(fieldSize - text.size());
    }
    void Variable(const std::string& text) {
        Raw(text);
        U8(0);
    }
    void Raw(const std::string& text) { out_.insert(out_.end(), text.begin(), text.end()); }

  private:
    void Le(uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
        }
    }
    Bytes& out_;
};

bool HasNul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}
bool FitsFixed(const std::string& text, size_t fieldSize) {
    return text.size() < fieldSize && !HasNul(text);
}
bool FitsVariable(const std::string& text) {
    return !HasNul(text);
}

// Reads fields in order from a payload; every read checks what is left first, and the first
// failure sticks so a decoder can read on and test once.
class Reader {
  public:
    Reader(const uint8_t* data, size_t length) : data_(data), left_(data ? length : 0) {}

    bool ok() const { return ok_; }
    size_t left() const { return ok_ ? left_ : 0; }

    uint8_t U8() { return static_cast<uint8_t>(Le(1)); }
    uint16_t U16() { return static_cast<uint16_t>(Le(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Le(4)); }
    uint64_t U64() { return Le(8); }
    void Skip(size_t n) { Take(n); }
    // A text of fieldSize: refused when the field holds no NUL.
    std::string Fixed(size_t fieldSize) {
        const uint8_t* field = Take(fieldSize);
        if (field == nullptr) {
            return {};
        }
        const void* nul = std::memchr(field, 0, fieldSize);
        if (nul == nullptr) {
            ok_ = false;
            return {};
        }
        return std::string(reinterpret_cast<const char*>(field),
                           static_cast<const uint8_t*>(nul) - field);
    }
    // A NUL-terminated text: refused when the NUL is not inside the payload.
    std::string Variable() {
        if (!ok_) {
            return {};
        }
        const void* nul = std::memchr(data_, 0, left_);
        if (nul == nullptr) {
            ok_ = false;
            return {};
        }
        const size_t n = static_cast<const uint8_t*>(nul) - data_;
        std::string text(reinterpret_cast<const char*>(data_), n);
        Take(n + 1);
        return text;
    }
    // n bytes of text without a NUL.
    std::string Counted(size_t n) {
        const uint8_t* field = Take(n);
        if (field == nullptr) {
            return {};
        }
        return std::string(reinterpret_cast<const char*>(field), n);
    }

  private:
    const uint8_t* Take(size_t n) {
        if (!ok_ || n > left_) {
            ok_ = false;
            return nullptr;
        }
        const uint8_t* at = data_;
        data_ += n;
        left_ -= n;
        return at;
    }
    uint64_t Le(int bytes) {
        const uint8_t* at = Take(bytes);
        if (at == nullptr) {
            return 0;
        }
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) {
            v |= uint64_t{at[i]} << (8 * i);
        }
        return v;
    }

    const uint8_t* data_;
    size_t left_;
    bool ok_ = true;
};

// Builds into a scratch buffer so that a refused record leaves the caller's bytes untouched.
template <typename Fill>
bool Build(Bytes* payload, size_t reserve, Fill fill) {
    Bytes bytes;
    bytes.reserve(reserve);
    Writer w(&bytes);
    fill(w);
    *payload = std::move(bytes);
    return true;
}

bool FitsRecordA(const FileRecord& f) {
    return FitsFixed(f.folder, kPathField) && FitsFixed(f.name, kPathField) && FitsVariable(f.url);
}

void WriteRecordA(Writer& w, const FileRecord& f) {
    w.U8(f.option1);
    w.U8(f.option2);
    w.U64(f.size);
    w.Fixed(f.folder, kPathField);
    w.Fixed(f.name, kPathField);
    w.Variable(f.url);
}

FileRecord ReadRecordA(Reader& r) {
    FileRecord f;
    f.option1 = r.U8();
    f.option2 = r.U8();
    f.size = r.U64();
    f.folder = r.Fixed(kPathField);
    f.name = r.Fixed(kPathField);
    f.url = r.Variable();
    return f;
}

}  // namespace

// ---- From the library ----

bool Encode(const JobMode& m, Bytes* payload) {
    return Build(payload, 17, [&](Writer& w) {
        w.U8(m.mode);
        w.Zeros(16);
    });
}
bool Decode(const uint8_t* p, size_t n, JobMode* m) {
    Reader r(p, n);
    m->mode = r.U8();
    r.Skip(16);
    return r.ok();
}

bool Encode(const JobCode& m, Bytes* payload) {
    if (!FitsFixed(m.code, kJobCodeField)) {
        return false;
    }
    return Build(payload, kJobCodeField, [&](Writer& w) { w.Fixed(m.code, kJobCodeField); });
}
bool Decode(const uint8_t* p, size_t n, JobCode* m) {
    Reader r(p, n);
    m->code = r.Fixed(kJobCodeField);
    return r.ok();
}

bool Encode(const StopJob& m, Bytes* payload) {
    return Build(payload, 8, [&](Writer& w) {
        w.U32(m.job);
        w.U32(m.engineJob);
    });
}
bool Decode(const uint8_t* p, size_t n, StopJob* m) {
    Reader r(p, n);
    m->job = r.U32();
    m->engineJob = r.U32();
    return r.ok();
}

bool Encode(const ServiceId& m, Bytes* payload) {
    if (!FitsFixed(m.text, kServiceIdField)) {
        return false;
    }
    return Build(payload, kServiceIdField, [&](Writer& w) { w.Fixed(m.text, kServiceIdField); });
}
bool Decode(const uint8_t* p, size_t n, ServiceId* m) {
    Reader r(p, n);
    m->text = r.Fixed(kServiceIdField);
    return r.ok();
}

bool Encode(const JobFlag& m, Bytes* payload) {
    return Build(payload, 9, [&](Writer& w) {
        w.U32(m.job);
        w.U32(m.engineJob);
        w.U8(m.value);
    });
}
bool Decode(const uint8_t* p, size_t n, JobFlag* m) {
    Reader r(p, n);
    m->job = r.U32();
    m->engineJob = r.U32();
    m->value = r.U8();
    return r.ok();
}

uint64_t FileListPayloadSize(const std::vector<FileRecord>& files) {
    uint64_t size = kFileListHeaderSize;
    for (const FileRecord& f : files) {
        size += kFileRecordFixedSize + f.url.size();
    }
    return size;
}

bool Encode(const FileList& m, Bytes* payload) {
    if (!FitsFixed(m.serviceId, kListServiceIdField) || m.files.size() > UINT32_MAX) {
        return false;
    }
    for (const FileRecord& f : m.files) {
        if (!FitsRecordA(f)) {
            return false;
        }
    }
    return Build(payload, FileListPayloadSize(m.files), [&](Writer& w) {
        w.U32(m.job);
        w.U32(static_cast<uint32_t>(m.files.size()));
        w.Fixed(m.serviceId, kListServiceIdField);
        for (const FileRecord& f : m.files) {
            WriteRecordA(w, f);
        }
    });
}
bool Decode(const uint8_t* p, size_t n, FileList* m) {
    Reader r(p, n);
    m->job = r.U32();
    const uint32_t count = r.U32();
    m->serviceId = r.Fixed(kListServiceIdField);
    m->files.clear();
    // The count is the sender's word; records are read while they are present, never
    // reserved for up front.
    for (uint32_t i = 0; i < count && r.ok(); ++i) {
        m->files.push_back(ReadRecordA(r));
    }
    return r.ok();
}

bool Encode(const EngineOption& m, Bytes* payload) {
    return Build(payload, 4, [&](Writer& w) { w.U32(m.job); });
}
bool Decode(const uint8_t* p, size_t n, EngineOption* m) {
    Reader r(p, n);
    m->job = r.U32();
    return r.ok();
}

bool Encode(const ResumeReply& m, Bytes* payload) {
    return Build(payload, 10, [&](Writer& w) {
        w.U32(m.engineJob);
        w.U32(m.job);
        w.U8(m.resume);
        w.U8(m.applyToAll);
    });
}
bool Decode(const uint8_t* p, size_t n, ResumeReply* m) {
    Reader r(p, n);
    m->engineJob = r.U32();
    m->job = r.U32();
    m->resume = r.U8();
    m->applyToAll = r.U8();
    return r.ok();
}

bool Encode(const FileListBegin& m, Bytes* payload) {
    if (!FitsFixed(m.serviceId, kListServiceIdField)) {
        return false;
    }
    return Build(payload, kFileListHeaderSize, [&](Writer& w) {
        w.U32(m.job);
        w.U32(m.fileCount);
        w.Fixed(m.serviceId, kListServiceIdField);
    });
}
bool Decode(const uint8_t* p, size_t n, FileListBegin* m) {
    Reader r(p, n);
    m->job = r.U32();
    m->fileCount = r.U32();
    m->serviceId = r.Fixed(kListServiceIdField);
    return r.ok();
}

bool Encode(const FileListEntry& m, Bytes* payload) {
    const FileRecord& f = m.file;
    if (!FitsRecordA(f) || f.url.size() > UINT16_MAX) {
        return false;
    }
    return Build(payload, kFileListEntryFixedSize + f.url.size(), [&](Writer& w) {
        w.U32(m.job);
        w.U32(m.index);
        w.U8(f.option1);
        w.U8(f.option2);
        w.U64(f.size);
        w.Fixed(f.folder, kPathField);
        w.Fixed(f.name, kPathField);
        w.U16(static_cast<uint16_t>(f.url.size()));
        w.Raw(f.url);
    });
}
bool Decode(const uint8_t* p, size_t n, FileListEntry* m) {
    Reader r(p, n);
    m->job = r.U32();
    m->index = r.U32();
    FileRecord& f = m->file;
    f.option1 = r.U8();
    f.option2 = r.U8();
    f.size = r.U64();
    f.folder = r.Fixed(kPathField);
    f.name = r.Fixed(kPathField);
    f.url = r.Counted(r.U16());
    // The URL travels without a NUL: one inside it would cut it short at the reader.
    return r.ok() && !HasNul(f.url);
}

bool Encode(const FileListEnd& m, Bytes* payload) {
    return Build(payload, 4, [&](Writer& w) { w.U32(m.job); });
}
bool Decode(const uint8_t* p, size_t n, FileListEnd* m) {
    Reader r(p, n);
    m->job = r.U32();
    return r.ok();
}

bool Encode(const StateRequest&, Bytes* payload) {
    payload->clear();
    return true;
}
bool Decode(const uint8_t*, size_t, StateRequest*) {
    return true;
}

// ---- From the engine ----

bool Encode(const JobAccepted& m, Bytes* payload) {
    return Build(payload, 20, [&](Writer& w) {
        w.U32(m.job);
        w.U32(m.engineJob);
        w.U32(m.fileCount);
        w.U64(m.totalBytes);
    });
}
bool Decode(const uint8_t* p, size_t n, JobAccepted* m) {
    Reader r(p, n);
    m->job = r.U32();
    m->engineJob = r.U32();
    m->fileCount = r.U32();
    m->totalBytes = r.U64();
    return r.ok();
}

bool Encode(const JobProgress& m, Bytes* payload) {
    if (m.entries.size() > UINT32_MAX) {
        return false;
    }
    size_t size = kProgressHeaderSize;
    for (const ProgressEntry& e : m.entries) {
        if (!FitsFixed(e.name, kEntryNameField) || !FitsVariable(e.path)) {
            return false;
        }
        size += kProgressEntryFixedSize + e.path.size() + 1;
    }
    return Build(payload, size, [&](Writer& w) {
        w.U32(m.job);
        w.U32(m.engineJob);
        w.Zeros(4);
        w.U32(m.fileCount);
        w.U32(m.filesCompleted);
        w.U64(m.totalBytes);
        w.U64(m.bytesPresent);
        w.U32(m.speed);
        w.Zeros(4);
        w.U64(m.elapsedSeconds);
        w.Zeros(8);
        w.U32(static_cast<uint32_t>(m.entries.size()));
        for (const ProgressEntry& e : m.entries) {
            w.Fixed(e.name, kEntryNameField);
            w.U64(e.size);
            w.U64(e.present);
            w.U32(e.speed);
            w.Zeros(12);
            w.Variable(e.path);
        }
    });
}
bool Decode(const uint8_t* p, size_t n, JobProgress* m) {
    Reader r(p, n);
    m->job = r.U32();
    m->engineJob = r.U32();
    r.Skip(4);
    m->fileCount = r.U32();
    m->filesCompleted = r.U32();
    m->totalBytes = r.U64();
    m->bytesPresent = r.U64();
    m->speed = r.U32();
    r.Skip(4);
    m->elapsedSeconds = r.U64();
    r.Skip(8);
    const uint32_t count = r.U32();
    m->entries.clear();
    for (uint32_t i = 0; i < count && r.ok(); ++i) {
        ProgressEntry e;
        e.name = r.Fixed(kEntryNameField);
        e.size = r.U64();
        e.present = r.U64();
        e.speed = r.U32();
        r.Skip(12);
        e.path = r.Variable();
        m->entries.push_back(std::move(e));
    }
    return r.ok();
}

bool Encode(const JobFinished& m, Bytes* payload) {
    return Build(payload, 20, [&](Writer& w) {
        w.U32(m.job);
        w.U32(m.engineJob);
        w.Zeros(4);
        w.U32(m.result);
        w.U32(m.giveUp);
    });
}
bool Decode(const uint8_t* p, size_t n, JobFinished* m) {
    Reader r(p, n);
    m->job = r.U32();
    m->engineJob = r.U32();
    r.Skip(4);
    m->result = r.U32();
    m->giveUp = r.U32();
    return r.ok();
}

bool Encode(const FileCompleted& m, Bytes* payload) {
    if (!FitsFixed(m.serviceId, kListServiceIdField) || !FitsFixed(m.path, kPathField) ||
        !FitsVariable(m.url)) {
        return false;
    }
    return Build(payload, 8 + kListServiceIdField + kPathField + m.url.size() + 1, [&](Writer& w) {
        w.U32(m.job);
        w.U32(m.engineJob);
        w.Fixed(m.serviceId, kListServiceIdField);
        w.Fixed(m.path, kPathField);
        w.Variable(m.url);
    });
}
bool Decode(const uint8_t* p, size_t n, FileCompleted* m) {
    Reader r(p, n);
    m->job = r.U32();
    m->engineJob = r.U32();
    m->serviceId = r.Fixed(kListServiceIdField);
    m->path = r.Fixed(kPathField);
    m->url = r.Variable();
    return r.ok();
}

bool Encode(const JobDiskStatus& m, Bytes* payload) {
    if (!FitsVariable(m.detail)) {
        return false;
    }
    return Build(payload, 9 + m.detail.size() + 1 + 16, [&](Writer& w) {
        w.U32(m.job);
        w.U32(m.engineJob);
        w.U8(m.status);
        w.Variable(m.detail);
        w.Zeros(16);
    });
}
bool Decode(const uint8_t* p, size_t n, JobDiskStatus* m) {
    Reader r(p, n);
    m->job = r.U32();
    m->engineJob = r.U32();
    m->status = r.U8();
    m->detail = r.Variable();
    r.Skip(16);
    return r.ok();
}

bool Encode(const NetworkPoor&, Bytes* payload) {
    return Build(payload, 16, [&](Writer& w) { w.Zeros(16); });
}
bool Decode(const uint8_t* p, size_t n, NetworkPoor*) {
    Reader r(p, n);
    r.Skip(16);
    return r.ok();
}

bool Encode(const NetworkBack&, Bytes* payload) {
    return Build(payload, 16, [&](Writer& w) { w.Zeros(16); });
}
bool Decode(const uint8_t* p, size_t n, NetworkBack*) {
    Reader r(p, n);
    r.Skip(16);
    return r.ok();
}

bool Encode(const JobFailed& m, Bytes* payload) {
    if (!FitsVariable(m.message)) {
        return false;
    }
    return Build(payload, 8 + m.message.size() + 1 + 16, [&](Writer& w) {
        w.U32(m.job);
        w.U32(m.engineJob);
        w.Variable(m.message);
        w.Zeros(16);
    });
}
bool Decode(const uint8_t* p, size_t n, JobFailed* m) {
    Reader r(p, n);
    m->job = r.U32();
    m->engineJob = r.U32();
    m->message = r.Variable();
    r.Skip(16);
    return r.ok();
}

bool Encode(const FileCompletedAt& m, Bytes* payload) {
    if (!FitsFixed(m.serviceId, kListServiceIdField) || !FitsFixed(m.path, kPathField) ||
        !FitsFixed(m.reportPath, kPathField) || !FitsVariable(m.url)) {
        return false;
    }
    return Build(payload, 8 + kListServiceIdField + 2 * kPathField + m.url.size() + 1,
                 [&](Writer& w) {
                     w.U32(m.job);
                     w.U32(m.engineJob);
                     w.Fixed(m.serviceId, kListServiceIdField);
                     w.Fixed(m.path, kPathField);
                     w.Fixed(m.reportPath, kPathField);
                     w.Variable(m.url);
                 });
}
bool Decode(const uint8_t* p, size_t n, FileCompletedAt* m) {
    Reader r(p, n);
    m->job = r.U32();
    m->engineJob = r.U32();
    m->serviceId = r.Fixed(kListServiceIdField);
    m->path = r.Fixed(kPathField);
    m->reportPath = r.Fixed(kPathField);
    m->url = r.Variable();
    return r.ok();
}

bool Encode(const ResumeQuery& m, Bytes* payload) {
    return Build(payload, 4, [&](Writer& w) { w.U32(m.job); });
}
bool Decode(const uint8_t* p, size_t n, ResumeQuery* m) {
    Reader r(p, n);
    m->job = r.U32();
    return r.ok();
}

bool Encode(const EngineState& m, Bytes* payload) {
    return Build(payload, 4, [&](Writer& w) { w.U32(m.value); });
}
bool Decode(const uint8_t* p, size_t n, EngineState* m) {
    Reader r(p, n);
    m->value = r.U32();
    return r.ok();
}

// ---- Framing ----

Bytes Frame(uint16_t category, uint16_t type, const Bytes& payload) {
    Bytes frame(FrameSize(payload.size()), 0);
    const uint32_t length = static_cast<uint32_t>(frame.size() - kFrameHeaderSize);
    frame[0] = static_cast<uint8_t>(category);
    frame[1] = static_cast<uint8_t>(category >> 8);
    frame[2] = static_cast<uint8_t>(type);
    frame[3] = static_cast<uint8_t>(type >> 8);
    for (int i = 0; i < 4; ++i) {
        frame[10 + i] = static_cast<uint8_t>(length >> (8 * i));
    }
    std::copy(payload.begin(), payload.end(), frame.begin() + kFrameHeaderSize);
    return frame;
}

int64_t NextFrame(const uint8_t* data, size_t length, FrameHeader* header,
                  const uint8_t** payload) {
    if (data == nullptr || length < kFrameHeaderSize) {
        return 0;
    }
    FrameHeader h;
    h.category = static_cast<uint16_t>(data[0] | data[1] << 8);
    h.type = static_cast<uint16_t>(data[2] | data[3] << 8);
    h.length = static_cast<uint32_t>(data[10]) | static_cast<uint32_t>(data[11]) << 8 |
               static_cast<uint32_t>(data[12]) << 16 | static_cast<uint32_t>(data[13]) << 24;
    if (h.length > kMaxFrameLength) {
        return -1;
    }
    if (length - kFrameHeaderSize < h.length) {
        return 0;
    }
    *header = h;
    *payload = data + kFrameHeaderSize;
    return int64_t{kFrameHeaderSize} + h.length;
}

// ---- Whole messages ----

namespace {

template <typename Record, typename Variant>
bool DecodeAs(const uint8_t* payload, size_t length, Variant* message) {
    Record record;
    if (!Decode(payload, length, &record)) {
        return false;
    }
    *message = std::move(record);
    return true;
}

}  // namespace

bool DecodeLibraryMessage(uint16_t category, uint16_t type, const uint8_t* p, size_t n,
                          LibraryMessage* message) {
    if (category == kFileListCategory) {
        return type == kFileList && DecodeAs<FileList>(p, n, message);
    }
    if (category != kCategory) {
        return false;
    }
    switch (type) {
        case kJobMode:
            return DecodeAs<JobMode>(p, n, message);
        case kJobCode:
            return DecodeAs<JobCode>(p, n, message);
        case kStopJob:
            return DecodeAs<StopJob>(p, n, message);
        case kServiceId:
            return DecodeAs<ServiceId>(p, n, message);
        case kJobFlag:
            return DecodeAs<JobFlag>(p, n, message);
        case kEngineOption:
            return DecodeAs<EngineOption>(p, n, message);
        case kResumeReply:
            return DecodeAs<ResumeReply>(p, n, message);
        case kFileListBegin:
            return DecodeAs<FileListBegin>(p, n, message);
        case kFileListEntry:
            return DecodeAs<FileListEntry>(p, n, message);
        case kFileListEnd:
            return DecodeAs<FileListEnd>(p, n, message);
        case kEngineState:
            return DecodeAs<StateRequest>(p, n, message);
        default:
            return false;
    }
}

bool DecodeEngineMessage(uint16_t category, uint16_t type, const uint8_t* p, size_t n,
                         EngineMessage* message) {
    if (category != kCategory) {
        return false;
    }
    switch (type) {
        case kJobAccepted:
            return DecodeAs<JobAccepted>(p, n, message);
        case kJobProgress:
            return DecodeAs<JobProgress>(p, n, message);
        case kJobFinished:
            return DecodeAs<JobFinished>(p, n, message);
        case kFileCompleted:
            return DecodeAs<FileCompleted>(p, n, message);
        case kJobDiskStatus:
            return DecodeAs<JobDiskStatus>(p, n, message);
        case kNetworkPoor:
            return DecodeAs<NetworkPoor>(p, n, message);
        case kNetworkBack:
            return DecodeAs<NetworkBack>(p, n, message);
        case kJobFailed:
            return DecodeAs<JobFailed>(p, n, message);
        case kFileCompletedAt:
            return DecodeAs<FileCompletedAt>(p, n, message);
        case kResumeQuery:
            return DecodeAs<ResumeQuery>(p, n, message);
        case kEngineState:
            return DecodeAs<EngineState>(p, n, message);
        default:
            return false;
    }
}

std::string FitText(std::string_view text, size_t fieldSize) {
    const size_t nul = text.find('\0');
    if (nul != std::string_view::npos) {
        text = text.substr(0, nul);
    }
    if (fieldSize == 0) {
        return {};
    }
    if (text.size() < fieldSize) {
        return std::string(text);
    }
    size_t end = fieldSize - 1;
    // Step back over continuation bytes so the cut falls before a whole sequence.
    while (end > 0 && (static_cast<uint8_t>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return std::string(text.substr(0, end));
}

}  // namespace engine_protocol
