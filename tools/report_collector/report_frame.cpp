#include "report_collector/report_frame.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tev::tools {

namespace {

uint16_t ReadU16(std::string_view bytes, size_t offset) {
    return static_cast<uint16_t>(static_cast<uint8_t>(bytes[offset]) |
                                 static_cast<uint8_t>(bytes[offset + 1]) << 8);
}

uint32_t ReadU32(std::string_view bytes, size_t offset) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) {
        value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[offset + i])) << (8 * i);
    }
    return value;
}

void AppendLittleEndian(std::string& out, uint64_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

// A NUL-terminated text field; a field filled to its end without a NUL is taken whole.
std::string ReadTextField(std::string_view field) {
    return std::string(field.substr(0, field.find('\0')));
}

void WriteTextField(std::string& out, const std::string& text, size_t width) {
    const size_t length = std::min(text.size(), width - 1);
    out.append(text, 0, length);
    out.append(width - length, '\0');
}

}  // namespace

uint32_t PaddedLength(uint32_t payloadLength) {
    const uint64_t total = (static_cast<uint64_t>(payloadLength) + kStreamHeaderSize + 7) / 8 * 8;
    return static_cast<uint32_t>(total - kStreamHeaderSize);
}

std::string BuildStreamMessage(uint16_t category, uint16_t type, std::string_view payload) {
    const uint32_t length = PaddedLength(static_cast<uint32_t>(payload.size()));
    std::string message;
    message.reserve(kStreamHeaderSize + length);
    AppendLittleEndian(message, category, 2);
    AppendLittleEndian(message, type, 2);
    AppendLittleEndian(message, 0, 4);
    AppendLittleEndian(message, 0, 2);
    AppendLittleEndian(message, length, 4);
    message.append(payload);
    message.append(length - payload.size(), '\0');
    return message;
}

std::string EncodeReportRecord(const ReportRecord& record) {
    std::string out;
    out.reserve(kReportRecordSize);
    WriteTextField(out, record.serviceId, kServiceIdField);
    WriteTextField(out, record.url, kUrlField);
    AppendLittleEndian(out, static_cast<uint64_t>(record.bytes), 8);
    out.push_back(static_cast<char>(record.marker));
    return out;
}

std::string BuildReportMessage(const std::vector<ReportRecord>& records) {
    std::string payload;
    AppendLittleEndian(payload, records.size(), 4);
    for (const ReportRecord& record : records) {
        payload += EncodeReportRecord(record);
    }
    return BuildStreamMessage(kAgentCategory, kReportMessageType, payload);
}

std::string BuildReportAck(uint8_t code) {
    return BuildStreamMessage(kAgentCategory, kReportAckType,
                              std::string(1, static_cast<char>(code)));
}

const char* JobPathName(JobPath path) {
    return path == JobPath::Engine ? "engine" : path == JobPath::Direct ? "direct" : "other";
}

const char* JobOutcomeName(JobOutcome outcome) {
    switch (outcome) {
        case JobOutcome::Completed:
            return "completed";
        case JobOutcome::Failed:
            return "failed";
        case JobOutcome::Stopped:
            return "stopped";
        case JobOutcome::Moved:
            return "moved";
    }
    return "other";
}

namespace {

void AppendJobText(std::string& out, const std::string& text, size_t limit) {
    std::string cut = text.substr(0, std::min(text.size(), limit));
    // A NUL would end the text for some readers; it never travels.
    std::replace(cut.begin(), cut.end(), '\0', ' ');
    AppendLittleEndian(out, cut.size(), 2);
    out += cut;
}

uint64_t ReadU64(std::string_view bytes, size_t offset) {
    uint64_t value = 0;
    for (size_t i = 0; i < 8; ++i) {
        value |= static_cast<uint64_t>(static_cast<uint8_t>(bytes[offset + i])) << (8 * i);
    }
    return value;
}

}  // namespace

