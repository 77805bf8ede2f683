// The engine's transfers over real loopback sockets, against the project's test server (which
// misbehaves on request) and a private nginx (validators, If-Range, a per-connection rate cap).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "localengine/nginx_fixture.h"
#include "localengine/transfer_fixture.h"
#include "support/test_data.h"
#include "test_server/test_http_server.h"
#include "transfer/control_file.h"
#include "transfer/file_io.h"
#include "transfer/final_record.h"

using namespace tev::localengine;
using tev::tools::HttpRule;
using tev::tools::TestHttpServer;

namespace {

namespace fs = std::filesystem;

// The asked ranges never overlap and add up to exactly size: no byte was fetched twice.
void ExpectEachByteAskedOnce(std::vector<std::pair<uint64_t, uint64_t>> ranges, uint64_t size) {
    std::sort(ranges.begin(), ranges.end());
    uint64_t total = 0;
    for (size_t i = 0; i < ranges.size(); ++i) {
        total += ranges[i].second - ranges[i].first;
        if (i > 0) {
            EXPECT_LE(ranges[i - 1].second, ranges[i].first) << "ranges overlap";
        }
    }
    EXPECT_EQ(total, size);
}

bool NoSideFiles(const std::string& folder) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename();
        if (name.find(".tevpart") != std::string::npos ||
            name.find(".tevctl") != std::string::npos) {
            return false;
        }
    }
    return true;
}

class TransfersTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server_.Ok()) << server_.Error(); }

    FileOrder Order(const std::string& name, int64_t size, const std::string& path = "") {
        return {folder_, name, server_.Url(path.empty() ? "/" + name : path), size};
    }

    TestHttpServer server_;
    std::string folder_ = DownloadFolder();
};

TEST_F(TransfersTest, SlowConnectionsAreJoinedByMoreAndEachByteIsAskedOnce) {
    // Each answer paced at 2 MiB/s, as a CDN caps single connections: more connections help.
    const std::string content = TestBytes(6 << 20, 7);
    server_.SetContent("/big.bin", content);
    server_.AddRule("/big.bin", {.kind = HttpRule::Rate, .bytesPerSecond = 2 << 20});
    TransferRun run;
    ASSERT_EQ(run.transfers().StartJob(1, {Order("big.bin", -1)}, false), std::nullopt);
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
    EXPECT_EQ(ReadWholeFile(folder_ + "/big.bin"), content);
    EXPECT_GT(server_.PeakConnections(), 2u);
    ExpectEachByteAskedOnce(AskedRanges(server_.RangeHeaders("/big.bin")), content.size());
    EXPECT_TRUE(NoSideFiles(folder_));
    EXPECT_FALSE(run.Has(TransferEvent::FileFailed));
}

TEST_F(TransfersTest, ManyFilesShareFewKeepAliveConnections) {
    std::vector<FileOrder> files;
    for (int i = 0; i < 30; ++i) {
        const std::string name = "f" + std::to_string(i) + ".bin";
        server_.SetContent("/" + name, TestBytes(40000 + i, i));
        files.push_back(Order(name, i % 2 == 0 ? 40000 + i : -1));
    }
    TransferRun run;
    ASSERT_EQ(run.transfers().StartJob(1, files, false), std::nullopt);
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(ReadWholeFile(folder_ + "/f" + std::to_string(i) + ".bin"),
                  TestBytes(40000 + i, i));
    }
    // The size-known report comes before the job ends, and connections were reused.
    EXPECT_TRUE(run.Has(TransferEvent::SizesKnown));
    // The job's end still has its last progress: every byte, every file.
    ASSERT_TRUE(run.doneProgress);
    EXPECT_EQ(run.doneProgress->present, run.doneProgress->total);
    EXPECT_EQ(run.doneProgress->filesDone, 30u);
    // Eight files at a time and eight size probes of the files after them, within the job's 16.
    EXPECT_LE(server_.AcceptedConnections(), 16u);
    EXPECT_TRUE(NoSideFiles(folder_));
}

TEST_F(TransfersTest, ServerThatIgnoresRangesIsReadOnceOverOneConnection) {
    const std::string content = TestBytes(3 << 20, 3);
    server_.SetContent("/whole.bin", content);
    server_.AddRule("/whole.bin", {.kind = HttpRule::IgnoreRange});
    TransferRun run;
    ASSERT_EQ(run.transfers().StartJob(1, {Order("whole.bin", content.size())}, false),
              std::nullopt);
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
    EXPECT_EQ(ReadWholeFile(folder_ + "/whole.bin"), content);
    EXPECT_EQ(server_.RequestCount("/whole.bin"), 1u);
}

// A whole-file answer (here chunked, paced) cannot be asked for again from where it stopped: a
// pause holds it open on whichever receiving thread took it, and nothing is fetched twice.
TEST_F(TransfersTest, WholeFileAnswerKeepsItsBytesOverAPauseOnEitherThread) {
    const std::string content = TestBytes(2 << 20, 27);
    server_.SetContent("/wp.bin", content);
    server_.AddRule("/wp.bin", {.kind = HttpRule::Chunked, .bytesPerSecond = 1 << 20});
    for (const bool lane : {true, false}) {
        SCOPED_TRACE(lane ? "on the receive lane" : "on the loop's thread");
        fs::remove_all(folder_);
        server_.ResetStatistics();
        TransferSettings settings = TransferRun::FastSettings();
        settings.receiveLane = lane;
        TransferRun run(settings);
        ASSERT_EQ(run.transfers().StartJob(1, {Order("wp.bin", content.size())}, false),
                  std::nullopt);
        ASSERT_TRUE(run.RunUntil([&] { return run.transfers().Progress(1)->present > 300000; }));
        run.transfers().SetPaused(1, true);
        const uint64_t atPause = run.transfers().Progress(1)->present;
        run.RunUntil([] { return false; }, 300);
        EXPECT_GE(run.transfers().Progress(1)->present, atPause);
        run.transfers().SetPaused(1, false);
        ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
        EXPECT_TRUE(ReadWholeFile(folder_ + "/wp.bin") == content);
        EXPECT_EQ(server_.RequestCount("/wp.bin"), 1u);
    }
}

