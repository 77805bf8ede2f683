// The direct download's rules for server answers and its statistics records, without sockets.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "direct/answer_rules.h"
#include "direct/platform_reporter.h"
#include "direct/platform_session.h"
#include "stack/agent_layer.h"

namespace {

struct RangeCase {
    const char* value;
    bool ok;
    int64_t first;
    int64_t last;
    int64_t total;
};

TEST(ContentRange, ParsesTheThreeFormsAndRefusesTheRest) {
    const RangeCase cases[] = {
        {"bytes 0-99/100", true, 0, 99, 100},
        {"bytes 100-199/*", true, 100, 199, -1},
        {"bytes */1000", true, -1, -1, 1000},
        {"BYTES  5-5/6 ", true, 5, 5, 6},
        {"bytes */0", true, -1, -1, 0},
        {"bytes 10-9/100", false, 0, 0, 0},                  // last before first
        {"bytes 0-99/99", false, 0, 0, 0},                   // total not beyond last
        {"bytes */*", false, 0, 0, 0},                       // says nothing
        {"bytes 0-/100", false, 0, 0, 0},                    // open range is a request form
        {"items 0-9/10", false, 0, 0, 0},                    // another unit
        {"bytes0-9/10", false, 0, 0, 0},                     // no separator after the unit
        {"bytes 0-9/10x", false, 0, 0, 0},                   // trailing text
        {"bytes 0-99999999999999999999/1", false, 0, 0, 0},  // overflow
        // last + 1 and last - first + 1 must not overflow.
        {"bytes 0-9223372036854775807/*", false, 0, 0, 0},
        {"bytes 9223372036854775807-9223372036854775807/*", false, 0, 0, 0},
        {"bytes 0-9223372036854775806/*", true, 0, 9223372036854775806, -1},
        {"bytes 0-9223372036854775806/9223372036854775807", true, 0, 9223372036854775806,
         9223372036854775807},
        {"bytes */9223372036854775807", true, -1, -1, 9223372036854775807},
        {"", false, 0, 0, 0},
    };
    for (const RangeCase& c : cases) {
        SCOPED_TRACE(c.value);
        CContentRange range;
        ASSERT_EQ(ParseContentRange(c.value, &range), c.ok);
        if (c.ok) {
            EXPECT_EQ(range.first, c.first);
            EXPECT_EQ(range.last, c.last);
            EXPECT_EQ(range.total, c.total);
        }
    }
}

TEST(ContentRange, APartialAnswerIsAppendedOnlyWhereTheSameFileEnds) {
    struct Case {
        const char* range;
        int64_t position;
        int64_t knownSize;
        ePartialVerdict verdict;
        int64_t fileSize;
    };
    using V = ePartialVerdict;
    const Case cases[] = {
        // The total is the whole file's size, not the part's length.
        {"bytes 400-999/1000", 400, -1, V::kAppend, 1000},
        {"bytes 400-999/1000", 400, 1000, V::kAppend, 1000},
        {"bytes 400-599/*", 400, -1, V::kAppend, 600},
        {"bytes 400-599/*", 400, 1000, V::kAppend, 600},
        // Anything else would leave a hole or a doubled stretch in the file.
        {"bytes 0-999/1000", 400, -1, V::kNotContinuing, 0},
        {"bytes 500-999/1000", 400, -1, V::kNotContinuing, 0},
        {"bytes */1000", 400, -1, V::kNotContinuing, 0},
        {"", 400, -1, V::kNotContinuing, 0},
        {"bytes 0-9223372036854775807/*", 0, -1, V::kNotContinuing, 0},
        // A size other than the one learnt: the file changed, its prefix is of another version.
        {"bytes 400-1199/1200", 400, 1000, V::kAnotherVersion, 0},
        {"bytes 400-1199/*", 400, 1000, V::kAnotherVersion, 0},
        // From the start nothing can be spliced: the answer tells the new size.
        {"bytes 0-1199/1200", 0, 1000, V::kAppend, 1200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.range) + " at " + std::to_string(c.position));
        int64_t size = 0;
        EXPECT_EQ(JudgePartialAnswer(c.range, c.position, c.knownSize, &size), c.verdict);
        if (c.verdict == V::kAppend) {
            EXPECT_EQ(size, c.fileSize);
        }
    }
}

