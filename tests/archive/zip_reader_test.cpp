#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "archive/zip_reader.h"
#include "archive_builders.h"

namespace {

constexpr uint32_t kUnixMode(mode_t mode) {
    return static_cast<uint32_t>(mode) << 16;
}

Bytes UtBlock(uint8_t flags, std::initializer_list<uint32_t> times) {
    Bytes block = {'U', 'T', static_cast<uint8_t>(1 + 4 * times.size()), 0, flags};
    for (uint32_t t : times) {
        for (int i = 0; i < 4; ++i) {
            block.push_back(static_cast<uint8_t>(t >> (8 * i)));
        }
    }
    return block;
}

time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
    struct tm local {};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    return mktime(&local);
}

TEST(CZipReader, AnswersTheEntryCountAndRefusesBadIndexes) {
    const Bytes zip = BuildZip({{.name = "a.txt", .data = "a"}, {.name = "b/", .data = ""}});
    auto reader = CZipReader::Open(zip.data(), zip.size());
    ASSERT_NE(reader, nullptr);
    ZipEntry entry;
    ASSERT_EQ(reader->GetEntry(-1, &entry), ZR_OK);
    EXPECT_EQ(entry.index, 2);
    EXPECT_EQ(reader->GetEntry(2, &entry), ZR_ARGS);
    EXPECT_EQ(reader->GetEntry(-2, &entry), ZR_ARGS);
    ASSERT_EQ(reader->GetEntry(1, &entry), ZR_OK);
    EXPECT_TRUE(entry.IsFolder());                  // marked only by its trailing '/'
    ASSERT_EQ(reader->GetEntry(0, &entry), ZR_OK);  // going back to the first
    EXPECT_EQ(entry.name, "a.txt");
    EXPECT_EQ(entry.uncompressedSize, 1);
    reader->Close();
    EXPECT_EQ(reader->GetEntry(0, &entry), ZR_ARGS);
    EXPECT_EQ(reader->ExtractEntry(0, TestFolder("out") + "/a.txt"), ZR_ARGS);

    const char garbage[] = "PK\x03\x04 this is not a zip archive";
    EXPECT_EQ(CZipReader::Open(garbage, sizeof garbage), nullptr);
    EXPECT_EQ(CZipReader::Open(nullptr, 10), nullptr);
}

struct AttributeCase {
    const char* label;
    int host;
    uint32_t external;
    uint32_t attributes;
    mode_t fileMode;  // under umask 022
};

class ZipAttributes : public ::testing::TestWithParam<AttributeCase> {};

TEST_P(ZipAttributes, FollowTheHostOfTheEntry) {
    const AttributeCase& c = GetParam();
    umask(022);
    const Bytes zip =
        BuildZip({{.name = "f", .data = "x", .host = c.host, .externalAttributes = c.external}});
    auto reader = CZipReader::Open(zip.data(), zip.size());
    ASSERT_NE(reader, nullptr);
    ZipEntry entry;
    ASSERT_EQ(reader->GetEntry(0, &entry), ZR_OK);
    EXPECT_EQ(entry.attributes, c.attributes);
    const std::string target = TestFolder("out") + "/f";
    ASSERT_EQ(reader->ExtractEntry(0, target), ZR_OK);
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.fileMode);
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, ZipAttributes,
    // The file's mode is ours: 0755 when the entry is executable, else 0644.
    ::testing::Values(AttributeCase{"UnixReadOnly", 3, kUnixMode(0100444), 0x21, 0644},
                      AttributeCase{"UnixExecutable", 3, kUnixMode(0100755), 0x20, 0755},
                      AttributeCase{"UnixPlain", 3, kUnixMode(0100640), 0x20, 0644},
                      AttributeCase{"UnixWithoutMode", 3, 0, 0x21, 0644},
                      AttributeCase{"MacOsXIsUnixToo", 19, kUnixMode(0100600), 0x20, 0644},
                      AttributeCase{"FatReadOnlyHiddenSystem", 0, 0x27, 0x27, 0644},
                      AttributeCase{"NtfsArchive", 11, 0x20, 0x20, 0644},
                      AttributeCase{"VfatHighBitsAreNotAMode", 14, kUnixMode(0100755) | 0x20, 0x20,
                                    0644}),
    [](const ::testing::TestParamInfo<AttributeCase>& info) { return info.param.label; });