TEST_F(TransfersTest, RangeCutOffMidWayResumesWhereItStopped) {
    const std::string content = TestBytes(2 << 20, 4);
    server_.SetContent("/cut.bin", content);
    server_.AddRule("/cut.bin", {.kind = HttpRule::CloseAfterBytes, .bytes = 100000, .firstN = 2});
    TransferRun run;
    ASSERT_EQ(run.transfers().StartJob(1, {Order("cut.bin", content.size())}, false), std::nullopt);
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
    EXPECT_EQ(ReadWholeFile(folder_ + "/cut.bin"), content);
    const auto asked = AskedRanges(server_.RangeHeaders("/cut.bin"));
    EXPECT_TRUE(
        std::any_of(asked.begin(), asked.end(), [](const auto& r) { return r.first == 100000; }));
}

TEST_F(TransfersTest, WithoutAValidatorAFileComesInOneRequestFromZeroAndIsNeverResumed) {
    // Nothing ties two answers of a server without validators to one version: stored bytes are
    // not resumed (here the server's file changed at the same size), the file is not split and
    // a retry starts from 0.
    const std::string older = TestBytes(3 << 20, 21);
    const std::string newer = TestBytes(3 << 20, 22);
    for (const int64_t listed : {static_cast<int64_t>(older.size()), int64_t{-1}}) {
        SCOPED_TRACE("listed size " + std::to_string(listed));
        fs::remove_all(folder_);
        server_.SetContent("/nv.bin", older);
        server_.ClearRules();
        server_.AddRule(
            "/nv.bin", {.kind = HttpRule::Rate, .bytesPerSecond = 256 << 10, .noValidators = true});
        {
            TransferRun run;
            ASSERT_EQ(run.transfers().StartJob(1, {Order("nv.bin", listed)}, false), std::nullopt);
            ASSERT_TRUE(run.RunUntil([&] {
                const auto progress = run.transfers().Progress(1);
                return progress && progress->present > 400000;
            }));
            run.transfers().StopJob(1, StopMode::KeepParts);
        }
        server_.SetContent("/nv.bin", newer);
        server_.ClearRules();
        server_.ResetStatistics();
        server_.AddRule("/nv.bin", {.kind = HttpRule::CloseAfterBytes,
                                    .bytes = 300000,
                                    .firstN = 2,
                                    .noValidators = true});
        server_.AddRule("/nv.bin", {.kind = HttpRule::AddHeaders, .noValidators = true});
        TransferRun run;
        run.AnswerQuestions(true);
        ASSERT_EQ(run.transfers().StartJob(2, {Order("nv.bin", listed)}, false), std::nullopt);
        ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
        EXPECT_FALSE(run.Has(TransferEvent::Question)) << "nothing can be resumed";
        EXPECT_TRUE(ReadWholeFile(folder_ + "/nv.bin") == newer) << "versions spliced";
        // A first piece (its answer names no validator), then the whole file, cut, then again
        // from 0.
        const std::string whole =
            "bytes=0-" + (listed < 0 ? std::string() : std::to_string(newer.size() - 1));
        EXPECT_EQ(server_.RangeHeaders("/nv.bin"),
                  (std::vector<std::string>{"bytes=0-524287", whole, whole}));
    }
}

TEST_F(TransfersTest, AnswersCutShortFailAFileOnlyWhenTheyStopMakingProgress) {
    // Every answer ends after 100,000 bytes: each attempt brings new bytes, so the file
    // completes however many attempts that takes. One that brings 1,000 bytes at a time spends
    // its piece's attempts and fails.
    const std::string content = TestBytes(3 << 20, 23);
    server_.SetContent("/short.bin", content);
    server_.AddRule("/short.bin", {.kind = HttpRule::CloseAfterBytes, .bytes = 100000});
    {
        TransferRun run;
        ASSERT_EQ(run.transfers().StartJob(1, {Order("short.bin", content.size())}, false),
                  std::nullopt);
        ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
        EXPECT_FALSE(run.Has(TransferEvent::FileFailed));
        EXPECT_TRUE(ReadWholeFile(folder_ + "/short.bin") == content);
        EXPECT_GE(server_.RequestCount("/short.bin"), 30u);
    }
    fs::remove_all(folder_);
    server_.ClearRules();
    server_.ResetStatistics();
    server_.AddRule("/short.bin", {.kind = HttpRule::CloseAfterBytes, .bytes = 1000});
    TransferRun run;
    ASSERT_EQ(run.transfers().StartJob(1, {Order("short.bin", content.size())}, false),
              std::nullopt);
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::FileFailed));
    EXPECT_NE(run.Find(TransferEvent::FileFailed)->text.find(server_.Url("/short.bin")),
              std::string::npos);
    // Each piece (of 256 KiB here) gets 12 failed attempts; the file would have needed 3,146.
    EXPECT_LT(server_.RequestCount("/short.bin"), 12u * 12u);
}

TEST_F(TransfersTest, AnswerWithAHugeHeaderLineFailsAtOnceAndSaysWhy) {
    server_.SetContent("/huge.bin", TestBytes(1000, 3));
    server_.AddRule("/huge.bin", {.kind = HttpRule::AddHeaders,
                                  .headers = {"X-Padding: " + std::string(300000, 'a')}});
    TransferRun run;
    ASSERT_EQ(run.transfers().StartJob(1, {Order("huge.bin", 1000)}, false), std::nullopt);
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::FileFailed));
    const std::string& reason = run.Find(TransferEvent::FileFailed)->text;
    EXPECT_NE(reason.find("header line is too large"), std::string::npos) << reason;
    EXPECT_EQ(reason.find("Out of memory"), std::string::npos) << reason;
    EXPECT_EQ(server_.RequestCount("/huge.bin"), 1u);
}

