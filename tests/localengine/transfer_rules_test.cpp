// The engine's transfer decisions as pure functions: byte-range sets, the control file, how an
// answer to a ranged request is judged, side-file names and the checks of a job's file list.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <vector>

#include "support/test_data.h"
#include "transfer/byte_ranges.h"
#include "transfer/control_file.h"
#include "transfer/job_check.h"
#include "transfer/response_check.h"
#include "transfer/side_names.h"
#include "transfer/stranded_parts.h"
#include "transfer/token_bucket.h"

using namespace tev::localengine;

namespace {

ByteRanges Of(std::initializer_list<ByteRange> ranges) {
    ByteRanges set;
    for (const ByteRange& r : ranges) {
        set.Add(r.begin, r.end);
    }
    return set;
}

}  // namespace

TEST(ByteRangesTest, MergesOverlappingAndTouchingRanges) {
    struct Case {
        std::initializer_list<ByteRange> added;
        std::vector<ByteRange> expected;
    };
    const Case cases[] = {
        {{{0, 10}, {10, 20}}, {{0, 20}}},
        {{{10, 20}, {0, 5}}, {{0, 5}, {10, 20}}},
        {{{0, 5}, {10, 20}, {4, 11}}, {{0, 20}}},
        {{{0, 5}, {20, 30}, {8, 9}, {2, 25}}, {{0, 30}}},
        {{{5, 5}}, {}},
        {{{0, 100}, {10, 20}}, {{0, 100}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Of(c.added).Ranges(), c.expected);
    }
}

TEST(ByteRangesTest, MissingPrefixAndCover) {
    const ByteRanges set = Of({{0, 10}, {20, 30}});
    EXPECT_EQ(set.Missing(40), (std::vector<ByteRange>{{10, 20}, {30, 40}}));
    EXPECT_EQ(set.Missing(25), (std::vector<ByteRange>{{10, 20}}));
    EXPECT_EQ(set.ContiguousPrefix(), 10u);
    EXPECT_EQ(Of({{5, 10}}).ContiguousPrefix(), 0u);
    EXPECT_TRUE(set.Covers(21, 30));
    EXPECT_FALSE(set.Covers(5, 21));
    EXPECT_EQ(set.Total(), 20u);
}

TEST(ControlFileTest, RoundTripsThroughTheFile) {
    // Member by member: GCC 12 at -O2 takes a braced record's string for uninitialized.
    ControlRecord record;
    record.size = 1000;
    record.validator.kind = Validator::ETag;
    record.validator.value = "\"abc-1\"";
    record.done = Of({{0, 100}, {500, 1000}});
    const std::string path = std::string(std::getenv("TEV_TEST_ROOT")) + "/x.tevctl";
    ASSERT_TRUE(WriteControlFile(path, record));
    EXPECT_EQ(ReadControlFile(path), record);
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));

    record.validator.kind = Validator::LastModified;
    record.validator.value = "Thu, 10 Dec 2026 10:00:00 GMT";
    record.done = {};
    ASSERT_TRUE(WriteControlFile(path, record));
    EXPECT_EQ(ReadControlFile(path), record);
}

TEST(ControlFileTest, RefusesTornOrInconsistentRecords) {
    ControlRecord record;
    record.size = 1000;
    record.done = Of({{0, 100}});
    const std::string good = EncodeControlRecord(record);
    ASSERT_TRUE(DecodeControlRecord(good));
    // Every cut of a good record is refused: a torn write never passes for a shorter one.
    for (size_t cut = 0; cut < good.size(); ++cut) {
        EXPECT_FALSE(DecodeControlRecord(good.substr(0, cut))) << cut;
    }
    const char* bad[] = {
        "TEVCTL 1\nsize 100\ndone 0-101\nend\n",             // beyond the size
        "TEVCTL 1\nsize 100\ndone 50-60\ndone 0-10\nend\n",  // out of order
        "TEVCTL 1\nsize 100\ndone 10-10\nend\n",             // empty range
        "TEVCTL 1\ndone 0-10\nsize 100\nend\n",              // range before the size
        "TEVCTL 2\nsize 100\nend\n",                         // another format
        "TEVCTL 1\nsize -1\nend\n",
        "TEVCTL 1\nsize 100\netag \nend\n",
        "TEVCTL 1\nsize 100\nsize 200\nend\n",
        "TEVCTL 1\nsize 100\nsecret x\nend\n",
    };
    for (const char* text : bad) {
        EXPECT_FALSE(DecodeControlRecord(text)) << text;
    }
}