std::string EncodeJobReport(const JobReport& report) {
    std::string out;
    AppendLittleEndian(out, report.format, 2);
    out.push_back(static_cast<char>(report.path));
    out.push_back(static_cast<char>(report.outcome));
    AppendLittleEndian(out, report.files, 4);
    AppendLittleEndian(out, report.filesCompleted, 4);
    AppendLittleEndian(out, report.connections, 4);
    AppendLittleEndian(out, report.durationMs, 8);
    AppendLittleEndian(out, static_cast<uint64_t>(report.bytesFromServers), 8);
    AppendLittleEndian(out, static_cast<uint64_t>(report.bytesFromPeers), 8);
    AppendLittleEndian(out, static_cast<uint64_t>(report.totalBytes), 8);
    AppendJobText(out, report.serviceId, kJobServiceIdMax);
    AppendJobText(out, report.url, kJobUrlMax);
    AppendJobText(out, report.mirror, kJobMirrorMax);
    AppendJobText(out, report.engineVersion, kJobEngineVersionMax);
    AppendJobText(out, report.failure, kJobFailureMax);
    return out;
}

std::string BuildJobReportMessage(const JobReport& report) {
    return BuildStreamMessage(kAgentCategory, kJobReportType, EncodeJobReport(report));
}

namespace {

// The payload of a job report; false with *error set when it is not one.
bool DecodeJobReport(std::string_view payload, JobReport* report, std::string* error) {
    if (payload.size() < kJobReportFixedSize) {
        *error = "job report too short";
        return false;
    }
    report->format = ReadU16(payload, 0);
    if (report->format == 0) {
        *error = "job report of format 0";
        return false;
    }
    const uint8_t path = static_cast<uint8_t>(payload[2]);
    const uint8_t outcome = static_cast<uint8_t>(payload[3]);
    if (path < 1 || path > 2) {
        *error = "job report names path " + std::to_string(path);
        return false;
    }
    if (outcome < 1 || outcome > 4) {
        *error = "job report names outcome " + std::to_string(outcome);
        return false;
    }
    report->path = static_cast<JobPath>(path);
    report->outcome = static_cast<JobOutcome>(outcome);
    report->files = ReadU32(payload, 4);
    report->filesCompleted = ReadU32(payload, 8);
    report->connections = ReadU32(payload, 12);
    report->durationMs = ReadU64(payload, 16);
    report->bytesFromServers = static_cast<int64_t>(ReadU64(payload, 24));
    report->bytesFromPeers = static_cast<int64_t>(ReadU64(payload, 32));
    report->totalBytes = static_cast<int64_t>(ReadU64(payload, 40));
    if (report->bytesFromServers < 0 || report->bytesFromPeers < 0 || report->totalBytes < 0 ||
        report->durationMs > (uint64_t{1} << 53)) {
        *error = "job report with a negative byte count or an impossible duration";
        return false;
    }
    size_t offset = kJobReportFixedSize;
    const struct {
        std::string* text;
        size_t limit;
        const char* name;
    } texts[] = {{&report->serviceId, kJobServiceIdMax, "service id"},
                 {&report->url, kJobUrlMax, "URL"},
                 {&report->mirror, kJobMirrorMax, "mirror"},
                 {&report->engineVersion, kJobEngineVersionMax, "engine version"},
                 {&report->failure, kJobFailureMax, "failure"}};
    for (const auto& text : texts) {
        if (payload.size() < offset + 2) {
            *error = std::string("job report ends before its ") + text.name;
            return false;
        }
        const size_t length = ReadU16(payload, offset);
        offset += 2;
        if (length > text.limit || payload.size() < offset + length) {
            *error = std::string("job report ") + text.name + " of " + std::to_string(length) +
                     " bytes is beyond its limit or its message";
            return false;
        }
        *text.text = std::string(payload.substr(offset, length));
        if (text.text->find('\0') != std::string::npos) {
            *error = std::string("job report ") + text.name + " holds a NUL";
            return false;
        }
        offset += length;
    }
    return true;
}

}  // namespace

