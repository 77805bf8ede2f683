// The collector's frame parser takes whatever a client sends: a stream of messages cut anywhere.
// Whatever it accepts must encode back to a message that parses to the same records.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "report_collector/report_frame.h"

using namespace tev::tools;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (;;) {
        const ReportParse parse = ParseReportMessage(bytes);
        // The header alone tells what the collector admits: its size and its verdict.
        const ReportHeader header = InspectReportHeader(bytes);
        // A job report's fields are judged once it is whole: its header may pass where its
        // payload is then refused.
        const bool jobPayloadRefused = header.status == ReportHeader::Known &&
                                       header.type == kJobReportType &&
                                       parse.status == ReportParse::Malformed;
        if ((!jobPayloadRefused && (header.status == ReportHeader::Malformed) !=
                                       (parse.status == ReportParse::Malformed)) ||
            (parse.status == ReportParse::Report &&
             (header.status != ReportHeader::Known || header.size != parse.consumed))) {
            __builtin_trap();
        }
        if (parse.status != ReportParse::Report) {
            break;
        }
        if (parse.isJob) {
            // A job report: bounded, and what was accepted encodes back to a report that parses
            // to the same summary.
            if (!parse.records.empty() || header.size > kStreamHeaderSize + kMaxJobReportLength ||
                parse.consumed > bytes.size()) {
                __builtin_trap();
            }
            const std::string again = BuildJobReportMessage(parse.job);
            const ReportParse reparsed = ParseReportMessage(again);
            if (reparsed.status != ReportParse::Report || !reparsed.isJob ||
                reparsed.consumed != again.size() ||
                EncodeJobReport(reparsed.job) != EncodeJobReport(parse.job)) {
                __builtin_trap();
            }
            bytes.remove_prefix(parse.consumed);
            continue;
        }
        if (header.records != parse.records.size() ||
            header.size > kStreamHeaderSize + kMaxReportLength) {
            __builtin_trap();
        }
        if (parse.consumed > bytes.size() || parse.consumed % 8 != 0 ||
            parse.consumed < kStreamHeaderSize + 4 + parse.records.size() * kReportRecordSize) {
            __builtin_trap();
        }
        const std::string again = BuildReportMessage(parse.records);
        const ReportParse reparsed = ParseReportMessage(again);
        if (reparsed.status != ReportParse::Report || reparsed.consumed != again.size() ||
            reparsed.records.size() != parse.records.size()) {
            __builtin_trap();
        }
        for (size_t i = 0; i < parse.records.size(); ++i) {
            const ReportRecord& a = parse.records[i];
            const ReportRecord& b = reparsed.records[i];
            // A field filled to its end without a NUL is read whole and written back cut.
            if (a.serviceId.substr(0, kServiceIdField - 1) != b.serviceId ||
                a.url.substr(0, kUrlField - 1) != b.url || a.bytes != b.bytes ||
                a.marker != b.marker) {
                __builtin_trap();
            }
        }
        bytes.remove_prefix(parse.consumed);
    }
    return 0;
}
