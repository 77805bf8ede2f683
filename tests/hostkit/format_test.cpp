#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "hostkit/format.h"

namespace {

struct NumberCase {
    double input;
    const char* text;
};

struct ClockCase {
    int64_t seconds;
    const char* text;
};

struct TextCase {
    const char* input;
    const char* text;
};

}  // namespace

TEST(FormatSize, UnitsAndTheirLimits) {
    const NumberCase cases[] = {
        {0, "0 Bytes"},
        {1023, "1023 Bytes"},
        {1024, "1.00 KB"},
        {1536, "1.50 KB"},
        {1048575, "1024.00 KB"},  // rounds in the unit it fits
        {1048576, "1.00 MB"},
        {5.5 * 1073741824.0, "5.50 GB"},
        {std::pow(1024.0, 4), "1.00 TB"},
        {1023.5 * std::pow(1024.0, 4), "1023.50 TB"},
        {std::pow(1024.0, 5), ""},
        {std::pow(1024.0, 6), ""},
    };
    for (const NumberCase& c : cases) {
        EXPECT_EQ(FormatSize(c.input), c.text) << c.input;
    }
}

TEST(FormatSpeed, UnitsAndTheirLimits) {
    const NumberCase cases[] = {
        {0, "0.0 Bytes"},
        {-5, "0.0 Bytes"},
        {1, "1 Bytes"},
        {512, "512 Bytes"},
        {2048, "2.00 KB/Sec"},
        {1048576 * 3.25, "3.25 MB/Sec"},
        {1073741824.0, "1.00 GB/Sec"},
        {std::pow(1024.0, 4) * 2, "2.00 TB/Sec"},
        {std::pow(1024.0, 5), "0.0 Bytes"},
    };
    for (const NumberCase& c : cases) {
        EXPECT_EQ(FormatSpeed(c.input), c.text) << c.input;
    }
}

TEST(FormatClock, HoursWithinTheDay) {
    const ClockCase cases[] = {
        {0, "00:00:00"},
        {59, "00:00:59"},
        {3661, "01:01:01"},
        {86399, "23:59:59"},
        {86400, "00:00:00"},
        {25 * 3600, "01:00:00"},
        {3 * 86400 + 7322, "02:02:02"},
        // A clock step back never shows as "-1:-1:-1".
        {-1, "00:00:00"},
        {-3661, "00:00:00"},
        {INT64_MIN, "00:00:00"},
    };
    for (const ClockCase& c : cases) {
        EXPECT_EQ(FormatClock(c.seconds), c.text) << c.seconds;
    }
}

TEST(FormatRemaining, NoTimeWithoutASpeed) {
    struct Case {
        int64_t remaining;
        int64_t speed;
        const char* text;
    };
    const Case cases[] = {
        {3661, 100, "01:01:01"},
        // The first second, or a clock set back: the bytes left are no time.
        {1'500'000'000, 0, "00:00:00"},
        {1'500'000'000, -5, "00:00:00"},
        {-1, 100, "00:00:00"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatRemaining(c.remaining, c.speed), c.text) << c.remaining << " " << c.speed;
    }
}

TEST(SpeedGraphSample, MegabitsPerSecondUpTo100) {
    const int64_t cases[][2] = {
        {0, 0},
        {-1048576, 0},
        {131071, 0},
        {131072, 1},
        {1048575, 7},
        {100 * 1048576 / 8, 100},
        {100 * 1048576 / 8 - 1, 99},
        {int64_t{1} << 28, 100},  // 256 MiB/s: past 32 bits once multiplied by 8
        {int64_t{1} << 40, 100},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SpeedGraphSample(c[0]), c[1]) << c[0];
    }
}

TEST(TextCuts, FileNameOfUrlAndTextAfterComma) {
    const TextCase names[] = {
        {"http://host/download/qk/setup.exe", "setup.exe"},
        {"http://host/download/qk/", ""},
        {"setup.exe", ""},
        {"", ""},
        {"/a", "a"},
        {"http://host/q/%E9%81%8A.exe", "%E9%81%8A.exe"},
    };
    for (const TextCase& c : names) {
        EXPECT_EQ(FileNameOfUrl(c.input), c.text) << c.input;
    }
    const TextCase commas[] = {
        {"a,b,c", "b,c"},  {"no comma", "no comma"},
        {"", ""},          {"http://host/f.exe,/home/u/orvix9/QK/f.exe", "/home/u/orvix9/QK/f.exe"},
        {"trailing,", ""},
    };
    for (const TextCase& c : commas) {
        EXPECT_EQ(TextAfterComma(c.input), c.text) << c.input;
    }
}