ReportHeader InspectReportHeader(std::string_view bytes, bool acceptJobReports) {
    ReportHeader header;
    const auto malformed = [&](std::string why) {
        header.status = ReportHeader::Malformed;
        header.error = std::move(why);
        return header;
    };
    if (bytes.size() < kStreamHeaderSize) {
        return header;
    }
    const uint16_t category = ReadU16(bytes, 0);
    const uint16_t type = ReadU16(bytes, 2);
    const bool job = acceptJobReports && type == kJobReportType;
    if (category != kAgentCategory || (type != kReportMessageType && !job)) {
        char text[64];
        std::snprintf(text, sizeof text, "unexpected message 0x%04X/0x%02X", category, type);
        return malformed(text);
    }
    if (ReadU32(bytes, 4) != 0 || ReadU16(bytes, 8) != 0) {
        return malformed("reserved header bytes are not zero");
    }
    const uint32_t length = ReadU32(bytes, 10);
    header.type = type;
    if (job) {
        if (length > kMaxJobReportLength) {
            return malformed("job report length " + std::to_string(length) +
                             " is beyond the limit");
        }
        if ((kStreamHeaderSize + length) % 8 != 0 || length < kJobReportFixedSize) {
            return malformed("job report length " + std::to_string(length) + " is not valid");
        }
        header.status = ReportHeader::Known;
        header.size = kStreamHeaderSize + length;
        return header;
    }
    if (length > kMaxReportLength) {
        return malformed("length " + std::to_string(length) + " is beyond the limit");
    }
    if ((kStreamHeaderSize + length) % 8 != 0) {
        return malformed("length " + std::to_string(length) + " is not padded to 8 bytes");
    }
    if (length < 4) {
        return malformed("payload too short for a record count");
    }
    // The padding is shorter than a record, so the length alone tells the count.
    const uint32_t records = static_cast<uint32_t>((length - 4) / kReportRecordSize);
    if (PaddedLength(4 + records * static_cast<uint32_t>(kReportRecordSize)) != length) {
        return malformed("length " + std::to_string(length) + " does not hold whole records");
    }
    if (bytes.size() >= kStreamHeaderSize + 4) {
        const uint32_t count = ReadU32(bytes, kStreamHeaderSize);
        if (count != records) {
            return malformed("count " + std::to_string(count) + " does not match length " +
                             std::to_string(length));
        }
    }
    header.status = ReportHeader::Known;
    header.size = kStreamHeaderSize + length;
    header.records = records;
    return header;
}

ReportParse ParseReportMessage(std::string_view bytes, bool acceptJobReports) {
    ReportParse result;
    const ReportHeader header = InspectReportHeader(bytes, acceptJobReports);
    if (header.status == ReportHeader::Malformed) {
        result.status = ReportParse::Malformed;
        result.error = header.error;
        return result;
    }
    if (header.status == ReportHeader::NeedMore || bytes.size() < header.size) {
        return result;
    }
    if (header.type == kJobReportType) {
        if (!DecodeJobReport(bytes.substr(kStreamHeaderSize, header.size - kStreamHeaderSize),
                             &result.job, &result.error)) {
            result.status = ReportParse::Malformed;
            return result;
        }
        result.isJob = true;
        result.status = ReportParse::Report;
        result.consumed = header.size;
        return result;
    }
    const uint32_t count = header.records;
    result.records.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        const std::string_view record = bytes.substr(
            kStreamHeaderSize + 4 + static_cast<size_t>(i) * kReportRecordSize, kReportRecordSize);
        ReportRecord decoded;
        decoded.serviceId = ReadTextField(record.substr(0, kServiceIdField));
        decoded.url = ReadTextField(record.substr(kServiceIdField, kUrlField));
        uint64_t value = 0;
        for (size_t b = 0; b < 8; ++b) {
            value |=
                static_cast<uint64_t>(static_cast<uint8_t>(record[kServiceIdField + kUrlField + b]))
                << (8 * b);
        }
        decoded.bytes = static_cast<int64_t>(value);
        decoded.marker = static_cast<uint8_t>(record[kReportRecordSize - 1]);
        result.records.push_back(std::move(decoded));
    }
    result.status = ReportParse::Report;
    result.consumed = header.size;
    return result;
}

}  // namespace tev::tools
