// The engine program end to end: started as the library starts it, spoken to over its protocol
// on loopback, downloading from the project's test server.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "localengine/engine_process.h"
#include "localengine/transfer_fixture.h"
#include "support/test_certificates.h"
#include "support/test_data.h"
#include "test_server/test_http_server.h"
#include "transfer/control_file.h"

namespace ep = engine_protocol;
using tev::tools::HttpRule;
using tev::tools::TestHttpServer;

namespace {

namespace fs = std::filesystem;

uint32_t TypeOf(const ep::EngineMessage& message) {
    return std::visit([](const auto& record) { return static_cast<uint32_t>(record.kType); },
                      message);
}

bool HasPartFiles(const std::string& folder) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().find(".tev") != std::string::npos) {
            return true;
        }
    }
    return false;
}

class EngineProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Ok());
        ASSERT_TRUE(engine_.Ready());
    }
    TestHttpServer server_;
    EngineProcess engine_;
    std::string folder_ = DownloadFolder();
};

TEST_F(EngineProgramTest, JobReportsComeInTheOrderTheLibraryReliesOn) {
    // The second file is smaller and finishes first; its report still follows the first file's.
    // While both run, progress names the first (the library's current file), then the second.
    const std::string big = TestBytes(6 << 20, 1);
    const std::string small = TestBytes(2 << 20, 2);
    server_.SetContent("/big.bin", big);
    server_.SetContent("/small.bin", small);
    server_.AddRule("/big.bin", {.kind = HttpRule::Rate, .bytesPerSecond = 2 << 20});
    server_.AddRule("/small.bin", {.kind = HttpRule::Rate, .bytesPerSecond = 1 << 20});
    EngineClient client(engine_.Port());
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send(ep::ServiceId{"svc"}));
    ASSERT_TRUE(client.Send(ep::JobMode{2}));
    ASSERT_TRUE(client.Send(
        MakeList(7, {MakeRecord(folder_, "big.bin", server_.Url("/big.bin")),
                     MakeRecord(folder_, "small.bin", server_.Url("/small.bin"), small.size())})));
    const auto finished = client.ReceiveUntil<ep::JobFinished>();
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->job, 7u);
    EXPECT_EQ(finished->result, 2u);  // files completed
    EXPECT_EQ(finished->giveUp, 0u);

    const std::string byIndex[] = {folder_ + "/big.bin", folder_ + "/small.bin"};
    bool sawBoth = false;
    std::vector<uint32_t> order;
    std::vector<std::string> paths;
    for (const ep::EngineMessage& message : client.seen()) {
        const uint32_t type = TypeOf(message);
        if (type != ep::kJobProgress && type != ep::kEngineState) {
            order.push_back(type);
        }
        if (const auto* done = std::get_if<ep::FileCompleted>(&message)) {
            paths.push_back(done->path);
        }
        if (const auto* progress = std::get_if<ep::JobProgress>(&message)) {
            EXPECT_EQ(progress->totalBytes, big.size() + small.size());
            ASSERT_FALSE(progress->entries.empty());
            ASSERT_LE(progress->entries.size(), 2u);
            EXPECT_EQ(progress->entries[0].path, byIndex[std::min(progress->filesCompleted, 1u)]);
            if (progress->entries.size() == 2) {
                EXPECT_EQ(progress->entries[1].path, byIndex[1]);
                sawBoth = true;
            }
        }
    }
    EXPECT_TRUE(sawBoth);
    EXPECT_EQ(order, (std::vector<uint32_t>{ep::kJobAccepted, ep::kFileCompleted,
                                            ep::kFileCompleted, ep::kJobFinished}));
    EXPECT_EQ(paths, (std::vector<std::string>{folder_ + "/big.bin", folder_ + "/small.bin"}));
    const auto accepted =
        std::find_if(client.seen().begin(), client.seen().end(),
                     [](const auto& m) { return std::holds_alternative<ep::JobAccepted>(m); });
    ASSERT_NE(accepted, client.seen().end());
    EXPECT_EQ(std::get<ep::JobAccepted>(*accepted).totalBytes, big.size() + small.size());
    EXPECT_NE(std::get<ep::JobAccepted>(*accepted).engineJob, 0u);
    EXPECT_EQ(ReadWholeFile(folder_ + "/big.bin"), big);
    EXPECT_EQ(ReadWholeFile(folder_ + "/small.bin"), small);
}

TEST_F(EngineProgramTest, PartialDataIsOnlyResumedAfterTheAnswer) {
    const std::string content = TestBytes(1 << 20, 3);
    server_.SetContent("/r.bin", content);
    WriteFile(folder_ + "/r.bin", content.substr(0, 400000));
    EngineClient client(engine_.Port());
    ASSERT_TRUE(client.Send(ep::JobMode{2}));
    ASSERT_TRUE(client.Send(
        MakeList(3, {MakeRecord(folder_, "r.bin", server_.Url("/r.bin"), content.size())})));
    const auto query = client.ReceiveUntil<ep::ResumeQuery>();
    ASSERT_TRUE(query);
    EXPECT_EQ(query->job, 3u);
    EXPECT_EQ(server_.RequestCount("/r.bin"), 0u);  // nothing fetched before the answer
    const auto accepted =
        std::find_if(client.seen().begin(), client.seen().end(),
                     [](const auto& m) { return std::holds_alternative<ep::JobAccepted>(m); });
    ASSERT_NE(accepted, client.seen().end());
    ASSERT_TRUE(
        client.Send(ep::ResumeReply{std::get<ep::JobAccepted>(*accepted).engineJob, 3, 1, 1}));
    const auto finished = client.ReceiveUntil<ep::JobFinished>();
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->result, 1u);
    EXPECT_EQ(ReadWholeFile(folder_ + "/r.bin"), content);
    EXPECT_EQ(AskedRanges(server_.RangeHeaders("/r.bin")).front().first, 400000u);
}

