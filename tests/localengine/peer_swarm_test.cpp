// Players sharing a file over loopback through a private opentracker: each session listens on
// its own 127.0.0.x address, everything but the tracker is off.
#include "peers/peer_swarm.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <libtorrent/session.hpp>
#include <libtorrent/torrent_flags.hpp>
#include <libtorrent/torrent_info.hpp>

#include "peers/torrent_check.h"
#include "support/test_torrents.h"
#include "support/tracker_fixture.h"

using namespace tev::localengine;

namespace {

constexpr int kPiece = 256 * 1024;

std::string Folder(const std::string& name) {
    const std::string path = std::string(std::getenv("TEV_TEST_ROOT")) + "/" + name;
    std::filesystem::create_directories(path);
    return path;
}

std::string RandomBytes(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    std::mt19937 random(seed);
    for (char& c : bytes) {
        c = static_cast<char>(random());
    }
    return bytes;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A port of the test's own on the player's address, as the kernel hands one out.
uint16_t PortOf(const std::string& address) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    socklen_t length = sizeof where;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length) == 0) {
        port = ntohs(where.sin_port);
    }
    close(fd);
    return port;
}

SharingSettings PlayerSettings(const std::string& address) {
    SharingSettings settings;
    settings.listen = {address + ":" + std::to_string(PortOf(address))};
    return settings;
}

struct Player {
    Player(EventLoop& loop, const std::string& address, const std::string& name)
        : swarm(loop, PlayerSettings(address),
                [this, name](const std::string& line) { log.push_back(line); }) {}
    // Before the swarm: its session logs from its constructor on.
    std::vector<std::string> log;
    PeerSwarm swarm;
    ByteRanges fromPeers;

    bool Logged(const std::string& what) const {
        for (const std::string& line : log) {
            if (line.find(what) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
};

bool RunUntil(EventLoop& loop, const std::function<bool()>& done, int seconds = 60) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        loop.RunOnce(50);
    }
    return true;
}

std::vector<int> AllPieces(int count) {
    std::vector<int> pieces(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        pieces[static_cast<size_t>(i)] = i;
    }
    return pieces;
}

class PeerSwarmTest : public ::testing::Test {
  protected:
    void SetUp() override {
        origin_ = Folder("origin");
        content_ = RandomBytes(3 * 1024 * 1024 + 12345, 7);
        WriteFile(origin_ + "/game.bin", content_);
    }
    std::string origin_;
    std::string content_;
};

// The tracker must exist before the torrent names its URL, and know the hash after: the hash
// does not depend on the tracker list's port, so a first torrent names the hash.
struct Swarmed {
    std::unique_ptr<PrivateTracker> tracker;
    TestTorrent torrent;
};

Swarmed MakeSwarmed(const std::string& file) {
    const TestTorrent probe = MakeTestTorrent(file, {}, kPiece);
    Swarmed made;
    made.tracker = std::make_unique<PrivateTracker>(std::vector<std::string>{probe.v1Hash});
    made.torrent = MakeTestTorrent(file, {made.tracker->AnnounceUrl()}, kPiece);
    return made;
}

std::optional<PeerSwarm::FileId> Add(Player& player, const TestTorrent& torrent,
                                     const std::string& partPath, uint64_t size, bool complete,
                                     std::function<void(int)> refused = nullptr) {
    std::string refusal;
    std::optional<libtorrent::add_torrent_params> params =
        JudgeTorrent(torrent.bytes, size, partPath, &refusal);
    EXPECT_TRUE(params) << refusal;
    if (!params) {
        return std::nullopt;
    }
    PeerFileEvents events;
    events.pieceFromPeers = [&player](uint64_t begin, uint64_t end) {
        player.fromPeers.Add(begin, end);
    };
    events.pieceRefused = std::move(refused);
    std::string error;
    auto id = player.swarm.AddFile(std::move(*params), complete, std::move(events), &error);
    EXPECT_TRUE(id) << error;
    return id;
}

}  // namespace