TEST_F(TransfersTest, RedirectsAreFollowed) {
    const std::string content = TestBytes(100000, 5);
    server_.SetContent("/new.bin", content);
    server_.AddRule("/old.bin", {.kind = HttpRule::Redirect, .location = "/new.bin"});
    TransferRun run;
    ASSERT_EQ(run.transfers().StartJob(1, {Order("game.bin", -1, "/old.bin")}, false),
              std::nullopt);
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
    EXPECT_EQ(ReadWholeFile(folder_ + "/game.bin"), content);
}

TEST_F(TransfersTest, FilesThatCannotBeFetchedFailWithTheUrlAndReason) {
    server_.SetContent("/short.bin", TestBytes(999, 1));
    server_.AddRule("/loop", {.kind = HttpRule::Redirect, .location = "/loop"});
    server_.AddRule("/broken", {.kind = HttpRule::Status, .status = 503});
    TestHttpServer closed;
    const std::string refusedUrl = closed.Url("/gone.bin");
    closed.Stop();
    struct Case {
        std::string url;
        int64_t size;
        const char* reason;
    };
    const Case cases[] = {
        {server_.Url("/missing.bin"), -1, "HTTP status 404"},
        {server_.Url("/short.bin"), 1000, "size mismatch"},
        {server_.Url("/loop"), -1, "redirects"},
        {server_.Url("/broken"), -1, "HTTP status 503"},
        {refusedUrl, -1, "connection refused"},
        {"http://name.invalid/x.bin", -1, "name not resolved"},
    };
    for (const Case& c : cases) {
        TransferRun run;
        ASSERT_EQ(run.transfers().StartJob(1, {{folder_, "x.bin", c.url, c.size}}, false),
                  std::nullopt);
        ASSERT_TRUE(run.RunUntilEvent(TransferEvent::FileFailed)) << c.url;
        const std::string& text = run.Find(TransferEvent::FileFailed)->text;
        EXPECT_NE(text.find(c.url), std::string::npos) << text;
        EXPECT_NE(text.find(c.reason), std::string::npos) << text;
        EXPECT_FALSE(run.Has(TransferEvent::JobDone));
        EXPECT_FALSE(fs::exists(folder_ + "/x.bin"));
    }
}

TEST_F(TransfersTest, PrefixLeftByTheDirectPathIsKeptOrDiscardedAsAnswered) {
    const std::string content = TestBytes(1 << 20, 6);
    server_.SetContent("/p.bin", content);
    for (const bool keep : {true, false}) {
        server_.ResetStatistics();
        WriteFile(folder_ + "/p.bin", content.substr(0, 300000));
        TransferRun run;
        run.AnswerQuestions(keep);
        ASSERT_EQ(run.transfers().StartJob(1, {Order("p.bin", content.size())}, false),
                  std::nullopt);
        ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
        EXPECT_TRUE(run.Has(TransferEvent::Question));
        EXPECT_EQ(ReadWholeFile(folder_ + "/p.bin"), content);
        const auto asked = AskedRanges(server_.RangeHeaders("/p.bin"));
        ASSERT_FALSE(asked.empty());
        EXPECT_EQ(std::min_element(asked.begin(), asked.end())->first, keep ? 300000u : 0u);
        fs::remove(folder_ + "/p.bin");
    }
}

TEST_F(TransfersTest, FileUnderItsNameIsAdoptedOnlyWhileItsRecordMatchesTheServer) {
    // A second run of a finished download adopts each file after one byte's answer confirms the
    // recorded size and validator. A file of the right size without that record (zeros), one
    // written to since, and one whose server version changed are fetched again.
    const std::string whole = TestBytes(3 << 20, 11);
    const std::string listed = TestBytes(1 << 20, 12);
    server_.SetContent("/w.bin", whole);
    server_.SetContent("/l.bin", listed);
    const auto job = [&] {
        return std::vector<FileOrder>{Order("w.bin", -1),
                                      Order("l.bin", static_cast<int64_t>(listed.size()))};
    };
    const auto run = [&](uint32_t number) {
        server_.ResetStatistics();
        TransferRun transfers;
        ASSERT_EQ(transfers.transfers().StartJob(number, job(), false), std::nullopt);
        ASSERT_TRUE(transfers.RunUntilEvent(TransferEvent::JobDone));
        EXPECT_FALSE(transfers.Has(TransferEvent::Question));
        EXPECT_EQ(transfers.lastTotal, whole.size() + listed.size());
    };
    const auto inode = [&](const std::string& name) {
        struct stat info {};
        EXPECT_EQ(stat((folder_ + "/" + name).c_str(), &info), 0);
        return info.st_ino;
    };
    run(1);
    if (!ReadFinalRecord(folder_ + "/w.bin")) {
        GTEST_SKIP() << "this file system keeps no user attributes: every file is fetched again";
    }
    const ino_t before = inode("w.bin");
    run(2);
    EXPECT_EQ(inode("w.bin"), before) << "the complete file was replaced";
    for (const char* path : {"/w.bin", "/l.bin"}) {
        EXPECT_EQ(server_.RangeHeaders(path), std::vector<std::string>{"bytes=0-0"}) << path;
    }

    WriteFile(folder_ + "/l.bin", std::string(listed.size(), '\0'));  // no record
    {
        const int fd = open((folder_ + "/w.bin").c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, "xx", 2, 1000), 2);  // keeps its record, not its mtime
        close(fd);
    }
    run(3);
    EXPECT_TRUE(ReadWholeFile(folder_ + "/w.bin") == whole);
    EXPECT_TRUE(ReadWholeFile(folder_ + "/l.bin") == listed);
    EXPECT_GT(server_.RangeHeaders("/w.bin").size(), 1u);

    const std::string changed = TestBytes(3 << 20, 13);  // same size, another ETag
    server_.SetContent("/w.bin", changed);
    run(4);
    EXPECT_TRUE(ReadWholeFile(folder_ + "/w.bin") == changed);
    EXPECT_EQ(server_.RangeHeaders("/l.bin"), std::vector<std::string>{"bytes=0-0"});
    EXPECT_TRUE(NoSideFiles(folder_));
}