TEST_F(EngineProgramTest, BadInputIsRefusedWithoutTouchingOtherClients) {
    const std::string content = TestBytes(2 << 20, 4);
    server_.SetContent("/ok.bin", content);
    server_.AddRule("/ok.bin", {.kind = HttpRule::Rate, .bytesPerSecond = 4 << 20});
    EngineClient good(engine_.Port());
    ASSERT_TRUE(good.Send(ep::JobMode{2}));
    ASSERT_TRUE(good.Send(MakeList(1, {MakeRecord(folder_, "ok.bin", server_.Url("/ok.bin"))})));
    ASSERT_TRUE(good.ReceiveUntil<ep::JobAccepted>());

    // Lists that would write outside their folder, fetch another scheme or name too many files
    // fail with the reason (type 11, nothing after it), and nothing is written.
    const std::string url = server_.Url("/ok.bin");
    struct Refused {
        std::vector<ep::Bytes> frames;
        const char* reason;
    };
    const auto list = [](uint32_t job, const ep::FileRecord& record) {
        ep::Bytes frame;
        EXPECT_TRUE(ep::EncodeFrame(MakeList(job, {record}), &frame));
        return std::vector<ep::Bytes>{frame};
    };
    const auto frame = [](const auto& record) {
        ep::Bytes bytes;
        EXPECT_TRUE(ep::EncodeFrame(record, &bytes));
        return bytes;
    };
    const Refused refused[] = {
        {list(10, MakeRecord(folder_ + "/../elsewhere", "a.bin", url)), "refused folder"},
        {list(11, MakeRecord("relative/folder", "a.bin", url)), "refused folder"},
        {list(12, MakeRecord(folder_, "..", url)), "refused file name \"..\""},
        {list(13, MakeRecord(folder_, "sub/a.bin", url)), "refused file name \"sub/a.bin\""},
        {list(14, MakeRecord(folder_, "a.bin", "file:///etc/passwd")), "only http and https"},
        // Refused at its header or at a wrong entry; what follows of it gets no second answer.
        {{frame(ep::FileListBegin{15, 65537, "svc"}),
          frame(ep::FileListEntry{15, 0, MakeRecord(folder_, "a.bin", url)}),
          frame(ep::FileListEnd{15})},
         "65537 files, more than 65536"},
        {{frame(ep::FileListBegin{16, 2, "svc"}),
          frame(ep::FileListEntry{16, 1, MakeRecord(folder_, "a.bin", url)}),
          frame(ep::FileListEntry{16, 0, MakeRecord(folder_, "a.bin", url)}),
          frame(ep::FileListEnd{16})},
         "broken file list"},
    };
    EngineClient other(engine_.Port());
    uint32_t job = 10;
    for (const Refused& r : refused) {
        for (const ep::Bytes& bytes : r.frames) {
            ASSERT_TRUE(other.SendBytes(bytes));
        }
        const auto failed = other.ReceiveUntil<ep::JobFailed>();
        ASSERT_TRUE(failed) << r.reason;
        EXPECT_EQ(failed->job, job);
        EXPECT_NE(failed->message.find(r.reason), std::string::npos) << failed->message;
        ++job;
    }
    ASSERT_TRUE(other.Send(ep::StateRequest{}));
    ASSERT_TRUE(other.ReceiveUntil<ep::EngineState>());
    size_t failures = 0;
    for (const ep::EngineMessage& message : other.seen()) {
        EXPECT_FALSE(std::holds_alternative<ep::JobFinished>(message));
        EXPECT_FALSE(std::holds_alternative<ep::JobAccepted>(message));
        failures += std::holds_alternative<ep::JobFailed>(message) ? 1 : 0;
    }
    EXPECT_EQ(failures, std::size(refused));
    EXPECT_FALSE(fs::exists(fs::path(folder_).parent_path() / "elsewhere"));
    EXPECT_FALSE(fs::exists(folder_ + "/a.bin"));
    EXPECT_FALSE(fs::exists(folder_ + "/sub"));

    // Malformed frames close only their own connection.
    struct Broken {
        const char* what;
        ep::Bytes bytes;
    };
    ep::Bytes tooLong = ep::Frame(ep::kCategory, ep::kEngineState, {});
    tooLong[10] = 0xFF, tooLong[11] = 0xFF, tooLong[12] = 0xFF, tooLong[13] = 0x7F;
    const Broken broken[] = {
        {"a frame above the limit", tooLong},
        {"an unknown type", ep::Frame(ep::kCategory, 99, {1, 2, 3})},
        {"a short payload", ep::Frame(ep::kCategory, ep::kStopJob, {1, 2})},
    };
    for (const Broken& b : broken) {
        EngineClient bad(engine_.Port());
        ASSERT_TRUE(bad.SendBytes(b.bytes));
        EXPECT_TRUE(bad.ClosedByPeer(5000)) << b.what;
    }
    const auto finished = good.ReceiveUntil<ep::JobFinished>();
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->result, 1u);
    EXPECT_EQ(ReadWholeFile(folder_ + "/ok.bin"), content);
    // Nothing of the refused lists was written beside it.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_)) {
        names.push_back(entry.path().filename());
    }
    EXPECT_EQ(names, std::vector<std::string>{"ok.bin"});
}

