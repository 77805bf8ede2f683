// How a file's torrent is found and judged before any peer may add a byte.
#include "peers/torrent_check.h"

#include <gtest/gtest.h>

#include <libtorrent/torrent_info.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/test_torrents.h"

using namespace tev::localengine;

TEST(TorrentCheckTest, FindsTheTorrentALinkHeaderNames) {
    const std::string file = "https://cdn.example/games/a/game.bin";
    struct Case {
        const char* header;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {R"(<https://cdn.example/t/game.torrent>; rel=describedby; type="application/x-bittorrent")",
         "https://cdn.example/t/game.torrent"},
        {R"(<game.bin.torrent>; rel="describedby"; type="application/x-bittorrent")",
         "https://cdn.example/games/a/game.bin.torrent"},
        {R"(</t/x.torrent>; type="application/x-bittorrent"; rel="alternate describedby")",
         "https://cdn.example/t/x.torrent"},
        {R"(<//cdn.example/y.torrent>; rel=describedby; type=application/x-bittorrent)",
         "https://cdn.example/y.torrent"},
        // The first link is something else; the second is the torrent.
        {R"(<a.meta4>; rel=describedby; type="application/metalink4+xml", <b.torrent>; rel=describedby; type="application/x-bittorrent")",
         "https://cdn.example/games/a/b.torrent"},
        {R"(<a.torrent>; rel=duplicate; type="application/x-bittorrent")", std::nullopt},
        {R"(<a.torrent>; rel=describedby)", std::nullopt},
        {R"(<ftp://x/a.torrent>; rel=describedby; type="application/x-bittorrent")", std::nullopt},
        {R"(<javascript:x>; rel=describedby; type="application/x-bittorrent")", std::nullopt},
        {R"(<unterminated; rel=describedby; type="application/x-bittorrent")", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TorrentLinkOf(c.header, file), c.expected) << c.header;
    }
    EXPECT_EQ(TorrentUrlBeside("http://h/a/game.bin?sig=1#x"), "http://h/a/game.bin.torrent");
}

TEST(TorrentCheckTest, AnHttpsFileTakesOnlyAnHttpsTorrentOfItsOrigin) {
    struct Case {
        const char* file;
        const char* torrent;
        bool allowed;
    };
    const std::vector<Case> cases = {
        {"https://h.example/a.bin", "https://h.example/a.bin.torrent", true},
        {"https://h.example/a.bin", "https://H.EXAMPLE:443/t/a.torrent", true},
        {"https://h.example/a.bin", "http://h.example/a.bin.torrent", false},
        {"https://h.example/a.bin", "https://other.example/a.bin.torrent", false},
        {"https://h.example/a.bin", "https://h.example:8443/a.bin.torrent", false},
        {"https://h.example/a.bin", "https://evil@h.example.evil/a.torrent", false},
        {"http://h.example/a.bin", "http://other.example/a.torrent", true},
        {"http://h.example/a.bin", "https://h.example/a.torrent", true},
        {"http://h.example/a.bin", "file:///etc/passwd", false},
    };
    for (const Case& c : cases) {
        std::string why;
        EXPECT_EQ(TorrentUrlAllowed(c.file, c.torrent, &why), c.allowed)
            << c.file << " " << c.torrent;
        EXPECT_EQ(why.empty(), c.allowed);
    }
}

TEST(TorrentCheckTest, TakesOnlyOneFileOfTheServersSizeUnderTheJobsName) {
    const std::string folder = std::string(std::getenv("TEV_TEST_ROOT")) + "/t";
    std::filesystem::create_directories(folder + "/two");
    const std::string file = folder + "/game.bin";
    std::ofstream(file, std::ios::binary) << std::string(700000, 'x');
    std::ofstream(folder + "/two/a", std::ios::binary) << std::string(1000, 'a');
    std::ofstream(folder + "/two/b", std::ios::binary) << std::string(1000, 'b');
    const TestTorrent one = MakeTestTorrent(file, {"http://127.0.0.1:1/announce"}, 65536, false,
                                            "http://127.0.0.1:2/game.bin");
    const TestTorrent two = MakeTestTorrent(folder + "/two", {}, 65536);
    ASSERT_FALSE(one.bytes.empty());
    ASSERT_FALSE(two.bytes.empty());

    std::string refusal;
    const auto params = JudgeTorrent(one.bytes, 700000, "/dl/x/Game.bin.tevpart", &refusal);
    ASSERT_TRUE(params) << refusal;
    EXPECT_EQ(params->save_path, "/dl/x");
    EXPECT_EQ(params->renamed_files.at(libtorrent::file_index_t{0}), "Game.bin.tevpart");
    EXPECT_TRUE(params->url_seeds.empty());
    EXPECT_TRUE(params->ti->web_seeds().empty());

    const std::vector<std::pair<std::string, uint64_t>> refused = {
        {one.bytes, 699999},   // a man in the middle's hashes for another file
        {two.bytes, 2000},     // more than one file
        {"d4:infod", 700000},  // torn
        {"not bencoded at all", 700000},
        {std::string(5 << 20, 'd'), 700000},  // over the fetch's bound
    };
    for (const auto& [bytes, size] : refused) {
        refusal.clear();
        EXPECT_FALSE(JudgeTorrent(bytes, size, "/dl/x/Game.bin.tevpart", &refusal));
        EXPECT_FALSE(refusal.empty());
    }
}
