// The engine's protocol side in this process, on its own loop thread, so that a test can make
// the disk full (the write seam) or the network stall with short engine timings; the library's
// side speaks over a real loopback connection and the files come from the project's test server.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>

#include "localengine/engine_process.h"
#include "localengine/transfer_fixture.h"
#include "program/engine_log.h"
#include "program/engine_server.h"
#include "support/test_data.h"
#include "test_server/test_http_server.h"
#include "transfer/file_io.h"

namespace ep = engine_protocol;
using namespace tev::localengine;
using tev::tools::HttpRule;
using tev::tools::TestHttpServer;

namespace {

class EngineServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Ok());
        SetPwriteForTests([this](int fd, const void* data, size_t size, off_t offset) -> ssize_t {
            if (diskFull_) {
                errno = ENOSPC;
                return -1;
            }
            return pwrite(fd, data, size, offset);
        });
        EngineOptions options;
        options.port = 0;
        options.checkPeerUser = false;
        options.transfers = TransferRun::FastSettings();
        options.transfers.stallSeconds = 1;
        engine_ = std::make_unique<EngineServer>(loop_, options, log_);
        ASSERT_EQ(engine_->Listen(), EngineServer::ListenResult::Listening);
        thread_ = std::thread([this] { loop_.Run(); });
    }
    void TearDown() override {
        loop_.Stop();
        if (thread_.joinable()) {
            thread_.join();
        }
        engine_.reset();
        SetPwriteForTests({});
    }

    TestHttpServer server_;
    std::atomic<bool> diskFull_{false};
    EventLoop loop_;
    EngineLog log_{""};
    std::unique_ptr<EngineServer> engine_;
    std::thread thread_;
    std::string folder_ = DownloadFolder();
};

TEST_F(EngineServerTest, FullDiskPausesTheJobWhichGoesOnWhenSpaceReturns) {
    const std::string content = TestBytes(2 << 20, 13);
    server_.SetContent("/d.bin", content);
    diskFull_ = true;
    EngineClient client(engine_->Port());
    ASSERT_TRUE(client.Send(ep::JobMode{2}));
    ASSERT_TRUE(client.Send(
        MakeList(1, {MakeRecord(folder_, "d.bin", server_.Url("/d.bin"), content.size())})));
    const auto full = client.ReceiveUntil<ep::JobDiskStatus>();
    ASSERT_TRUE(full);
    EXPECT_EQ(full->status, 1);
    EXPECT_EQ(full->detail, folder_ + "/");
    std::optional<ep::EngineState> state;
    do {
        state = client.ReceiveUntil<ep::EngineState>(5000);
    } while (state && state->value != 2);
    ASSERT_TRUE(state);  // the job waits for room, its data kept
    diskFull_ = false;
    const auto back = client.ReceiveUntil<ep::JobDiskStatus>();
    ASSERT_TRUE(back);
    EXPECT_EQ(back->status, 0);
    const auto finished = client.ReceiveUntil<ep::JobFinished>();
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->giveUp, 0u);
    EXPECT_EQ(ReadWholeFile(folder_ + "/d.bin"), content);
}

TEST_F(EngineServerTest, StalledNetworkIsReportedToEveryClientUntilBytesFlowAgain) {
    const std::string content = TestBytes(1 << 20, 14);
    server_.SetContent("/n.bin", content);
    server_.AddRule("/n.bin", {.kind = HttpRule::Stall, .firstN = 1});
    EngineClient client(engine_->Port());
    EngineClient bystander(engine_->Port());
    ASSERT_TRUE(client.Send(ep::JobMode{2}));
    ASSERT_TRUE(client.Send(
        MakeList(2, {MakeRecord(folder_, "n.bin", server_.Url("/n.bin"), content.size())})));
    ASSERT_TRUE(client.ReceiveUntil<ep::NetworkPoor>());
    ASSERT_TRUE(bystander.ReceiveUntil<ep::NetworkPoor>());
    // The stalled request is retried and answered: bytes flow, and the trouble is over.
    ASSERT_TRUE(client.ReceiveUntil<ep::NetworkBack>());
    ASSERT_TRUE(bystander.ReceiveUntil<ep::NetworkBack>());
    // The job may have ended before the next network check saw the bytes.
    const bool ended = std::any_of(client.seen().begin(), client.seen().end(), [](const auto& m) {
        return std::holds_alternative<ep::JobFinished>(m);
    });
    ASSERT_TRUE(ended || client.ReceiveUntil<ep::JobFinished>());
    EXPECT_EQ(ReadWholeFile(folder_ + "/n.bin"), content);
}

}  // namespace