// What a list may cost the engine: a URL of at most 8 KiB with its alternatives, 64 MiB of URLs
// in all, 64 jobs on one connection. Entries are checked as they arrive: the first bad one fails
// the job with the reason and the rest of its list is dropped unread.
TEST_F(EngineProgramTest, ListsBeyondTheirBudgetAreRefusedAtTheFirstBadEntry) {
    const auto urlOf = [&](size_t length) {
        std::string url = server_.Url("/u.bin?");
        url.resize(length, 'a');
        return url;
    };
    const auto frame = [](const auto& record) {
        ep::Bytes bytes;
        EXPECT_TRUE(ep::EncodeFrame(record, &bytes));
        return bytes;
    };
    EngineClient client(engine_.Port());
    ASSERT_TRUE(client.Send(ep::JobMode{2}));
    struct Case {
        uint32_t job;
        uint32_t entries;
        size_t urlLength;
        const char* reason;
    };
    const Case cases[] = {
        // The hostile probe: entries of 64 KiB URLs, refused at the first.
        {20, 300, 65535, "refused URL of file 0: 65535 bytes, more than 8192"},
        // 64 MiB of URLs in all pass; one more entry does not.
        {21, 8193, 8192, "refused file list: its URLs pass 67108864 bytes at file 8192"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(client.Send(ep::FileListBegin{c.job, c.entries, "svc"}));
        ep::FileListEntry entry{c.job, 0, MakeRecord(folder_, "", urlOf(c.urlLength))};
        for (uint32_t i = 0; i < c.entries; ++i) {
            entry.index = i;
            entry.file.name = "f" + std::to_string(i) + ".bin";
            ASSERT_TRUE(client.SendBytes(frame(entry)));
        }
        ASSERT_TRUE(client.Send(ep::FileListEnd{c.job}));
        const auto failed = client.ReceiveUntil<ep::JobFailed>(60000);
        ASSERT_TRUE(failed) << c.reason;
        EXPECT_EQ(failed->job, c.job);
        EXPECT_NE(failed->message.find(c.reason), std::string::npos) << failed->message;
    }
    // Alternatives count: two of 4097 bytes are one URL of 8195, in a list of one message too.
    const std::string mirrored = urlOf(4097) + "|" + urlOf(4097);
    ASSERT_TRUE(client.Send(MakeList(22, {MakeRecord(folder_, "m.bin", mirrored)})));
    const auto failed = client.ReceiveUntil<ep::JobFailed>();
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->job, 22u);
    EXPECT_NE(failed->message.find("8195 bytes, more than 8192 with its alternatives"),
              std::string::npos)
        << failed->message;

    // At the bound itself a list runs: two files whose URLs are 8192 bytes each (the server
    // answers the path; the query only makes the URLs long).
    server_.SetContent("/u.bin", "abc");
    ASSERT_TRUE(client.Send(
        MakeList(23, {MakeRecord(folder_, "a.bin", urlOf(8192), 3),
                      MakeRecord(folder_, "b.bin", urlOf(4095) + "|" + urlOf(4096), 3)})));
    const auto finished = client.ReceiveUntil<ep::JobFinished>();
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->job, 23u);
    EXPECT_EQ(finished->result, 2u);

    // 64 jobs run on one connection (each waits for an answer that does not come); the 65th is
    // refused, and once one of them stops another may start.
    server_.AddRule("/stall.bin", {.kind = HttpRule::Stall});
    for (uint32_t job = 100; job < 164; ++job) {
        ASSERT_TRUE(client.Send(MakeList(
            job, {MakeRecord(folder_, "s" + std::to_string(job), server_.Url("/stall.bin"))})));
    }
    ASSERT_TRUE(client.Send(MakeList(164, {MakeRecord(folder_, "x", server_.Url("/stall.bin"))})));
    const auto tooMany = client.ReceiveUntil<ep::JobFailed>();
    ASSERT_TRUE(tooMany);
    EXPECT_EQ(tooMany->job, 164u);
    EXPECT_NE(tooMany->message.find("64 jobs run on this connection already"), std::string::npos)
        << tooMany->message;
    // A second list for a running job leaves that job as it is, with a line in the log only.
    ASSERT_TRUE(client.Send(MakeList(101, {MakeRecord(folder_, "z", server_.Url("/stall.bin"))})));
    ASSERT_TRUE(client.Send(ep::StopJob{100, 0}));
    ASSERT_TRUE(client.Send(MakeList(165, {MakeRecord(folder_, "y", server_.Url("/stall.bin"))})));
    ASSERT_TRUE(client.Send(ep::StateRequest{}));
    ASSERT_TRUE(client.ReceiveUntil<ep::EngineState>());
    size_t failures = 0;
    for (const ep::EngineMessage& message : client.seen()) {
        failures += std::holds_alternative<ep::JobFailed>(message) ? 1 : 0;
    }
    EXPECT_EQ(failures, std::size(cases) + 2);  // one answer per refused list, no more
    for (int i = 0; i < 8193; i += 4096) {
        EXPECT_FALSE(fs::exists(folder_ + "/f" + std::to_string(i) + ".bin"));
    }
    const std::string log = ReadWholeFile(std::string(std::getenv("XDG_DATA_HOME")) +
                                          "/Velmor/tevDownloadV32/config/engine.log");
    EXPECT_NE(log.find("list of library job 101 on connection"), std::string::npos);
    EXPECT_NE(log.find("runs it already"), std::string::npos);
}