TEST_F(TransfersTest, StoppedJobResumesFromItsControlFileWithoutRefetching) {
    const std::string content = TestBytes(4 << 20, 8);
    server_.SetContent("/r.bin", content);
    // With the size given by the job, and without: then the stored size is the job's size, which
    // must be reported before the resume question can be asked.
    for (const int64_t listed : {static_cast<int64_t>(content.size()), int64_t{-1}}) {
        SCOPED_TRACE("listed size " + std::to_string(listed));
        fs::remove_all(folder_);
        server_.ResetStatistics();
        server_.ClearRules();
        server_.AddRule("/r.bin", {.kind = HttpRule::Rate, .bytesPerSecond = 4 << 20, .firstN = 4});
        uint64_t kept = 0;
        {
            TransferRun run;
            ASSERT_EQ(run.transfers().StartJob(1, {Order("r.bin", listed)}, false), std::nullopt);
            ASSERT_TRUE(run.RunUntil([&] {
                const auto progress = run.transfers().Progress(1);
                return progress && progress->present > 1000000;
            }));
            run.transfers().StopJob(1, StopMode::KeepParts);
            const auto record = ReadControlFile(folder_ + "/r.bin.tevctl");
            ASSERT_TRUE(record);
            kept = record->done.Total();
            EXPECT_GT(kept, 0u);
            EXPECT_FALSE(fs::exists(folder_ + "/r.bin"));
        }
        server_.ResetStatistics();
        TransferRun run;
        run.AnswerQuestions(true);
        ASSERT_EQ(run.transfers().StartJob(2, {Order("r.bin", listed)}, false), std::nullopt);
        ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
        EXPECT_TRUE(run.Has(TransferEvent::Question));
        EXPECT_EQ(ReadWholeFile(folder_ + "/r.bin"), content);
        ExpectEachByteAskedOnce(AskedRanges(server_.RangeHeaders("/r.bin")), content.size() - kept);
    }
}

TEST_F(TransfersTest, ControlFileFollowsEverySoManyBytesAndClaimsOnlyWhatIsOnDisk) {
    // A second is long on a fast line: a checkpoint also follows every so many bytes, so a crash
    // costs at most that much. Here the timed checkpoint never comes during the download.
    const std::string content = TestBytes(6 << 20, 12);
    server_.SetContent("/c.bin", content);
    server_.AddRule("/c.bin", {.kind = HttpRule::Rate, .bytesPerSecond = 2 << 20});
    TransferSettings settings = TransferRun::FastSettings();
    settings.checkpointMs = 60000;
    settings.checkpointBytes = 512 * 1024;
    settings.maxConnectionsPerFile = 1;
    TransferRun run(settings);
    ASSERT_EQ(run.transfers().StartJob(1, {Order("c.bin", content.size())}, false), std::nullopt);
    std::optional<ControlRecord> record;
    ASSERT_TRUE(run.RunUntil([&] {
        record = ReadControlFile(folder_ + "/c.bin.tevctl");
        return record && record->done.Total() >= 2 * settings.checkpointBytes;
    }));
    EXPECT_FALSE(run.Has(TransferEvent::JobDone));
    // Every byte the record claims is on disk and right.
    const std::string part = ReadWholeFile(folder_ + "/c.bin.tevpart");
    for (const ByteRange& range : record->done.Ranges()) {
        ASSERT_LE(range.end, part.size());
        EXPECT_EQ(part.substr(range.begin, range.Length()),
                  content.substr(range.begin, range.Length()));
    }
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
    EXPECT_EQ(ReadWholeFile(folder_ + "/c.bin"), content);
}

TEST_F(TransfersTest, JobStoppedWhileFilesAreCompletingLeavesEachFileWholeOrResumable) {
    // Completed files are synced and renamed off the loop; a stop in the middle of that leaves
    // every file either complete under its name (and nothing beside it) or with its part data.
    std::vector<FileOrder> files;
    for (int i = 0; i < 24; ++i) {
        const std::string name = "s" + std::to_string(i) + ".bin";
        server_.SetContent("/" + name, TestBytes(300000 + i, 40 + i));
        files.push_back(Order(name, 300000 + i));
    }
    {
        TransferRun run;
        ASSERT_EQ(run.transfers().StartJob(1, files, false), std::nullopt);
        ASSERT_TRUE(run.RunUntilEvent(TransferEvent::FileDone));
        run.transfers().StopJob(1, StopMode::KeepParts);
        for (int i = 0; i < 24; ++i) {
            const std::string path = folder_ + "/s" + std::to_string(i) + ".bin";
            if (fs::exists(path)) {
                EXPECT_EQ(ReadWholeFile(path), TestBytes(300000 + i, 40 + i)) << path;
                EXPECT_FALSE(fs::exists(path + ".tevpart")) << path;
                EXPECT_FALSE(fs::exists(path + ".tevctl")) << path;
            }
        }
    }
    TransferRun run;
    run.AnswerQuestions(true);
    ASSERT_EQ(run.transfers().StartJob(2, files, false), std::nullopt);
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
    for (int i = 0; i < 24; ++i) {
        EXPECT_EQ(ReadWholeFile(folder_ + "/s" + std::to_string(i) + ".bin"),
                  TestBytes(300000 + i, 40 + i));
    }
    EXPECT_TRUE(NoSideFiles(folder_));
}