TEST(ResponseCheckTest, JudgesAnswersToRangedRequests) {
    const Validator none;
    const Validator etag{Validator::ETag, "\"v1\""};
    struct Case {
        const char* what;
        RangeAsk ask;
        AnswerHead head;
        std::optional<uint64_t> known;
        bool fromJob;
        Validator stored;
        Verdict::Kind expected;
    };
    const Case cases[] = {
        {"exact range",
         {0, 100},
         {206, "bytes 0-99/1000", 100, etag},
         1000,
         true,
         etag,
         Verdict::Range},
        {"end clipped to size",
         {900, 1100},
         {206, "bytes 900-999/1000", 100, {}},
         std::nullopt,
         false,
         none,
         Verdict::Range},
        {"other start",
         {100, 200},
         {206, "bytes 0-99/1000", 100, {}},
         1000,
         true,
         none,
         Verdict::BadRange},
        {"short range",
         {0, 100},
         {206, "bytes 0-49/1000", 50, {}},
         1000,
         true,
         none,
         Verdict::BadRange},
        {"length disagrees",
         {0, 100},
         {206, "bytes 0-99/1000", 99, {}},
         1000,
         true,
         none,
         Verdict::BadRange},
        {"no Content-Range",
         {0, 100},
         {206, std::nullopt, 100, {}},
         1000,
         true,
         none,
         Verdict::BadRange},
        {"unknown total",
         {0, 100},
         {206, "bytes 0-99/*", 100, {}},
         1000,
         true,
         none,
         Verdict::BadRange},
        {"size differs from list",
         {0, 100},
         {206, "bytes 0-99/2000", 100, {}},
         1000,
         true,
         none,
         Verdict::SizeMismatch},
        {"learnt size moved",
         {0, 100},
         {206, "bytes 0-99/2000", 100, {}},
         1000,
         false,
         none,
         Verdict::Changed},
        {"validator changed",
         {0, 100},
         {206, "bytes 0-99/1000", 100, {Validator::ETag, "\"v2\""}},
         1000,
         true,
         etag,
         Verdict::Changed},
        {"range ignored",
         {100, 200},
         {200, std::nullopt, 1000, {}},
         1000,
         true,
         none,
         Verdict::WholeBody},
        {"whole body of wrong size",
         {0, 100},
         {200, std::nullopt, 999, {}},
         1000,
         true,
         none,
         Verdict::SizeMismatch},
        {"nothing left",
         {1000, 2000},
         {416, "bytes */1000", std::nullopt, {}},
         std::nullopt,
         false,
         none,
         Verdict::BeyondEnd},
        {"416 of another size",
         {1000, 2000},
         {416, "bytes */500", std::nullopt, {}},
         1000,
         true,
         none,
         Verdict::SizeMismatch},
        {"416 inside the file",
         {10, 20},
         {416, "bytes */1000", std::nullopt, {}},
         std::nullopt,
         false,
         none,
         Verdict::HttpError},
        {"not found", {0, 100}, {404, std::nullopt, 10, {}}, 1000, true, none, Verdict::HttpError},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JudgeAnswer(c.ask, c.head, c.known, c.fromJob, c.stored).kind, c.expected)
            << c.what;
    }
}

