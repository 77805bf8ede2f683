// Report messages without sockets: wire layout, acknowledgement bytes, split streams, refusals.
#include <gtest/gtest.h>

#include "report_collector/report_frame.h"

using namespace tev::tools;

namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) {
        out.push_back(static_cast<char>(v));
    }
    return out;
}

std::string Header(uint16_t category, uint16_t type, uint32_t length) {
    return Bytes({category & 0xFF, category >> 8, type & 0xFF, type >> 8, 0, 0, 0, 0, 0, 0,
                  static_cast<int>(length & 0xFF), static_cast<int>((length >> 8) & 0xFF),
                  static_cast<int>((length >> 16) & 0xFF), static_cast<int>(length >> 24)});
}

TEST(ReportFrameTest, LaysOutReportsAndAcknowledgementsAsTheDownloaderDoes) {
    const ReportRecord record{"svc", "http://h/f.bin", 0x0102030405060708, 1};
    const std::string message = BuildReportMessage({record});
    // 14 + 4 + 298 = 316 bytes, padded to 320: the length field says 306.
    ASSERT_EQ(message.size(), 320u);
    EXPECT_EQ(message.substr(0, 14), Header(0x0300, 0x9A, 306));
    EXPECT_EQ(message.substr(14, 4), Bytes({1, 0, 0, 0}));
    const std::string wire = message.substr(18, 298);
    EXPECT_EQ(wire.substr(0, 4), std::string("svc\0", 4));
    EXPECT_EQ(wire.substr(33, 15), std::string("http://h/f.bin\0", 15));
    EXPECT_EQ(wire.substr(289, 9), Bytes({8, 7, 6, 5, 4, 3, 2, 1, 1}));
    EXPECT_EQ(message.substr(316), std::string(4, '\0'));

    // The acknowledgement: 0x0300/0x83, one payload byte 0 and one byte of padding.
    EXPECT_EQ(BuildReportAck(), Header(0x0300, 0x83, 2) + Bytes({0, 0}));
}

TEST(ReportFrameTest, CutsLongTextsAndReadsUnterminatedFieldsWhole) {
    const ReportRecord record{std::string(40, 's'), std::string(300, 'u'), 5, 1};
    ReportParse parse = ParseReportMessage(BuildReportMessage({record}));
    ASSERT_EQ(parse.status, ReportParse::Report);
    EXPECT_EQ(parse.records[0].serviceId, std::string(32, 's'));
    EXPECT_EQ(parse.records[0].url, std::string(255, 'u'));

    // A sender that fills a field to its end without a NUL loses nothing.
    std::string payload = Bytes({1, 0, 0, 0}) + std::string(33, 'S') + std::string(256, 'U') +
                          std::string(8, '\0') + Bytes({1});
    parse = ParseReportMessage(BuildStreamMessage(0x0300, 0x9A, payload));
    ASSERT_EQ(parse.status, ReportParse::Report);
    EXPECT_EQ(parse.records[0].serviceId, std::string(33, 'S'));
    EXPECT_EQ(parse.records[0].url, std::string(256, 'U'));
}

TEST(ReportFrameTest, ParsesTheSameRecordsWhereverTheStreamIsCut) {
    const std::vector<ReportRecord> first = {{"a", "http://x/1", 10, 1},
                                             {"a", "http://x/2", 20, 1}};
    const std::vector<ReportRecord> second = {};
    const std::vector<ReportRecord> third = {{"b", "http://y/3", -1, 1}};
    const std::string stream =
        BuildReportMessage(first) + BuildReportMessage(second) + BuildReportMessage(third);

    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        std::string buffer;
        std::vector<std::vector<ReportRecord>> messages;
        for (const std::string_view piece :
             {std::string_view(stream).substr(0, cut), std::string_view(stream).substr(cut)}) {
            buffer.append(piece);
            for (;;) {
                ReportParse parse = ParseReportMessage(buffer);
                ASSERT_NE(parse.status, ReportParse::Malformed) << "cut " << cut;
                if (parse.status == ReportParse::NeedMore) {
                    break;
                }
                messages.push_back(parse.records);
                buffer.erase(0, parse.consumed);
            }
        }
        ASSERT_EQ(messages.size(), 3u) << "cut " << cut;
        ASSERT_EQ(messages[0].size(), 2u);
        EXPECT_EQ(messages[0][1].url, "http://x/2");
        EXPECT_EQ(messages[0][1].bytes, 20);
        EXPECT_TRUE(messages[1].empty());
        ASSERT_EQ(messages[2].size(), 1u);
        EXPECT_EQ(messages[2][0].serviceId, "b");
        EXPECT_EQ(messages[2][0].bytes, -1);
        EXPECT_TRUE(buffer.empty());
    }
}

TEST(ReportFrameTest, RefusesMalformedMessagesAsSoonAsTheBytesShow) {
    const std::string good = BuildReportMessage({{"s", "u", 1, 1}});
    std::string reserved = good;
    reserved[6] = 1;
    const std::pair<const char*, std::string> cases[] = {
        {"other category", Header(0x0100, 0x9A, 306)},
        {"acknowledgement type", Header(0x0300, 0x83, 2)},
        {"unknown type", Header(0x0300, 0x84, 306)},
        {"beyond 1 MiB", Header(0x0300, 0x9A, 1024 * 1024 + 2)},
        // 3,519 records: padded and whole, but one record beyond the limit.
        {"too many records", Header(0x0300, 0x9A, PaddedLength(4 + 3519 * 298))},
        {"not padded", Header(0x0300, 0x9A, 305)},
        {"no room for a count", Header(0x0300, 0x9A, 2)},
        {"count larger than length", Header(0x0300, 0x9A, 306) + Bytes({2, 0, 0, 0})},
        {"count smaller than length", Header(0x0300, 0x9A, 610) + Bytes({1, 0, 0, 0})},
        {"huge count", Header(0x0300, 0x9A, 306) + Bytes({0xFF, 0xFF, 0xFF, 0xFF})},
        {"reserved bytes", reserved},
        {"text", std::string("GET / HTTP/1.1\r\n\r\n")},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        const ReportParse parse = ParseReportMessage(bytes);
        EXPECT_EQ(parse.status, ReportParse::Malformed);
        EXPECT_FALSE(parse.error.empty());
    }
    EXPECT_EQ(ParseReportMessage(good.substr(0, 13)).status, ReportParse::NeedMore);
    // The largest report is known from its header alone, before its megabyte has arrived.
    const ReportHeader largest =
        InspectReportHeader(Header(0x0300, 0x9A, PaddedLength(4 + 3518 * 298)));
    EXPECT_EQ(largest.status, ReportHeader::Known) << largest.error;
    EXPECT_EQ(largest.records, 3518u);
    EXPECT_EQ(largest.size, 14 + PaddedLength(4 + 3518 * 298));
    EXPECT_EQ(ParseReportMessage(good.substr(0, 319)).status, ReportParse::NeedMore);
}

}  // namespace