TEST_F(PeerSwarmTest, ASecondPlayerGetsEveryPieceFromTheFirst) {
    // The first player's bytes came from the server: each piece is offered once on disk.
    const Swarmed swarmed = MakeSwarmed(origin_ + "/game.bin");
    ASSERT_TRUE(swarmed.tracker->Ok());
    ASSERT_FALSE(swarmed.torrent.bytes.empty());
    EventLoop loop;
    Player first(loop, "127.0.0.2", "first");
    Player second(loop, "127.0.0.3", "second");
    const std::string firstPart = Folder("first") + "/game.bin.tevpart";
    const std::string secondPart = Folder("second") + "/game.bin.tevpart";
    WriteFile(firstPart, content_);
    WriteFile(secondPart, "");
    const auto firstId = Add(first, swarmed.torrent, firstPart, content_.size(), false);
    ASSERT_TRUE(firstId);
    const int fd = open(firstPart.c_str(), O_RDONLY | O_CLOEXEC);
    for (int piece = 0; piece < first.swarm.Pieces(*firstId); ++piece) {
        first.swarm.OfferPiece(*firstId, piece, fd);
    }
    const auto secondId = Add(second, swarmed.torrent, secondPart, content_.size(), false);
    ASSERT_TRUE(secondId);
    second.swarm.GivePieces(*secondId, AllPieces(second.swarm.Pieces(*secondId)));
    EXPECT_TRUE(RunUntil(loop, [&] { return second.fromPeers.Covers(0, content_.size()); }));
    EXPECT_EQ(second.swarm.BytesFromPeers(*secondId), content_.size());
    EXPECT_TRUE(second.swarm.PeersPieces(*secondId).empty());
    first.swarm.RemoveFile(*firstId);
    second.swarm.RemoveFile(*secondId);
    close(fd);
    EXPECT_EQ(ReadFile(secondPart).substr(0, content_.size()), content_);
}

TEST_F(PeerSwarmTest, ACorruptSeederIsBannedAndTheFileComesOutWhole) {
    const Swarmed swarmed = MakeSwarmed(origin_ + "/game.bin");
    ASSERT_TRUE(swarmed.tracker->Ok());
    EventLoop loop;
    Player corrupt(loop, "127.0.0.4", "corrupt");
    Player honest(loop, "127.0.0.5", "honest");
    Player player(loop, "127.0.0.6", "player");
    // The corrupt seeder claims every piece (it skips its own check) but one piece is altered.
    std::string altered = content_;
    altered[5 * kPiece + 100] = static_cast<char>(altered[5 * kPiece + 100] ^ 0x5a);
    const std::string corruptPart = Folder("corrupt") + "/game.bin.tevpart";
    WriteFile(corruptPart, altered);
    {
        std::string refusal;
        auto params = JudgeTorrent(swarmed.torrent.bytes, content_.size(), corruptPart, &refusal);
        ASSERT_TRUE(params) << refusal;
        params->have_pieces.resize(params->ti->num_pieces(), true);
        params->flags |= libtorrent::torrent_flags::no_verify_files;
        libtorrent::error_code code;
        corrupt.swarm.Session().Session()->add_torrent(std::move(*params), code);
        ASSERT_FALSE(code) << code.message();
    }
    const std::string part = Folder("player") + "/game.bin.tevpart";
    WriteFile(part, "");
    std::vector<int> refused;
    const auto id = Add(player, swarmed.torrent, part, content_.size(), false,
                        [&](int piece) { refused.push_back(piece); });
    ASSERT_TRUE(id);
    player.swarm.GivePieces(*id, AllPieces(player.swarm.Pieces(*id)));
    // With the corrupt seeder alone, the altered piece fails its hash and its sender is banned
    // (what else it sent until then counts: each piece is verified on its own).
    ASSERT_TRUE(RunUntil(loop, [&] { return !refused.empty() && player.Logged("ban"); }))
        << ::testing::PrintToString(player.log);
    EXPECT_EQ(refused, std::vector<int>{5}) << ::testing::PrintToString(player.log);
    EXPECT_FALSE(player.fromPeers.Covers(5 * kPiece, 6 * kPiece));
    EXPECT_TRUE(player.swarm.PeersPieces(*id).contains(5));
    // An honest seeder comes: the piece is fetched again, from it.
    const std::string honestFile = Folder("honest") + "/game.bin";
    WriteFile(honestFile, content_);
    ASSERT_TRUE(Add(honest, swarmed.torrent, honestFile, content_.size(), true));
    EXPECT_TRUE(RunUntil(loop, [&] { return player.fromPeers.Covers(0, content_.size()); }))
        << ::testing::PrintToString(player.log);
    player.swarm.RemoveFile(*id);
    EXPECT_EQ(ReadFile(part).substr(0, content_.size()), content_);
}