TEST(ResponseCheckTest, ReadsHeadsLineByLineUpToTheFinalAnswer) {
    // Each case: the lines libcurl hands over, in order; the head ends at the first blank line
    // of a final answer (a 100 or a followed redirect comes before it).
    struct Case {
        const char* what;
        std::vector<const char*> lines;
        long status;
        std::optional<uint64_t> length;
        Validator::Kind validator;
    };
    const Case cases[] = {
        {"a range with a strong ETag",
         {"HTTP/1.1 206 Partial Content\r\n", "Content-Range: bytes 0-9/20\r\n",
          "content-length: 10\r\n", "ETag: \"a\"\r\n", "Last-Modified: x\r\n", "\r\n"},
         206,
         10,
         Validator::ETag},
        {"a weak ETag gives way to Last-Modified",
         {"HTTP/1.1 200 OK\r\n", "ETag: W/\"a\"\r\n", "Last-Modified: x\r\n", "\r\n"},
         200,
         std::nullopt,
         Validator::LastModified},
        {"a redirect's head is forgotten",
         {"HTTP/1.1 302 Found\r\n", "Content-Length: 5\r\n", "ETag: \"r\"\r\n", "\r\n",
          "HTTP/1.1 200 OK\r\n", "\r\n"},
         200,
         std::nullopt,
         Validator::None},
        {"100 Continue first",
         {"HTTP/1.1 100 Continue\r\n", "\r\n", "HTTP/1.1 404 Not Found\r\n", "\r\n"},
         404,
         std::nullopt,
         Validator::None},
        {"a length that is no number is none",
         {"HTTP/1.1 200 OK\r\n", "Content-Length: -1\r\n", "\r\n"},
         200,
         std::nullopt,
         Validator::None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AnswerHead head;
        size_t finalAt = c.lines.size();
        for (size_t i = 0; i < c.lines.size(); ++i) {
            if (ReadHeadLine(c.lines[i], head)) {
                finalAt = i;
                break;
            }
        }
        EXPECT_EQ(finalAt, c.lines.size() - 1);
        EXPECT_EQ(head.status, c.status);
        EXPECT_EQ(head.contentLength, c.length);
        EXPECT_EQ(head.validator.kind, c.validator);
    }
}

TEST(SideNamesTest, NeverCollideWithTheJobAndStayWithinTheNameLimit) {
    const std::set<std::string> plain{"game.bin"};
    EXPECT_EQ(MakeSideNames("game.bin", plain).part, "game.bin.tevpart");

    // A file of the job named like another's part file pushes that one to a hashed name.
    const std::set<std::string> clash{"game.bin", "game.bin.tevpart"};
    const SideNames hashed = MakeSideNames("game.bin", clash);
    EXPECT_FALSE(clash.contains(hashed.part));
    EXPECT_FALSE(clash.contains(hashed.control));
    EXPECT_NE(hashed.part, hashed.control);
    EXPECT_EQ(MakeSideNames("game.bin", clash).part, hashed.part);  // the same on the next run

    const std::string longName(250, 'x');
    const SideNames shortened = MakeSideNames(longName, {longName});
    EXPECT_LE(shortened.control.size() + 4, 255u);
    EXPECT_NE(MakeSideNames(longName + "y", {}).part, shortened.part);
}

TEST(JobCheckTest, RefusesUnsafeFileLists) {
    const FileOrder good{"/games/x", "a.bin", "http://h/a.bin", 10};
    EXPECT_EQ(CheckFileList({good}), std::nullopt);
    EXPECT_EQ(CheckFileList({{"C:\\x", "a", "https://h/a", -1}}),
              std::make_optional<std::string>(
                  "refused folder \"C:\\x\": not an absolute path without \"..\""));
    struct Case {
        FileOrder file;
        const char* reasonPart;
    };
    const Case cases[] = {
        {{"games/x", "a.bin", "http://h/a", 1}, "refused folder"},
        {{"/games/../etc", "a.bin", "http://h/a", 1}, "refused folder"},
        {{"\\games\\..\\etc", "a.bin", "http://h/a", 1}, "refused folder"},
        {{"", "a.bin", "http://h/a", 1}, "refused folder"},
        {{"/g", "..", "http://h/a", 1}, "refused file name"},
        {{"/g", "a/b", "http://h/a", 1}, "refused file name"},
        {{"/g", "a\\b", "http://h/a", 1}, "refused file name"},
        {{"/g", "", "http://h/a", 1}, "refused file name"},
        {{"/g", "a", "file:///etc/passwd", 1}, "only http and https"},
        {{"/g", "a", "ftp://h/a", 1}, "only http and https"},
    };
    for (const Case& c : cases) {
        const std::optional<std::string> refusal = CheckFileList({c.file});
        ASSERT_TRUE(refusal) << c.file.folder << " " << c.file.name;
        EXPECT_NE(refusal->find(c.reasonPart), std::string::npos) << *refusal;
    }
    EXPECT_TRUE(CheckFileList({good, {"/games/x/", "a.bin", "http://h/b", 1}}));  // twice
    EXPECT_TRUE(CheckFileList(std::vector<FileOrder>(kMaxFilesPerJob + 1, good)));
}

TEST(StrandedPartsTest, RemovesOnlyOldUnlockedSideFilesOfNoRunningJob) {
    namespace fs = std::filesystem;
    const std::string folder = std::string(std::getenv("TEV_TEST_ROOT")) + "/stranded";
    fs::create_directories(folder);
    const std::string outside = std::string(std::getenv("TEV_TEST_ROOT")) + "/outside.bin";
    std::ofstream(outside) << "not ours";
    const time_t now = time(nullptr);
    const auto put = [&](const std::string& name, time_t age) {
        std::ofstream(folder + "/" + name) << "x";
        const timespec then[2] = {{now - age, 0}, {now - age, 0}};
        utimensat(AT_FDCWD, (folder + "/" + name).c_str(), then, AT_SYMLINK_NOFOLLOW);
    };
    const time_t old = kStrandedSeconds + 3600;
    put("gone.bin.tevpart", old);
    put("gone.bin.tevctl", old);
    put("torn.bin.tevctl.new", old);  // a replacement that never got its rename
    put("young.bin.tevpart", old);    // its control file was written lately
    put("young.bin.tevctl", 3600);
    put("kept.bin.tevpart", old);    // a running job's file
    put("locked.bin.tevpart", old);  // held by a job of another engine
    put("game.bin", old);            // a target, never a side file
    fs::create_symlink(outside, folder + "/link.bin.tevpart");
    const int lockedFd = open((folder + "/locked.bin.tevpart").c_str(), O_RDONLY);
    ASSERT_EQ(flock(lockedFd, LOCK_EX), 0);

    const std::set<std::string> keep =
        NamesInFolder({{folder + "/", "kept.bin", "http://h/k", -1}}, NormalizeFolder(folder));
    std::vector<std::string> removed = RemoveStrandedParts(folder, keep, now - kStrandedSeconds);
    close(lockedFd);
    std::sort(removed.begin(), removed.end());
    EXPECT_EQ(removed, (std::vector<std::string>{"gone.bin.tevctl", "gone.bin.tevpart",
                                                 "torn.bin.tevctl.new"}));
    for (const char* name : {"young.bin.tevpart", "young.bin.tevctl", "kept.bin.tevpart",
                             "locked.bin.tevpart", "game.bin", "link.bin.tevpart"}) {
        EXPECT_TRUE(fs::exists(fs::symlink_status(folder + "/" + name))) << name;
    }
    EXPECT_EQ(ReadWholeFile(outside), "not ours");
}

TEST(TokenBucketTest, HoldsTheRateOverTime) {
    TokenBucket bucket(1000, 100, 0);
    int64_t now = 0;
    uint64_t taken = 0;
    // A reader that takes 64 bytes whenever the bucket is clear, for ten simulated seconds.
    while (now < 10000) {
        if (bucket.InDebt(now)) {
            now += bucket.MsUntilClear(now);
            continue;
        }
        bucket.Take(64, now);
        taken += 64;
    }
    EXPECT_GE(taken, 9900u);
    EXPECT_LE(taken, 10100u + 64);
}
