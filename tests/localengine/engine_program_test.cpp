// The engine program end to end: started as the library starts it, spoken to over its protocol
// on loopback, downloading from the project's test server.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <thread>

#include "localengine/engine_process.h"
#include "localengine/transfer_fixture.h"
#include "support/test_data.h"
#include "test_server/test_http_server.h"

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
    // The second file is small and finishes first; its report still follows the first file's.
    const std::string big = TestBytes(3 << 20, 1);
    const std::string small = TestBytes(1000, 2);
    server_.SetContent("/big.bin", big);
    server_.SetContent("/small.bin", small);
    server_.AddRule("/big.bin", {.kind = HttpRule::Rate, .bytesPerSecond = 2 << 20});
    EngineClient client(engine_.Port());
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send(ep::ServiceId{"svc"}));
    ASSERT_TRUE(client.Send(ep::JobMode{2}));
    ASSERT_TRUE(client.Send(
        MakeList(7, {MakeRecord(folder_, "big.bin", server_.Url("/big.bin")),
                     MakeRecord(folder_, "small.bin", server_.Url("/small.bin"), 1000)})));
    const auto finished = client.ReceiveUntil<ep::JobFinished>();
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->job, 7u);
    EXPECT_EQ(finished->result, 0u);
    EXPECT_EQ(finished->giveUp, 0u);

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
            ASSERT_EQ(progress->entries.size(), 1u);
        }
    }
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
    EXPECT_EQ(finished->result, 0u);
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

    // Lists that would write outside their folder, or fetch another scheme, are given up at once.
    const std::vector<ep::FileRecord> refused = {
        MakeRecord(folder_ + "/../elsewhere", "a.bin", server_.Url("/ok.bin")),
        MakeRecord("relative/folder", "a.bin", server_.Url("/ok.bin")),
        MakeRecord(folder_, "..", server_.Url("/ok.bin")),
        MakeRecord(folder_, "a.bin", "file:///etc/passwd"),
    };
    EngineClient other(engine_.Port());
    uint32_t job = 10;
    for (const ep::FileRecord& record : refused) {
        ASSERT_TRUE(other.Send(MakeList(job, {record})));
        const auto finished = other.ReceiveUntil<ep::JobFinished>();
        ASSERT_TRUE(finished) << record.folder << record.name << record.url;
        EXPECT_EQ(finished->job, job);
        EXPECT_EQ(finished->giveUp, 1u);
        EXPECT_EQ(finished->result, 3u);
        ++job;
    }
    EXPECT_FALSE(fs::exists(fs::path(folder_).parent_path() / "elsewhere"));

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
    EXPECT_EQ(finished->result, 0u);
    EXPECT_EQ(ReadWholeFile(folder_ + "/ok.bin"), content);
}

TEST_F(EngineProgramTest, AnotherUsersConnectionIsClosedAtOnce) {
    const pid_t child = fork();
    if (child == 0) {
        // A different user connects and asks for the state: no answer, only a close.
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(2);
        }
        EngineClient stranger(engine_.Port());
        const bool refused = stranger.Connected() &&
                             (!stranger.Send(ep::StateRequest{}) || stranger.ClosedByPeer(5000));
        _exit(refused && stranger.seen().empty() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    EngineClient own(engine_.Port());
    ASSERT_TRUE(own.Send(ep::StateRequest{}));
    const auto state = own.ReceiveUntil<ep::EngineState>(5000);
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
                EXPECT_EQ(finished->result, 0u);
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