TEST_F(TransfersTest, GivenUpJobLeavesOnlyItsContiguousPrefixUnderTheFinalName) {
    const std::string content = TestBytes(4 << 20, 9);
    server_.SetContent("/g.bin", content);
    server_.AddRule("/g.bin", {.kind = HttpRule::Rate, .bytesPerSecond = 2 << 20});
    TransferRun run;
    ASSERT_EQ(run.transfers().StartJob(1, {Order("g.bin", content.size())}, false), std::nullopt);
    ASSERT_TRUE(run.RunUntil([&] {
        const auto progress = run.transfers().Progress(1);
        return progress && progress->present > 1500000;
    }));
    run.transfers().StopJob(1, StopMode::LeavePrefixes);
    const std::string prefix = ReadWholeFile(folder_ + "/g.bin");
    ASSERT_FALSE(prefix.empty());
    EXPECT_LT(prefix.size(), content.size());
    EXPECT_EQ(prefix, content.substr(0, prefix.size()));
    EXPECT_TRUE(NoSideFiles(folder_));
}

TEST_F(TransfersTest, FullDiskPausesTheJobAndItContinuesWhenSpaceReturns) {
    const std::string content = TestBytes(2 << 20, 10);
    server_.SetContent("/d.bin", content);
    std::atomic<bool> full{true};
    SetPwriteForTests([&](int fd, const void* data, size_t size, off_t offset) -> ssize_t {
        if (full) {
            errno = ENOSPC;
            return -1;
        }
        return pwrite(fd, data, size, offset);
    });
    TransferRun run;
    ASSERT_EQ(run.transfers().StartJob(1, {Order("d.bin", content.size())}, false), std::nullopt);
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::DiskFull));
    // Still full a few retries later: the job waits, nothing fails.
    run.RunUntil([] { return false; }, 200);
    EXPECT_FALSE(run.Has(TransferEvent::FileFailed));
    full = false;
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
    SetPwriteForTests({});
    EXPECT_TRUE(run.Has(TransferEvent::DiskBack));
    EXPECT_EQ(ReadWholeFile(folder_ + "/d.bin"), content);
}

// A sync of the part file that fails once, as a disk's write-back error does: a later fdatasync
// succeeds although the pages it could not write may be gone. No record may ever claim a byte
// written before the failure that the record of that moment did not claim, unless it was
// written again since: a device error fails the file, a full disk (a file system that
// allocates late) pauses the job, and those bytes are fetched again.
TEST_F(TransfersTest, AFailedSyncIsNeverFollowedByARecordOfTheBytesItCouldNotWrite) {
    const std::string content = TestBytes(3 << 20, 28);
    server_.SetContent("/fs.bin", content);
    server_.AddRule("/fs.bin", {.kind = HttpRule::Rate, .bytesPerSecond = 1 << 20});
    const std::string control = folder_ + "/fs.bin.tevctl";
    const auto isPart = [](int fd) {
        std::error_code ignored;
        return fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ignored)
            .string()
            .ends_with(".tevpart");
    };
    for (const int error : {EIO, ENOSPC}) {
        SCOPED_TRACE(std::strerror(error));
        fs::remove_all(folder_);
        server_.ResetStatistics();
        std::mutex mutex;
        bool armed = false;
        bool failed = false;
        std::optional<ControlRecord> before;  // the record when the sync failed
        // Each byte of the part file: 1 written before the failure, 2 written (again) after it.
        std::vector<char> when(content.size(), 0);
        SetPwriteForTests([&](int fd, const void* data, size_t size, off_t offset) -> ssize_t {
            if (isPart(fd)) {
                std::lock_guard lock(mutex);
                const size_t end = std::min(static_cast<size_t>(offset) + size, when.size());
                std::fill(when.begin() + offset, when.begin() + end, failed ? 2 : 1);
            }
            return pwrite(fd, data, size, offset);
        });
        SetFdatasyncForTests([&](int fd) {
            if (isPart(fd)) {
                std::lock_guard lock(mutex);
                if (armed && !failed) {
                    failed = true;
                    before = ReadControlFile(control);  // the checkpointer's: no other writer
                    errno = error;
                    return -1;
                }
            }
            return fdatasync(fd);
        });
        TransferRun run;
        ASSERT_EQ(run.transfers().StartJob(1, {Order("fs.bin", content.size())}, false),
                  std::nullopt);
        ASSERT_TRUE(run.RunUntil([&] { return fs::exists(control); }));
        {
            std::lock_guard lock(mutex);
            armed = true;
        }
        if (error == EIO) {
            ASSERT_TRUE(run.RunUntilEvent(TransferEvent::FileFailed));
            SetFdatasyncForTests({});
            SetPwriteForTests({});
            EXPECT_NE(run.Find(TransferEvent::FileFailed)->text.find("cannot sync"),
                      std::string::npos);
            ASSERT_TRUE(before);
            const std::optional<ControlRecord> after = ReadControlFile(control);
            ASSERT_TRUE(after);
            uint64_t unsynced = 0;
            for (const ByteRange& range : after->done.Ranges()) {
                for (uint64_t at = range.begin; at < range.end; ++at) {
                    unsynced += when[at] == 1 && !before->done.Covers(at, at + 1) ? 1 : 0;
                }
            }
            EXPECT_EQ(unsynced, 0u) << "bytes claimed that the failed sync may have lost";
            continue;
        }
        ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
        SetFdatasyncForTests({});
        SetPwriteForTests({});
        EXPECT_TRUE(failed);
        EXPECT_TRUE(run.Has(TransferEvent::DiskFull));
        EXPECT_FALSE(run.Has(TransferEvent::FileFailed));
        EXPECT_TRUE(ReadWholeFile(folder_ + "/fs.bin") == content);
        uint64_t asked = 0;
        for (const auto& [begin, end] : AskedRanges(server_.RangeHeaders("/fs.bin"))) {
            asked += end - begin;
        }
        EXPECT_GT(asked, content.size()) << "what the failed sync may have lost came again";
    }
}