// A job of 8,192 one-byte files (mirrored URLs of 8191 bytes: a list at its 64 MiB budget, and
// over 64 MiB of completion reports, more than an engine queues for a library) reports every file,
// then ends: the reports go out as the library reads them, and a library that reads late is not
// closed for it. A state request is answered between them. (65,536 files: bench/engine_bench.py.)
TEST_F(EngineProgramTest, AJobOfManyCompleteFilesReportsThemAllAsTheLibraryReads) {
    constexpr uint32_t kFiles = 8192;
    const std::string alternative = server_.Url("/c.bin?");
    const auto firstOf = [&](uint32_t i) {
        std::string first = alternative + std::to_string(i);
        first.resize(4095, 'a');
        return first;
    };
    const auto urlOf = [&](uint32_t i) { return firstOf(i) + "|" + firstOf(i); };
    server_.SetContent("/c.bin", "x");  // the query only makes the URLs long
    EngineClient client(engine_.Port());
    ASSERT_TRUE(client.Send(ep::JobMode{2}));
    ASSERT_TRUE(client.Send(ep::FileListBegin{30, kFiles, "svc"}));
    for (uint32_t i = 0; i < kFiles; ++i) {
        ASSERT_TRUE(client.Send(
            ep::FileListEntry{30, i, MakeRecord(folder_, "c" + std::to_string(i), urlOf(i), 1)}));
    }
    ASSERT_TRUE(client.Send(ep::FileListEnd{30}));
    // The library is busy for a while before it reads.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ASSERT_TRUE(client.ReceiveUntil<ep::JobAccepted>(60000));
    ASSERT_TRUE(client.Send(ep::StateRequest{}));
    uint32_t reported = 0;
    bool answeredBeforeTheEnd = false;
    std::optional<ep::JobFinished> finished;
    while (std::optional<ep::EngineMessage> message = client.Receive(60000)) {
        if (const auto* done = std::get_if<ep::FileCompleted>(&*message)) {
            EXPECT_EQ(done->path, folder_ + "/c" + std::to_string(reported));
            EXPECT_EQ(done->url, urlOf(reported));
            ++reported;
        } else if (std::holds_alternative<ep::EngineState>(*message)) {
            answeredBeforeTheEnd = answeredBeforeTheEnd || reported < kFiles;
        } else if (const auto* end = std::get_if<ep::JobFinished>(&*message)) {
            finished = *end;
            break;
        }
    }
    ASSERT_TRUE(finished);
    EXPECT_EQ(reported, kFiles);
    EXPECT_EQ(finished->result, kFiles);
    EXPECT_EQ(finished->giveUp, 0u);
    EXPECT_TRUE(answeredBeforeTheEnd);
}

// Runs `attempt` as another user (nobody) in a child process; its exit status.
int AsAnotherUser(const std::function<bool()>& attempt) {
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(2);
        }
        _exit(attempt() ? 0 : 1);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// Another user's connection hears nothing, only a close: from 127.0.0.1, and from another
// loopback address on a port that collides with one of the engine's own connections (the
// engine's port itself, or the port of a live connection of the engine's user).
TEST_F(EngineProgramTest, AnotherUsersConnectionIsClosedAtOnce) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a client as a second user";
    }
    EngineClient own(engine_.Port());
    ASSERT_TRUE(own.Connected());
    ASSERT_TRUE(own.Send(ep::StateRequest{}));
    ASSERT_TRUE(own.ReceiveUntil<ep::EngineState>(5000));

    const uint16_t enginePort = engine_.Port();
    const uint16_t ownPort = own.LocalPort();
    struct Case {
        const char* name;
        const char* from;
        uint16_t fromPort;
    };
    for (const Case& c : {Case{"plain", nullptr, 0}, Case{"engine port", "127.0.0.2", enginePort},
                          Case{"live connection's port", "127.0.0.3", ownPort}}) {
        SCOPED_TRACE(c.name);
        for (int attempt = 0; attempt < 5; ++attempt) {
            EXPECT_EQ(AsAnotherUser([&] {
                          EngineClient stranger(enginePort, c.from, c.fromPort);
                          const bool refused =
                              stranger.Connected() &&
                              (!stranger.Send(ep::StateRequest{}) || stranger.ClosedByPeer(5000));
                          return refused && stranger.seen().empty();
                      }),
                      0);
        }
    }

    // The engine's own user is still served, on the connection it had and on a new one.
    ASSERT_TRUE(own.Send(ep::StateRequest{}));
    EXPECT_TRUE(own.ReceiveUntil<ep::EngineState>(5000));
    EngineClient again(enginePort);
    ASSERT_TRUE(again.Send(ep::StateRequest{}));
    const auto state = again.ReceiveUntil<ep::EngineState>(5000);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->value, 0u);
}

