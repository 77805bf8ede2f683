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

ReportHeader InspectReportHeader(std::string_view bytes) {
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
    if (category != kAgentCategory || type != kReportMessageType) {
        char text[64];
        std::snprintf(text, sizeof text, "unexpected message 0x%04X/0x%02X", category, type);
        return malformed(text);
    }
    if (ReadU32(bytes, 4) != 0 || ReadU16(bytes, 8) != 0) {
        return malformed("reserved header bytes are not zero");
    }
    const uint32_t length = ReadU32(bytes, 10);
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

ReportParse ParseReportMessage(std::string_view bytes) {
    ReportParse result;
    const ReportHeader header = InspectReportHeader(bytes);
    if (header.status == ReportHeader::Malformed) {
        result.status = ReportParse::Malformed;
        result.error = header.error;
        return result;
    }
    if (header.status == ReportHeader::NeedMore || bytes.size() < header.size) {
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