TEST_F(TransfersTest, TargetsThatAreLinksOrInUseAreRefused) {
    server_.SetContent("/a.bin", TestBytes(1000, 1));
    server_.AddRule("/held.bin", {.kind = HttpRule::Stall});
    fs::create_directories(folder_);
    WriteFile(folder_ + "/elsewhere", "keep me");
    fs::create_symlink(folder_ + "/elsewhere", folder_ + "/a.bin");
    TransferRun run;
    ASSERT_EQ(run.transfers().StartJob(1, {Order("a.bin", 1000)}, false), std::nullopt);
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::FileFailed));
    EXPECT_NE(run.Find(TransferEvent::FileFailed)->text.find("symbolic link"), std::string::npos);
    EXPECT_EQ(ReadWholeFile(folder_ + "/elsewhere"), "keep me");

    // A second job on a target that the first is writing is refused, the first keeps going.
    ASSERT_EQ(run.transfers().StartJob(2, {Order("held.bin", 1000)}, false), std::nullopt);
    ASSERT_TRUE(server_.WaitForRequests("/held.bin", 1, 5000) ||
                run.RunUntil([&] { return server_.RequestCount("/held.bin") > 0; }));
    ASSERT_EQ(run.transfers().StartJob(3, {Order("held.bin", 1000)}, false), std::nullopt);
    ASSERT_TRUE(run.RunUntil([&] { return run.events().back().job == 3; }));
    EXPECT_EQ(run.events().back().kind, TransferEvent::FileFailed);
    EXPECT_NE(run.events().back().text.find("another job"), std::string::npos);
    EXPECT_TRUE(run.transfers().HasJob(2));
}

TEST_F(TransfersTest, LimitedModeFetchesOneFileOverOneConnectionAtATime) {
    TransferSettings settings = TransferRun::FastSettings();
    settings.limitedBytesPerSecond =
        8 << 20;  // the pace is the benchmark's business; the shape is this test's
    std::vector<FileOrder> files;
    for (int i = 0; i < 3; ++i) {
        const std::string name = "l" + std::to_string(i) + ".bin";
        server_.SetContent("/" + name, TestBytes(1 << 20, 20 + i));
        files.push_back(Order(name, 1 << 20));
    }
    TransferRun run(settings);
    ASSERT_EQ(run.transfers().StartJob(1, files, true), std::nullopt);
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
    EXPECT_EQ(server_.PeakConnections(), 1u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ReadWholeFile(folder_ + "/l" + std::to_string(i) + ".bin"),
                  TestBytes(1 << 20, 20 + i));
    }
}

TEST_F(TransfersTest, SizesAreLearntWithOneByteBeforeDataWhileLimitedOrAsked) {
    // A limited job reports its size long before its first file is done, and while a resume
    // question is open no data moves: sizes come from one-byte requests.
    std::vector<FileOrder> files;
    uint64_t total = 0;
    for (int i = 0; i < 6; ++i) {
        const std::string name = "s" + std::to_string(i) + ".bin";
        server_.SetContent("/" + name, TestBytes(200000 + i, 30 + i));
        files.push_back(Order(name, -1));
        total += 200000 + i;
    }
    {
        TransferRun run;  // 384 KiB/s: each file takes half a second
        ASSERT_EQ(run.transfers().StartJob(1, files, true), std::nullopt);
        ASSERT_TRUE(run.RunUntilEvent(TransferEvent::SizesKnown));
        EXPECT_FALSE(run.Has(TransferEvent::FileDone));
        EXPECT_EQ(run.lastTotal, total);
        ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
        for (int i = 1; i < 6; ++i) {
            EXPECT_EQ(server_.RangeHeaders("/s" + std::to_string(i) + ".bin").front(), "bytes=0-0");
        }
    }

    // A file with data from an earlier run: its question stays open here.
    fs::remove_all(folder_);
    server_.ResetStatistics();
    const std::string kept = TestBytes(1 << 20, 40);
    server_.SetContent("/kept.bin", kept);
    WriteFile(folder_ + "/kept.bin.tevpart", kept.substr(0, 1000));
    ControlRecord record{kept.size(), {Validator::ETag, "\"v1\""}, {}};
    record.done.Add(0, 1000);
    ASSERT_TRUE(WriteControlFile(folder_ + "/kept.bin.tevctl", record));
    files.insert(files.begin(), Order("kept.bin", -1));
    TransferRun run;
    ASSERT_EQ(run.transfers().StartJob(2, files, false), std::nullopt);
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::Question));
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::SizesKnown));
    EXPECT_EQ(run.lastTotal, total + kept.size());
    run.RunUntil([] { return false; }, 300);  // time for bytes that should not flow
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(server_.RangeHeaders("/s" + std::to_string(i) + ".bin"),
                  std::vector<std::string>{"bytes=0-0"});
    }
    EXPECT_EQ(server_.RequestCount("/kept.bin"), 0u);
    EXPECT_LE(run.transfers().Progress(2)->present, 1000u);
    run.transfers().AnswerResume(2, true, true);
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
    EXPECT_TRUE(ReadWholeFile(folder_ + "/kept.bin") == kept);  // "v1" is stale: fetched anew
    EXPECT_TRUE(ReadWholeFile(folder_ + "/s5.bin") == TestBytes(200005, 35));
}