TEST_F(EngineProgramTest, StopSignalHandsJobsToTheDirectPathWithPrefixesOnly) {
    const std::string content = TestBytes(8 << 20, 5);
    server_.SetContent("/s.bin", content);
    server_.AddRule("/s.bin", {.kind = HttpRule::Rate, .bytesPerSecond = 2 << 20});
    EngineClient client(engine_.Port());
    ASSERT_TRUE(client.Send(ep::JobMode{2}));
    ASSERT_TRUE(client.Send(MakeList(5, {MakeRecord(folder_, "s.bin", server_.Url("/s.bin"))})));
    ASSERT_TRUE(client.ReceiveUntil<ep::JobProgress>());
    engine_.Signal(SIGTERM);
    const auto finished = client.ReceiveUntil<ep::JobFinished>();
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->giveUp, 1u);
    EXPECT_EQ(engine_.Wait(10000), 0);
    const std::string prefix = ReadWholeFile(folder_ + "/s.bin");
    EXPECT_GT(prefix.size(), 0u);
    EXPECT_LT(prefix.size(), content.size());
    EXPECT_EQ(prefix, content.substr(0, prefix.size()));
    EXPECT_FALSE(HasPartFiles(folder_));
    EXPECT_FALSE(fs::exists(std::string(std::getenv("XDG_DATA_HOME")) +
                            "/Velmor/tevDownloadV32/TEVDownloadV32.pid"));
}

