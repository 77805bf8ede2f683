// Engines sharing a file with each other: each its own engine folder and its own 127.0.0.x
// address, a private opentracker, the project's test server as the origin (sending the Link
// header that names the file's torrent).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "localengine/engine_process.h"
#include "support/tcp_peer.h"
#include "support/test_certificates.h"
#include "support/test_data.h"
#include "support/test_torrents.h"
#include "support/tracker_fixture.h"
#include "test_server/test_http_server.h"

namespace ep = engine_protocol;
namespace fs = std::filesystem;
using tev::tools::HttpRule;
using tev::tools::TestHttpServer;

namespace {

constexpr int kPiece = 256 * 1024;
constexpr uint32_t kFailed = 11;  // Fetch: the job failed (type 11)

// True when some socket listens on address:port (/proc/net/tcp, addresses in host order hex).
bool Listening(const std::string& address, uint16_t port) {
    in_addr parsed{};
    inet_pton(AF_INET, address.c_str(), &parsed);
    char wanted[32];
    snprintf(wanted, sizeof wanted, "%08X:%04X", parsed.s_addr, port);
    std::ifstream table("/proc/net/tcp");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A") {
            return true;
        }
    }
    return false;
}

// A player: its own engine folder with its sharing settings, its engine and a client.
struct Player {
    Player(const std::string& name, const std::string& address, const std::string& settings,
           int idle = 600)
        : idleSeconds(idle) {
        home = std::string(std::getenv("TEV_TEST_ROOT")) + "/" + name;
        const std::string config = home + "/data/Velmor/tevDownloadV32/config";
        fs::create_directories(config);
        port = FreeLoopbackPort(SOCK_STREAM, address);
        std::ofstream(config + "/sharing.conf") << "listen=" << address << ":" << port << "\n"
                                                << settings;
        log = config + "/engine.log";
        folder = home + "/downloads";
        fs::create_directories(folder);
        Start();
    }
    void Start() {
        engine = std::make_unique<EngineProcess>(std::vector<std::pair<std::string, std::string>>{
            {"HOME", home},
            {"XDG_DATA_HOME", home + "/data"},
            {"TEV_ENGINE_IDLE_SECONDS", std::to_string(idleSeconds)}});
    }
    int idleSeconds = 600;
    // Downloads url into folder/name, keeping part data; the job's result (1: complete;
    // kFailed: failed, with its reason in failure), or 0 when killAt bytes were present first
    // (the engine is then killed with SIGKILL).
    uint32_t Fetch(const std::string& url, const std::string& name, uint64_t size,
                   uint64_t killAt = UINT64_MAX) {
        EngineClient client(engine->Port());
        if (!client.Connected() || !client.Send(ep::JobMode{2}) ||
            !client.Send(MakeList(1, {MakeRecord(folder, name, url, size)}))) {
            return 0;
        }
        uint32_t engineJob = 0;
        while (auto message = client.Receive(60000)) {
            if (const auto* accepted = std::get_if<ep::JobAccepted>(&*message)) {
                engineJob = accepted->engineJob;
            } else if (std::holds_alternative<ep::ResumeQuery>(*message)) {
                resumed = true;
                client.Send(ep::ResumeReply{engineJob, 1, 1, 1});
            } else if (const auto* progress = std::get_if<ep::JobProgress>(&*message)) {
                if (progress->bytesPresent >= killAt) {
                    engine->Signal(SIGKILL);
                    engine->Wait(5000);
                    return 0;
                }
            } else if (const auto* finished = std::get_if<ep::JobFinished>(&*message)) {
                return finished->result;
            } else if (const auto* failed = std::get_if<ep::JobFailed>(&*message)) {
                failure = failed->message;
                return kFailed;
            }
        }
        return 0;
    }
    bool resumed = false;
    std::string failure;
    std::string Log() const { return ReadWholeFile(log); }
    // The engine's own count of the file's bytes from peers (its log line), or -1.
    long long FromPeers(const std::string& name) const {
        const std::string text = Log();
        const std::string marker = name + ": ";
        size_t at = text.find(marker);
        while (at != std::string::npos) {
            const size_t comma = text.find("bytes from the server, ", at);
            const size_t newline = text.find('\n', at);
            if (comma != std::string::npos && comma < newline) {
                return std::atoll(text.c_str() + comma + 23);
            }
            at = text.find(marker, at + 1);
        }
        return -1;
    }