// A server that stops cuts every connection of a file at once, and its port then refuses them
// all: that is one failure each time, not one per connection, so the file takes its retries at
// 0.5, 1, 2, 4 and 8 seconds (on the moved clock) and goes on when the server is back.
TEST_F(TransfersTest, EveryConnectionCutAtOnceTakesTheBackedOffRetries) {
    const std::string content = TestBytes(8 << 20, 24);
    TransferSettings settings = TransferRun::FastSettings();
    settings.retryFirstDelayMs = 500;
    settings.retryMaxDelayMs = 10000;
    settings.retryLimit = 6;
    settings.maxConnectionsPerFile = 16;
    const uint16_t port = server_.Port();
    // Starts the file on a slow server, lets it grow to several connections, then stops the
    // server with all of them open.
    const auto startAndCut = [&](TransferRun& run, TestHttpServer& server,
                                 const std::string& name) {
        server.SetContent("/" + name, content);
        server.AddRule("/" + name, {.kind = HttpRule::Rate, .bytesPerSecond = 512 << 10});
        ASSERT_EQ(
            run.transfers().StartJob(
                1, {{folder_, name, server.Url("/" + name), static_cast<int64_t>(content.size())}},
                false),
            std::nullopt);
        ASSERT_TRUE(run.RunUntil([&] { return server.ActiveConnections() >= 8; }, 10000))
            << "the file grows to several connections";
        run.RunUntil([] { return false; }, 200);  // each of them brings some bytes
        server.Stop();
    };
    {
        TransferRun run(settings);
        startAndCut(run, server_, "back.bin");
        const int64_t waited =
            run.RunOnClock([&] { return run.Has(TransferEvent::FileFailed); }, 5000);
        EXPECT_EQ(waited, 5000) << "failed after " << waited << " ms";
        TestHttpServer again({.port = port});
        ASSERT_TRUE(again.Ok()) << again.Error();
        again.SetContent("/back.bin", content);
        ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
        EXPECT_FALSE(run.Has(TransferEvent::FileFailed));
        EXPECT_TRUE(ReadWholeFile(folder_ + "/back.bin") == content);
        // What came before the cut was kept: the server was asked only for what was missing.
        uint64_t askedAgain = 0;
        for (const auto& [begin, end] : AskedRanges(again.RangeHeaders("/back.bin"))) {
            askedAgain += end - begin;
        }
        EXPECT_LT(askedAgain, content.size());
    }
    // A server that does not come back: the file fails at its sixth failure in a row, after
    // 0.5 + 1 + 2 + 4 + 8 seconds.
    TestHttpServer gone({.port = port});
    ASSERT_TRUE(gone.Ok()) << gone.Error();
    TransferRun run(settings);
    startAndCut(run, gone, "gone.bin");
    const int64_t waited =
        run.RunOnClock([&] { return run.Has(TransferEvent::FileFailed); }, 40000);
    EXPECT_TRUE(run.Has(TransferEvent::FileFailed));
    EXPECT_GE(waited, 15000);
    EXPECT_LE(waited, 17000);
}

// Every piece has an overall bound (its length at 4 KiB/s after 30 s): a server that drips
// holds it that long at most, then the rest of the piece is asked again and nothing received is
// lost. An answer of unknown length is refused once it passes its bound.
TEST_F(TransfersTest, APieceHasAnOverallBoundAndAnAnswerWithoutASizeAnEnd) {
    const std::string content = TestBytes(600000, 25);
    server_.SetContent("/drip.bin", content);
    server_.AddRule("/drip.bin", {.kind = HttpRule::Rate, .bytesPerSecond = 1024, .firstN = 1});
    {
        TransferRun run;  // a first piece of 512 KiB: 30 + 128 seconds
        ASSERT_EQ(run.transfers().StartJob(1, {Order("drip.bin", content.size())}, false),
                  std::nullopt);
        ASSERT_TRUE(run.RunUntil([&] { return server_.RequestCount("/drip.bin") == 1; }, 5000));
        const int64_t moved =
            run.RunOnClock([&] { return server_.RequestCount("/drip.bin") > 1; }, 400000, 1000);
        EXPECT_GE(moved, 158000);
        EXPECT_LE(moved, 170000);
        ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
        EXPECT_TRUE(ReadWholeFile(folder_ + "/drip.bin") == content);
        const auto asked = AskedRanges(server_.RangeHeaders("/drip.bin"));
        ASSERT_GE(asked.size(), 2u);
        EXPECT_GT(asked[1].first, 0u) << "the dripped bytes were kept";
    }
    const std::string endless = TestBytes(300000, 26);
    server_.SetContent("/stream.bin", endless);
    server_.AddRule("/stream.bin", {.kind = HttpRule::Chunked});
    TransferSettings settings = TransferRun::FastSettings();
    settings.maxUnknownLength = 100000;
    TransferRun run(settings);
    ASSERT_EQ(run.transfers().StartJob(1, {Order("stream.bin", -1)}, false), std::nullopt);
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::FileFailed));
    EXPECT_NE(run.Find(TransferEvent::FileFailed)->text.find("refused answer: it names no size"),
              std::string::npos)
        << run.Find(TransferEvent::FileFailed)->text;
    EXPECT_EQ(server_.RequestCount("/stream.bin"), 1u);
    EXPECT_FALSE(fs::exists(folder_ + "/stream.bin"));
}

TEST_F(TransfersTest, UnreachableAlternativeGivesWayToTheNext) {
    const std::string content = TestBytes(300000, 21);
    server_.SetContent("/m.bin", content);
    TestHttpServer closed;
    const std::string dead = closed.Url("/m.bin");
    closed.Stop();
    TransferRun run;
    ASSERT_EQ(run.transfers().StartJob(
                  1, {{folder_, "m.bin", dead + "|" + server_.Url("/m.bin"), -1}}, false),
              std::nullopt);
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
    EXPECT_EQ(ReadWholeFile(folder_ + "/m.bin"), content);
}