// A file whose size nobody knows (the job gives none, the answer is chunked) is never put under
// its final name by a stop: not by type 3, not by a closed library connection, not by a sibling
// that fails for good, and not by SIGTERM either (no prefix of an unknown whole is handed over).
// An older complete file of that name stays as it was.
TEST_F(EngineProgramTest, StopsNeverPutAFileOfUnknownSizeUnderItsName) {
    const std::string content = TestBytes(20 << 20, 13);
    server_.SetContent("/stream.bin", content);
    server_.AddRule("/stream.bin", {.kind = HttpRule::Chunked, .bytesPerSecond = 2 << 20});
    // A sibling that fails for good once the stream has bytes on disk.
    server_.AddRule("/sibling.bin", {.kind = HttpRule::Status, .status = 404, .headDelayMs = 500});
    const std::string older = "an older complete stream.bin";

    enum Trigger { Stop, Close, SiblingFails, Terminate };
    uint32_t job = 70;
    for (const Trigger trigger : {Stop, Close, SiblingFails, Terminate}) {
        for (const bool hadOlder : {false, true}) {
            if (trigger == Terminate && !hadOlder) {
                continue;  // SIGTERM ends the engine: one run
            }
            SCOPED_TRACE(testing::Message()
                         << "trigger " << trigger << ", older file " << hadOlder);
            const std::string folder = folder_ + "/" + std::to_string(job);
            fs::create_directories(folder);
            const std::string target = folder + "/stream.bin";
            if (hadOlder) {
                std::ofstream(target, std::ios::binary) << older;
            }
            auto client = std::make_unique<EngineClient>(engine_.Port());
            std::vector<ep::FileRecord> files = {
                MakeRecord(folder, "stream.bin", server_.Url("/stream.bin"))};
            if (trigger == SiblingFails) {
                files.push_back(MakeRecord(folder, "sibling.bin", server_.Url("/sibling.bin")));
            }
            ASSERT_TRUE(client->Send(ep::JobMode{2}));
            ASSERT_TRUE(client->Send(MakeList(job, files)));
            // Bytes of the stream are on disk before the stop. (No type 4 comes meanwhile: it
            // waits for every size.)
            const std::string part = target + ".tevpart";
            for (int i = 0; i < 1000; ++i) {
                std::error_code error;
                if (fs::file_size(part, error) > 0 && !error) {
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            std::error_code error;
            const uintmax_t partSize = fs::file_size(part, error);
            ASSERT_TRUE(!error && partSize > 0);
            switch (trigger) {
                case Stop:
                    ASSERT_TRUE(client->Send(ep::StopJob{job, 0}));
                    break;
                case Close:
                    client.reset();
                    break;
                case SiblingFails:
                    ASSERT_TRUE(client->ReceiveUntil<ep::JobFailed>());
                    break;
                case Terminate:
                    engine_.Signal(SIGTERM);
                    ASSERT_EQ(engine_.Wait(10000), 0);
                    break;
            }
            if (trigger != Terminate) {
                // The engine has handled the stop once it answers a later request.
                EngineClient asker(engine_.Port());
                ASSERT_TRUE(asker.Send(ep::StateRequest{}));
                ASSERT_TRUE(asker.ReceiveUntil<ep::EngineState>());
            }
            if (hadOlder) {
                EXPECT_TRUE(ReadWholeFile(target) == older) << fs::file_size(target, error);
            } else {
                EXPECT_FALSE(fs::exists(target));
            }
            ++job;
        }
    }
}

// A file asked for over https never follows a redirect to plain http: it fails for good at once
// with the reason, and the plain server is never asked. A redirect from http up to https is
// followed.
TEST(EngineProgramTlsTest, HttpsNeverRedirectsDownToHttp) {
    const TestPki pki = MakeTestPki(std::string(std::getenv("HOME")) + "/pki");
    TrustTestCa(pki);  // the engine inherits the trust store of its starter
    TestHttpServer::Options options;
    options.tlsCertificate = pki.server.certificateFile;
    options.tlsKey = pki.server.keyFile;
    TestHttpServer secure(options);
    TestHttpServer plain;
    ASSERT_TRUE(secure.Ok() && plain.Ok());
    const std::string content = TestBytes(100000, 21);
    secure.SetContent("/f.bin", content);
    plain.SetContent("/f.bin", content);
    secure.AddRule("/down.bin", {.kind = HttpRule::Redirect, .location = plain.Url("/f.bin")});
    plain.AddRule("/up.bin", {.kind = HttpRule::Redirect, .location = secure.Url("/f.bin")});
    EngineProcess engine;
    ASSERT_TRUE(engine.Ready());
    EngineClient client(engine.Port());
    const std::string folder = DownloadFolder();

    ASSERT_TRUE(client.Send(ep::JobMode{2}));
    ASSERT_TRUE(
        client.Send(MakeList(1, {MakeRecord(folder, "down.bin", secure.Url("/down.bin"))})));
    const auto failed = client.ReceiveUntil<ep::JobFailed>();
    ASSERT_TRUE(failed);
    EXPECT_NE(failed->message.find("never from https to http"), std::string::npos)
        << failed->message;
    EXPECT_EQ(plain.RequestCount("/f.bin"), 0u);
    EXPECT_EQ(secure.RequestCount("/down.bin"), 1u) << "a refusal is not tried again";
    EXPECT_FALSE(fs::exists(folder + "/down.bin"));

    ASSERT_TRUE(client.Send(ep::JobMode{2}));
    ASSERT_TRUE(client.Send(MakeList(2, {MakeRecord(folder, "up.bin", plain.Url("/up.bin"))})));
    const auto finished = client.ReceiveUntil<ep::JobFinished>();
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->result, 1u);
    EXPECT_TRUE(ReadWholeFile(folder + "/up.bin") == content);
}

TEST_F(EngineProgramTest, FileThatFailsForGoodFailsItsJobOnceWithTheUrlAndReason) {
    const std::string content = TestBytes(100000, 8);
    server_.SetContent("/short.bin", content);
    struct Case {
        std::string url;
        uint64_t size;
        const char* reason;
    };
    const Case cases[] = {
        {server_.Url("/missing.bin"), UINT64_MAX, "HTTP status 404"},
        {server_.Url("/short.bin"), content.size() + 1, "size mismatch"},
    };
    EngineClient client(engine_.Port());
    uint32_t job = 20;
    for (const Case& c : cases) {
        ASSERT_TRUE(client.Send(ep::JobMode{2}));
        ASSERT_TRUE(client.Send(MakeList(job, {MakeRecord(folder_, "f.bin", c.url, c.size)})));
        const auto failed = client.ReceiveUntil<ep::JobFailed>();
        ASSERT_TRUE(failed) << c.reason;
        EXPECT_EQ(failed->job, job);
        EXPECT_NE(failed->message.find(c.url), std::string::npos) << failed->message;
        EXPECT_NE(failed->message.find(c.reason), std::string::npos) << failed->message;
        ++job;
    }
    // Nothing follows a type 11 for its job (the library has let the job go): no type 6 comes
    // before the answer to a later state request.
    ASSERT_TRUE(client.Send(ep::StateRequest{}));
    ASSERT_TRUE(client.ReceiveUntil<ep::EngineState>());
    for (const ep::EngineMessage& message : client.seen()) {
        EXPECT_FALSE(std::holds_alternative<ep::JobFinished>(message));
    }
    EXPECT_FALSE(fs::exists(folder_ + "/f.bin"));
}

TEST_F(EngineProgramTest, PausedJobMovesNoBytesThenEndsByteIdentical) {
    const std::string content = TestBytes(6 << 20, 9);
    server_.SetContent("/p.bin", content);
    server_.AddRule("/p.bin", {.kind = HttpRule::Rate, .bytesPerSecond = 2 << 20});
    // The server's bytes pass a counting relay: what the engine's kernel buffers take counts too.
    CountingRelay relay(server_.Port());
    ASSERT_TRUE(relay.Ok());
    const std::string url = "http://127.0.0.1:" + std::to_string(relay.Port()) + "/p.bin";
    EngineClient client(engine_.Port());
    ASSERT_TRUE(client.Send(ep::JobMode{2}));
    ASSERT_TRUE(client.Send(MakeList(30, {MakeRecord(folder_, "p.bin", url)})));
    const auto accepted = client.ReceiveUntil<ep::JobAccepted>();
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(client.ReceiveUntil<ep::JobProgress>());
    ASSERT_TRUE(client.Send(ep::JobFlag{30, accepted->engineJob, 1}));
    // Every job waits: the engine says so unasked.
    std::optional<ep::EngineState> state;
    do {
        state = client.ReceiveUntil<ep::EngineState>(5000);
    } while (state && state->value != 2);
    ASSERT_TRUE(state);
    // Its connections close: little more than what was on its way moves after the pause, and
    // then nothing.
    const uint64_t atPause = relay.BytesToClients();
    uint64_t before = atPause;
    for (int i = 0; i < 25; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const uint64_t now = relay.BytesToClients();
        if (now == before && relay.OpenConnections() == 0) {
            break;
        }
        before = now;
    }
    const uint64_t requests = server_.RequestCount("/p.bin");
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(relay.BytesToClients(), before);
    EXPECT_EQ(server_.RequestCount("/p.bin"), requests);
    EXPECT_LT(before, content.size());  // paused mid-way
    EXPECT_EQ(relay.OpenConnections(), 0);
    EXPECT_LT(before - atPause, 256u << 10);

    ASSERT_TRUE(client.Send(ep::JobFlag{30, accepted->engineJob, 0}));
    state = client.ReceiveUntil<ep::EngineState>();
    ASSERT_TRUE(state);
    EXPECT_EQ(state->value, 1u);
    const auto finished = client.ReceiveUntil<ep::JobFinished>();
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->result, 1u);
    EXPECT_EQ(ReadWholeFile(folder_ + "/p.bin"), content);
}