struct TimeCase {
    const char* label;
    Bytes extra;
    time_t write;   // 0: the DOS time
    time_t access;  // 0: the DOS time
};

class ZipTimes : public ::testing::TestWithParam<TimeCase> {};

TEST_P(ZipTimes, StartFromTheDosTimeAndTakeTheUtBlock) {
    const TimeCase& c = GetParam();
    const time_t dos = LocalTime(2001, 2, 3, 4, 5, 6);
    const uint32_t dosDate = 0x2A43u << 16 | 4u << 11 | 5u << 5 | 3u;
    const Bytes zip =
        BuildZip({{.name = "t.txt", .data = "t", .dosDate = dosDate, .centralExtra = c.extra}});
    auto reader = CZipReader::Open(zip.data(), zip.size());
    ASSERT_NE(reader, nullptr);
    ZipEntry entry;
    ASSERT_EQ(reader->GetEntry(0, &entry), ZR_OK);
    EXPECT_EQ(entry.writeTime, c.write != 0 ? c.write : dos);
    EXPECT_EQ(entry.accessTime, c.access != 0 ? c.access : dos);
    EXPECT_EQ(entry.creationTime, dos);  // no table below sets it

    const std::string target = TestFolder("out") + "/t.txt";
    ASSERT_EQ(reader->ExtractEntry(0, target), ZR_OK);
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, entry.writeTime);
    EXPECT_EQ(st.st_atime, entry.accessTime);
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A 300-byte block before the "UT" one whose data, read with a one-byte size, would look like a
// "UT" block of its own.
Bytes LargeBlockThenUt() {
    Bytes block = {0xFE, 0xCA, 300 & 0xFF, 300 >> 8};
    block.resize(4 + 300, 0);
    const Bytes decoy = UtBlock(1, {111111111});
    std::copy(decoy.begin(), decoy.end(), block.begin() + 4 + (300 & 0xFF));
    return Concat(block, UtBlock(1, {1234567890}));
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, ZipTimes,
    ::testing::Values(
        TimeCase{"NoExtraField", {}, 0, 0},
        TimeCase{"WriteTimeOnly", UtBlock(1, {1234567890}), 1234567890, 0},
        TimeCase{"WriteAndAccess", UtBlock(3, {1234567890, 1000000000}), 1234567890, 1000000000},
        // Central "UT" blocks announce the access time without holding it.
        TimeCase{"AnnouncedButMissing", UtBlock(3, {1234567890}), 1234567890, 0},
        TimeCase{"AfterAnotherBlock", Concat({0x75, 0x78, 3, 0, 1, 2, 3}, UtBlock(1, {1234567890})),
                 1234567890, 0},
        TimeCase{"AfterALargeBlock", LargeBlockThenUt(), 1234567890, 0},
        TimeCase{"TruncatedBlock", {'U', 'T', 9, 0, 1, 0xD2}, 0, 0}),
    [](const ::testing::TestParamInfo<TimeCase>& info) { return info.param.label; });

TEST(CZipReader, FailuresLeaveNoFileBehind) {
    const std::string out = TestFolder("out");
    std::string stored = "stored bytes that the test corrupts";
    Bytes zip = BuildZip({{.name = "locked.txt", .data = "secret", .encrypted = true},
                          {.name = "corrupt.txt", .data = stored, .stored = true},
                          {.name = "blocked/file.txt", .data = "x"}});
    const auto at = std::search(zip.begin(), zip.end(), stored.begin(), stored.end());
    ASSERT_NE(at, zip.end());
    *at ^= 0x20;
    WriteFile(out + "/blocked", "a file where the folder should be");

    auto reader = CZipReader::Open(zip.data(), zip.size());
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->ExtractEntry(0, out + "/locked.txt"), ZR_PASSWORD);
    EXPECT_EQ(reader->ExtractEntry(1, out + "/corrupt.txt"), ZR_FLATE);
    EXPECT_EQ(reader->ExtractEntry(2, out + "/blocked/file.txt"), ZR_NOFILE);
    EXPECT_EQ(ListFolder(out), std::vector<std::string>{"blocked"});
}

}  // namespace