    std::string home;
    std::string log;
    std::string folder;
    uint16_t port = 0;
    std::unique_ptr<EngineProcess> engine;
};

bool WaitFor(const std::function<bool()>& done, int seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

class PeerEngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Ok());
        content_ = TestBytes(8 * 1024 * 1024 - 4321, 33);
        const std::string origin = std::string(std::getenv("TEV_TEST_ROOT")) + "/origin";
        fs::create_directories(origin);
        std::ofstream(origin + "/game.bin", std::ios::binary) << content_;
        const TestTorrent first = MakeTestTorrent(origin + "/game.bin", {}, kPiece);
        tracker_ = std::make_unique<PrivateTracker>(std::vector<std::string>{first.v1Hash});
        ASSERT_TRUE(tracker_->Ok());
        torrent_ = MakeTestTorrent(origin + "/game.bin", {tracker_->AnnounceUrl()}, kPiece);
        ASSERT_FALSE(torrent_.bytes.empty());
        server_.SetContent("/game.bin", content_);
        server_.SetContent("/game.bin.torrent", torrent_.bytes);
    }
    // Every answer for the file names its torrent; the server sends each connection's bytes at
    // rate (so that peers have time to matter).
    // A second player, on address, whose server is slow (each of its up to 16 connections):
    // peers (first among them) bring most of the file, even when a loaded machine delays the
    // tracker's answer by seconds.
    void SecondPlayerGetsBytesFrom(const Player& first, const std::string& address) {
        server_.ClearRules();
        Publish(64 * 1024);
        Player second("second", address, "");
        ASSERT_TRUE(second.engine->Ready());
        ASSERT_EQ(second.Fetch(server_.Url("/game.bin"), "game.bin", content_.size()), 1u);
        EXPECT_TRUE(ReadWholeFile(second.folder + "/game.bin") == content_);
        EXPECT_GT(second.FromPeers("game.bin"), 0) << second.Log() << "\nThe first player:\n"
                                                   << first.Log();
        EXPECT_FALSE(fs::exists(second.folder + "/game.bin.tevpart"));
    }

    void Publish(uint64_t rate) {
        server_.AddRule("/game.bin",
                        {.kind = rate > 0 ? HttpRule::Rate : HttpRule::AddHeaders,
                         .bytesPerSecond = rate,
                         .headers = {"Link: <" + server_.Url("/game.bin.torrent") +
                                     ">; rel=describedby; type=\"application/x-bittorrent\""}});
    }

    TestHttpServer server_;
    std::string content_;
    std::unique_ptr<PrivateTracker> tracker_;
    TestTorrent torrent_;
};

}  // namespace

TEST_F(PeerEngineTest, ASecondPlayerGetsBytesFromTheFirst) {
    Publish(0);
    // The first engine would leave a second after its job; sharing keeps it.
    Player first("first", "127.0.0.2", "", 1);
    ASSERT_TRUE(first.engine->Ready());
    ASSERT_EQ(first.Fetch(server_.Url("/game.bin"), "game.bin", content_.size()), 1u);
    EXPECT_TRUE(ReadWholeFile(first.folder + "/game.bin") == content_);
    EXPECT_EQ(first.FromPeers("game.bin"), 0) << first.Log();
    // Done, it shares from the final name, listening on its own address.
    EXPECT_TRUE(WaitFor([&] { return Listening("127.0.0.2", first.port); }, 10));
    EXPECT_NE(first.Log().find("shared until ratio"), std::string::npos) << first.Log();
    SecondPlayerGetsBytesFrom(first, "127.0.0.3");
}