TEST_F(EngineProgramTest, MirrorOptionAfterTheListAppliesToTheRestOfTheJob) {
    const std::string content = TestBytes(6 << 20, 10);
    for (const char* path : {"/m1.bin", "/m2.bin"}) {
        server_.SetContent(path, content);
        server_.AddRule(path, {.kind = HttpRule::Rate, .bytesPerSecond = 2 << 20});
    }
    EngineClient client(engine_.Port());
    ASSERT_TRUE(client.Send(ep::JobMode{2}));
    ASSERT_TRUE(client.Send(MakeList(
        40,
        {MakeRecord(folder_, "m.bin", server_.Url("/m1.bin") + "|" + server_.Url("/m2.bin"))})));
    ASSERT_TRUE(client.ReceiveUntil<ep::JobAccepted>());
    EXPECT_EQ(server_.RequestCount("/m2.bin"), 0u);  // one alternative at a time so far
    ASSERT_TRUE(client.Send(ep::EngineOption{40}));
    const auto finished = client.ReceiveUntil<ep::JobFinished>();
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->result, 1u);
    EXPECT_GT(server_.RequestCount("/m2.bin"), 0u);
    EXPECT_EQ(ReadWholeFile(folder_ + "/m.bin"), content);
}

TEST_F(EngineProgramTest, StoppedAndDisconnectedJobsKeepTheirDataWhileOtherClientsGoOn) {
    const std::string content = TestBytes(6 << 20, 11);
    for (const char* path : {"/a.bin", "/b.bin", "/c.bin"}) {
        server_.SetContent(path, content);
        server_.AddRule(path, {.kind = HttpRule::Rate, .bytesPerSecond = 2 << 20});
    }
    EngineClient stopper(engine_.Port());
    auto leaver = std::make_unique<EngineClient>(engine_.Port());
    EngineClient stayer(engine_.Port());
    uint32_t job = 50;
    for (EngineClient* client : {&stopper, leaver.get(), &stayer}) {
        const std::string name = std::string(1, static_cast<char>('a' + job - 50)) + ".bin";
        ASSERT_TRUE(client->Send(ep::JobMode{2}));
        ASSERT_TRUE(client->Send(
            MakeList(job++, {MakeRecord(folder_, name, server_.Url("/" + name), content.size())})));
    }
    const auto accepted = stopper.ReceiveUntil<ep::JobAccepted>();
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(stopper.ReceiveUntil<ep::JobProgress>());
    ASSERT_TRUE(leaver->ReceiveUntil<ep::JobProgress>());
    ASSERT_TRUE(stopper.Send(ep::StopJob{50, accepted->engineJob}));
    leaver.reset();
    // After the stop the engine says nothing more about job 50.
    ASSERT_TRUE(stopper.Send(ep::StateRequest{}));
    ASSERT_TRUE(stopper.ReceiveUntil<ep::EngineState>());
    while (auto message = stopper.Receive(1500)) {
        EXPECT_FALSE(std::holds_alternative<ep::JobProgress>(*message));
        EXPECT_FALSE(std::holds_alternative<ep::JobFinished>(*message));
    }
    const auto finished = stayer.ReceiveUntil<ep::JobFinished>();
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->result, 1u);
    EXPECT_EQ(ReadWholeFile(folder_ + "/c.bin"), content);
    for (const char* name : {"a.bin", "b.bin"}) {
        EXPECT_TRUE(fs::exists(folder_ + "/" + name + ".tevpart")) << name;
        EXPECT_TRUE(fs::exists(folder_ + "/" + name + ".tevctl")) << name;
        EXPECT_FALSE(fs::exists(folder_ + "/" + name)) << name;
    }

    // The stopped job, sent again, continues from its data.
    const uint64_t asked = server_.RangeHeaders("/a.bin").size();
    ASSERT_TRUE(stopper.Send(ep::JobMode{2}));
    ASSERT_TRUE(stopper.Send(
        MakeList(60, {MakeRecord(folder_, "a.bin", server_.Url("/a.bin"), content.size())})));
    const auto again = stopper.ReceiveUntil<ep::JobAccepted>();
    ASSERT_TRUE(again);
    ASSERT_TRUE(stopper.ReceiveUntil<ep::ResumeQuery>());
    ASSERT_TRUE(stopper.Send(ep::ResumeReply{again->engineJob, 60, 1, 1}));
    ASSERT_TRUE(stopper.ReceiveUntil<ep::JobFinished>());
    EXPECT_EQ(ReadWholeFile(folder_ + "/a.bin"), content);
    const auto ranges = AskedRanges(server_.RangeHeaders("/a.bin"));
    ASSERT_GT(ranges.size(), asked);
    EXPECT_GT(ranges[asked].first, 0u);
}