TEST_F(TransfersTest, StalledTransfersAreReportedAsNetworkTroubleUntilBytesFlowAgain) {
    const std::string content = TestBytes(200000, 22);
    server_.SetContent("/st.bin", content);
    server_.AddRule("/st.bin", {.kind = HttpRule::Stall, .firstN = 1});
    TransferSettings settings = TransferRun::FastSettings();
    settings.stallSeconds = 1;
    TransferRun run(settings);
    ASSERT_EQ(run.transfers().StartJob(1, {Order("st.bin", content.size())}, false), std::nullopt);
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::NetworkBack, 2000));
    const auto poor = std::find_if(run.events().begin(), run.events().end(), [](const auto& e) {
        return e.kind == TransferEvent::NetworkPoor;
    });
    const auto back = std::find_if(run.events().begin(), run.events().end(), [](const auto& e) {
        return e.kind == TransferEvent::NetworkBack;
    });
    EXPECT_LT(poor, back);
    EXPECT_EQ(ReadWholeFile(folder_ + "/st.bin"), content);
}

// A wait of ours is no network trouble: after a network failure, a pause longer than the
// network's bound, then a server that takes a moment to answer, must not be reported as poor.
TEST_F(TransfersTest, APauseAfterANetworkFailureIsNoNetworkTrouble) {
    const std::string content = TestBytes(200000, 23);
    server_.SetContent("/np.bin", content);
    server_.AddRule("/np.bin", {.kind = HttpRule::CloseBeforeHead, .firstN = 1});
    server_.AddRule("/np.bin", {.kind = HttpRule::AddHeaders, .headDelayMs = 100});
    TransferRun run;
    ASSERT_EQ(run.transfers().StartJob(1, {Order("np.bin", content.size())}, false), std::nullopt);
    ASSERT_TRUE(run.RunUntil([&] { return server_.Requests().size() >= 2; }, 5000))
        << "the first answer is cut before its head, and the file tries again";
    run.transfers().SetPaused(1, true);
    run.RunUntil([] { return false; }, 800);  // paused well beyond the network's bound
    run.transfers().SetPaused(1, false);
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
    EXPECT_FALSE(run.Has(TransferEvent::NetworkPoor));
    EXPECT_EQ(ReadWholeFile(folder_ + "/np.bin"), content);
}

TEST(TransfersNginxTest, SplitDownloadIsByteIdenticalAndAChangedFileStartsOver) {
    const std::string root = DownloadFolder("www");
    const std::string folder = DownloadFolder("dl-nginx");
    const std::string first = TestBytes(3 << 20, 11);
    WriteFile(root + "/n.bin", first);
    // limit_rate makes more connections worth it, so the file is fetched in pieces.
    PrivateNginx nginx(root, 2 << 20);
    ASSERT_TRUE(nginx.Ok());
    {
        TransferRun run;
        ASSERT_EQ(run.transfers().StartJob(1, {{folder, "n.bin", nginx.Url("/n.bin"), -1}}, false),
                  std::nullopt);
        ASSERT_TRUE(run.RunUntil([&] {
            const auto progress = run.transfers().Progress(1);
            return progress && progress->present > 1000000;
        }));
        run.transfers().StopJob(1, StopMode::KeepParts);
    }
    const auto record = ReadControlFile(folder + "/n.bin.tevctl");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->validator.kind, Validator::ETag);

    // The same size, other bytes, a new modification time: the stored bytes must not be mixed in.
    const std::string second = TestBytes(3 << 20, 12);
    WriteFile(root + "/n.bin", second);
    struct timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) + 100, 0}};
    utimensat(AT_FDCWD, (root + "/n.bin").c_str(), times, 0);
    TransferRun run;
    run.AnswerQuestions(true);
    ASSERT_EQ(run.transfers().StartJob(2, {{folder, "n.bin", nginx.Url("/n.bin"), -1}}, false),
              std::nullopt);
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
    EXPECT_EQ(ReadWholeFile(folder + "/n.bin"), second);
    EXPECT_TRUE(NoSideFiles(folder));
}

TEST(TransfersNginxTest, FileReplacedWhileItsPiecesAreFetchedEndsAsTheNewFile) {
    // Pieces on both receiving threads are under way when the server's file is replaced: the
    // next If-Range answer is the whole new file, and no old byte may land after the reset.
    const std::string root = DownloadFolder("www-replaced");
    const std::string folder = DownloadFolder("dl-replaced");
    WriteFile(root + "/m.bin", TestBytes(6 << 20, 21));
    PrivateNginx nginx(root, 2 << 20);
    ASSERT_TRUE(nginx.Ok());
    TransferRun run;
    ASSERT_EQ(run.transfers().StartJob(1, {{folder, "m.bin", nginx.Url("/m.bin"), -1}}, false),
              std::nullopt);
    ASSERT_TRUE(run.RunUntil([&] {
        const auto progress = run.transfers().Progress(1);
        return progress && progress->present > (3 << 20) / 2 && progress->running.size() == 1;
    }));
    const std::string second = TestBytes(6 << 20, 22);
    WriteFile(root + "/m.bin.new", second);
    struct timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) + 100, 0}};
    utimensat(AT_FDCWD, (root + "/m.bin.new").c_str(), times, 0);
    fs::rename(root + "/m.bin.new", root + "/m.bin");  // answers under way keep the old file
    ASSERT_TRUE(run.RunUntilEvent(TransferEvent::JobDone));
    EXPECT_EQ(ReadWholeFile(folder + "/m.bin"), second);
    EXPECT_FALSE(run.Has(TransferEvent::FileFailed));
    EXPECT_TRUE(NoSideFiles(folder));
}

}  // namespace