// A file that comes whole over HTTP before its torrent arrives is still shared, from its final
// name, once the torrent is there: the torrent is not added over the completing part file.
TEST_F(PeerEngineTest, ATorrentThatArrivesAfterTheFileIsCompleteStillSharesIt) {
    Publish(0);
    server_.AddRule("/game.bin.torrent", {.kind = HttpRule::AddHeaders, .headDelayMs = 1500});
    Player first("first", "127.0.0.13", "", 1);
    ASSERT_TRUE(first.engine->Ready());
    ASSERT_EQ(first.Fetch(server_.Url("/game.bin"), "game.bin", content_.size()), 1u);
    EXPECT_EQ(first.FromPeers("game.bin"), 0) << first.Log();
    EXPECT_TRUE(WaitFor([&] { return Listening("127.0.0.13", first.port); }, 10)) << first.Log();
    SecondPlayerGetsBytesFrom(first, "127.0.0.14");
}

TEST_F(PeerEngineTest, APlayerKilledHalfwayResumesAndEndsByteIdentical) {
    Publish(0);
    Player first("first", "127.0.0.6", "");
    ASSERT_TRUE(first.engine->Ready());
    ASSERT_EQ(first.Fetch(server_.Url("/game.bin"), "game.bin", content_.size()), 1u);
    server_.ClearRules();
    Publish(512 * 1024);
    Player second("second", "127.0.0.7", "");
    ASSERT_TRUE(second.engine->Ready());
    EXPECT_EQ(
        second.Fetch(server_.Url("/game.bin"), "game.bin", content_.size(), content_.size() / 2),
        0u);
    EXPECT_TRUE(fs::exists(second.folder + "/game.bin.tevpart"));
    second.Start();
    ASSERT_TRUE(second.engine->Ready());
    ASSERT_EQ(second.Fetch(server_.Url("/game.bin"), "game.bin", content_.size()), 1u);
    EXPECT_TRUE(second.resumed);
    EXPECT_TRUE(ReadWholeFile(second.folder + "/game.bin") == content_);
    EXPECT_FALSE(fs::exists(second.folder + "/game.bin.tevpart"));
}

TEST_F(PeerEngineTest, ATorrentOfAnotherVersionIsLeftOutAndTheFileIsTheServers) {
    Publish(0);
    Player first("first", "127.0.0.8", "");
    ASSERT_TRUE(first.engine->Ready());
    ASSERT_EQ(first.Fetch(server_.Url("/game.bin"), "game.bin", content_.size()), 1u);
    // The server's file changed since the torrent was made: every piece differs from the
    // pieces the first player shares, and the torrent's hashes say so.
    std::string changed = content_;
    for (size_t at = 1000; at < changed.size(); at += kPiece) {
        changed[at] = static_cast<char>(changed[at] ^ 0x77);
    }
    server_.SetContent("/new.bin", changed);
    server_.AddRule("/new.bin",
                    {.kind = HttpRule::Rate,
                     .bytesPerSecond = 512 * 1024,
                     .headers = {"Link: <" + server_.Url("/game.bin.torrent") +
                                 ">; rel=describedby; type=\"application/x-bittorrent\""}});
    Player second("second", "127.0.0.9", "");
    ASSERT_TRUE(second.engine->Ready());
    ASSERT_EQ(second.Fetch(server_.Url("/new.bin"), "game.bin", changed.size()), 1u);
    EXPECT_TRUE(ReadWholeFile(second.folder + "/game.bin") == changed);
    EXPECT_NE(second.Log().find("does not match the server's file"), std::string::npos)
        << second.Log();
    EXPECT_EQ(second.Log().find("shared until ratio"), std::string::npos) << "not shared";
}

TEST_F(PeerEngineTest, SharingOffMeansNoListeningSocketAndNoTorrentAskedFor) {
    Publish(0);
    Player player("off", "127.0.0.4", "sharing=off\n", 1);
    ASSERT_TRUE(player.engine->Ready());
    ASSERT_EQ(player.Fetch(server_.Url("/game.bin"), "game.bin", content_.size()), 1u);
    // Nothing to share: the engine leaves once idle.
    EXPECT_TRUE(player.engine->Wait(10000).has_value());
    EXPECT_TRUE(ReadWholeFile(player.folder + "/game.bin") == content_);
    EXPECT_FALSE(Listening("127.0.0.4", player.port));
    EXPECT_EQ(server_.RequestCount("/game.bin.torrent"), 0u);
    EXPECT_NE(player.Log().find("sharing is off"), std::string::npos);
}