TEST_F(EngineProgramTest, PartFilesStrandedForDaysGoWhenAJobStartsInTheirFolder) {
    const std::string content = TestBytes(100000, 12);
    server_.SetContent("/n.bin", content);
    // Left by runs that never came back: eight days old, one day old, and the job's own (as old).
    const auto leave = [&](const std::string& name, int days) {
        WriteFile(folder_ + "/" + name + ".tevpart", content.substr(0, 40000));
        tev::localengine::ControlRecord record{
            content.size(), {tev::localengine::Validator::ETag, server_.ETag("/n.bin")}, {}};
        record.done.Add(0, 40000);
        ASSERT_TRUE(tev::localengine::WriteControlFile(folder_ + "/" + name + ".tevctl", record));
        const timespec then[2] = {{time(nullptr) - days * 86400, 0},
                                  {time(nullptr) - days * 86400, 0}};
        for (const char* suffix : {".tevpart", ".tevctl"}) {
            ASSERT_EQ(utimensat(AT_FDCWD, (folder_ + "/" + name + suffix).c_str(), then, 0), 0);
        }
    };
    leave("old.bin", 8);
    leave("recent.bin", 1);
    leave("n.bin", 8);
    EngineClient client(engine_.Port());
    ASSERT_TRUE(client.Send(ep::JobMode{2}));
    ASSERT_TRUE(client.Send(
        MakeList(70, {MakeRecord(folder_, "n.bin", server_.Url("/n.bin"), content.size())})));
    const auto accepted = client.ReceiveUntil<ep::JobAccepted>();
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(client.ReceiveUntil<ep::ResumeQuery>());
    ASSERT_TRUE(client.Send(ep::ResumeReply{accepted->engineJob, 70, 1, 1}));
    ASSERT_TRUE(client.ReceiveUntil<ep::JobFinished>());
    EXPECT_EQ(ReadWholeFile(folder_ + "/n.bin"), content);
    EXPECT_EQ(AskedRanges(server_.RangeHeaders("/n.bin")).front().first, 40000u);
    EXPECT_FALSE(fs::exists(folder_ + "/old.bin.tevpart"));
    EXPECT_FALSE(fs::exists(folder_ + "/old.bin.tevctl"));
    EXPECT_TRUE(fs::exists(folder_ + "/recent.bin.tevpart"));
    EXPECT_TRUE(fs::exists(folder_ + "/recent.bin.tevctl"));
}

TEST(EngineProgramLifeTest, KilledAtRandomPointsTheFileIsStillByteIdentical) {
    TestHttpServer server;
    const std::string content = TestBytes(6 << 20, 6);
    server.SetContent("/k.bin", content);
    server.AddRule("/k.bin", {.kind = HttpRule::Rate, .bytesPerSecond = 8 << 20});
    const std::string folder = DownloadFolder();
    std::mt19937 random(42);
    bool complete = false;
    for (int round = 0; round < 12 && !complete; ++round) {
        EngineProcess engine(
            std::vector<std::pair<std::string, std::string>>{{"TEV_ENGINE_IDLE_SECONDS", "60"}});
        ASSERT_TRUE(engine.Ready());
        EngineClient client(engine.Port());
        ASSERT_TRUE(client.Send(ep::JobMode{2}));
        ASSERT_TRUE(client.Send(
            MakeList(1, {MakeRecord(folder, "k.bin", server.Url("/k.bin"), content.size())})));
        const auto accepted = client.ReceiveUntil<ep::JobAccepted>();
        ASSERT_TRUE(accepted);
        const int64_t killAfterMs = std::uniform_int_distribution<int>(50, 400)(random);
        const auto start = std::chrono::steady_clock::now();
        while (auto message = client.Receive(static_cast<int>(killAfterMs))) {
            if (std::holds_alternative<ep::ResumeQuery>(*message)) {
                ASSERT_TRUE(client.Send(ep::ResumeReply{accepted->engineJob, 1, 1, 1}));
            }
            if (std::holds_alternative<ep::JobFinished>(*message)) {
                complete = true;
                break;
            }
            if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(killAfterMs)) {
                break;
            }
        }
        if (!complete) {
            engine.Signal(SIGKILL);
            engine.Wait(5000);
        }
    }
    if (!complete) {
        EngineProcess engine;
        EngineClient client(engine.Port());
        ASSERT_TRUE(client.Send(ep::JobMode{2}));
        ASSERT_TRUE(client.Send(
            MakeList(1, {MakeRecord(folder, "k.bin", server.Url("/k.bin"), content.size())})));
        const auto accepted = client.ReceiveUntil<ep::JobAccepted>();
        ASSERT_TRUE(accepted);
        while (auto message = client.Receive()) {
            if (std::holds_alternative<ep::ResumeQuery>(*message)) {
                ASSERT_TRUE(client.Send(ep::ResumeReply{accepted->engineJob, 1, 1, 1}));
            }
            if (const auto* finished = std::get_if<ep::JobFinished>(&*message)) {
                EXPECT_EQ(finished->result, 1u);
                EXPECT_EQ(finished->giveUp, 0u);
                complete = true;
                break;
            }
        }
    }
    ASSERT_TRUE(complete);
    EXPECT_EQ(ReadWholeFile(folder + "/k.bin"), content);
}

TEST(EngineProgramLifeTest, SecondEngineOnATakenPortSaysReadyAndLeaves) {
    EngineProcess first(
        std::vector<std::pair<std::string, std::string>>{{"TEV_ENGINE_IDLE_SECONDS", "1"}});
    ASSERT_TRUE(first.Ready());
    EngineProcess second({}, first.Port());
    EXPECT_TRUE(second.Ready());
    EXPECT_EQ(second.Wait(5000), 0);
    // The first exits by itself once idle: no connection and no job.
    EXPECT_EQ(first.Wait(10000), 0);
}

}  // namespace