TEST(ContentRange, NotSatisfiableMeansDoneOnlyWhenTheSizesAgree) {
    // The server's word decides when it gives one.
    EXPECT_TRUE(RangeNotSatisfiableMeansDone("bytes */1000", 1000, -1));
    EXPECT_TRUE(RangeNotSatisfiableMeansDone("bytes */1000", 1000, 5));
    EXPECT_FALSE(RangeNotSatisfiableMeansDone("bytes */1000", 1200, 1200));
    EXPECT_FALSE(RangeNotSatisfiableMeansDone("bytes */1000", 800, -1));
    // Without it, the size learnt before; without that, nothing is known to be complete.
    EXPECT_TRUE(RangeNotSatisfiableMeansDone("", 1000, 1000));
    EXPECT_FALSE(RangeNotSatisfiableMeansDone("", 1000, 999));
    EXPECT_FALSE(RangeNotSatisfiableMeansDone("garbage", 1000, -1));
}

struct VerdictCase {
    int64_t length;
    int64_t existing;
    int64_t free;
    eSizeVerdict verdict;
};

TEST(SizeCheckVerdict, FreeSpaceRule) {
    const VerdictCase cases[] = {
        {100, -1, 99, eSizeVerdict::kTooLarge},
        {100, -1, 100, eSizeVerdict::kUnusable},  // exactly as large as the free space
        {100, -1, 101, eSizeVerdict::kFits},
        {0, -1, 1000, eSizeVerdict::kUnusable},  // no usable length
        {-5, -1, 1000, eSizeVerdict::kUnusable},
        // Bytes already in the local file need no more space.
        {100, 40, 60, eSizeVerdict::kUnusable},
        {100, 40, 61, eSizeVerdict::kFits},
        {100, 40, 59, eSizeVerdict::kTooLarge},
        {100, 100, 0, eSizeVerdict::kFits},
        // A local file longer than the served one is fetched again whole.
        {100, 150, 99, eSizeVerdict::kTooLarge},
    };
    for (const VerdictCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.length << " " << c.existing << " " << c.free);
        EXPECT_EQ(SizeCheckVerdict(c.length, c.existing, c.free), c.verdict);
    }
}

TEST(Alternatives, SplitAtBarsWithoutEmptyPieces) {
    using V = std::vector<std::string>;
    EXPECT_EQ(SplitAlternatives("http://a/x"), V{"http://a/x"});
    EXPECT_EQ(SplitAlternatives("http://a/x|http://b/x"), (V{"http://a/x", "http://b/x"}));
    EXPECT_EQ(SplitAlternatives("||http://a/x|| http://b/x |"), (V{"http://a/x", "http://b/x"}));
    EXPECT_EQ(SplitAlternatives("| |"), V{});
}

TEST(ReportRecord, LayoutAndCuts) {
    uint8_t record[kAgentReportRecordSize];
    std::memset(record, 0xEE, sizeof record);
    BuildReportRecord("svc-1", "http://h/a.bin|http://m/a.bin", (int64_t{1} << 40) + 0x0102,
                      record);
    EXPECT_STREQ(reinterpret_cast<const char*>(record), "svc-1");
    EXPECT_STREQ(reinterpret_cast<const char*>(record + 33), "http://h/a.bin|http://m/a.bin");
    const uint8_t count[8] = {0x02, 0x01, 0, 0, 0, 0x01, 0, 0};
    EXPECT_EQ(std::memcmp(record + 289, count, 8), 0) << "int64, little-endian";
    EXPECT_EQ(record[297], 1);
    EXPECT_EQ(record[32], 0);
    EXPECT_EQ(record[288], 0);

    // A URL text beyond the field is cut to 255 bytes, leaving its terminator.
    const std::string longUrl = "http://h/" + std::string(400, 'x');
    BuildReportRecord(std::string(40, 'S'), longUrl, 7, record);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record)), std::string(32, 'S'));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record + 33)), longUrl.substr(0, 255));
    EXPECT_EQ(record[289], 7);
    EXPECT_EQ(record[297], 1);

    // ... and never inside a character: a two-byte character across the cut goes whole.
    const std::string accented = std::string(254, 'a') + "\xC3\xA9" + "zz";
    BuildReportRecord("s", accented, 1, record);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record + 33)), std::string(254, 'a'));
}

TEST(ReportServerAddress, HostAndPort) {
    std::string host;
    uint16_t port = 0;
    SplitReportServer("127.0.0.1:4000", &host, &port);
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 4000);
    SplitReportServer("reports.example", &host, &port);
    EXPECT_EQ(host, "reports.example");
    EXPECT_EQ(port, 54547);
    SplitReportServer("h:0", &host, &port);
    EXPECT_EQ(port, 54547) << "an unusable port falls back to the report port";
    SplitReportServer("h:12x", &host, &port);
    EXPECT_EQ(port, 54547);
}

}  // namespace