TEST(PeerEngineTlsTest, AnHttpTorrentForAnHttpsFileIsIgnored) {
    const TestPki pki = MakeTestPki(std::string(std::getenv("HOME")) + "/pki");
    TrustTestCa(pki);
    TestHttpServer::Options options;
    options.tlsCertificate = pki.server.certificateFile;
    options.tlsKey = pki.server.keyFile;
    TestHttpServer secure(options);
    TestHttpServer plain;
    ASSERT_TRUE(secure.Ok() && plain.Ok());
    const std::string content = TestBytes(2 * 1024 * 1024, 34);
    secure.SetContent("/game.bin", content);
    plain.SetContent("/game.bin.torrent", "d8:announce0:e");
    secure.AddRule("/game.bin", {.kind = HttpRule::AddHeaders,
                                 .headers = {"Link: <" + plain.Url("/game.bin.torrent") +
                                             ">; rel=describedby; "
                                             "type=\"application/x-bittorrent\""}});
    Player player("tls", "127.0.0.5", "");
    ASSERT_TRUE(player.engine->Ready());
    ASSERT_EQ(player.Fetch(secure.Url("/game.bin"), "game.bin", content.size()), 1u);
    EXPECT_TRUE(ReadWholeFile(player.folder + "/game.bin") == content);
    EXPECT_EQ(plain.RequestCount("/game.bin.torrent"), 0u);
    EXPECT_NE(player.Log().find("an http torrent for an https file"), std::string::npos)
        << player.Log();
    EXPECT_FALSE(Listening("127.0.0.5", player.port)) << "no torrent, no session";
}

// The server stops (connections refused) once the player has a peer: the peer that holds
// the file brings what the server can no longer send, however long HTTP's retries take.
TEST_F(PeerEngineTest, AFileWhoseServerStopsIsFinishedFromPeersThatHoldIt) {
    Publish(0);
    Player first("first", "127.0.0.10", "");
    ASSERT_TRUE(first.engine->Ready());
    ASSERT_EQ(first.Fetch(server_.Url("/game.bin"), "game.bin", content_.size()), 1u);
    server_.ClearRules();
    Publish(128 * 1024);
    Player second("second", "127.0.0.11", "");
    ASSERT_TRUE(second.engine->Ready());
    std::thread stopper([&] {
        WaitFor([&] { return second.Log().find("1 peers connected") != std::string::npos; }, 60);
        server_.Stop();
    });
    const uint32_t result = second.Fetch(server_.Url("/game.bin"), "game.bin", content_.size());
    stopper.join();
    ASSERT_EQ(result, 1u) << second.Log() << "\nThe first player:\n" << first.Log();
    EXPECT_TRUE(ReadWholeFile(second.folder + "/game.bin") == content_);
    EXPECT_GT(second.FromPeers("game.bin"), 0) << second.Log();
}

// The same stop with no peer holding the file: it fails clearly, without an endless wait.
TEST_F(PeerEngineTest, AFileWhoseServerStopsWithoutPeersFailsInBoundedTime) {
    Publish(128 * 1024);
    Player alone("alone", "127.0.0.12", "");
    ASSERT_TRUE(alone.engine->Ready());
    std::thread stopper([&] {
        WaitFor([&] { return alone.Log().find("shared through") != std::string::npos; }, 60);
        server_.Stop();
    });
    const auto began = std::chrono::steady_clock::now();
    const uint32_t result = alone.Fetch(server_.Url("/game.bin"), "game.bin", content_.size());
    stopper.join();
    EXPECT_EQ(result, kFailed) << alone.Log();
    EXPECT_NE(alone.failure.find("connection refused"), std::string::npos) << alone.failure;
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(90));
    EXPECT_FALSE(fs::exists(alone.folder + "/game.bin"));
}
