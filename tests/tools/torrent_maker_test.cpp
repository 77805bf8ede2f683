// A game file's torrent as every client reads it: libtorrent's own parser.
#include "publish/torrent_maker.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <libtorrent/hasher.hpp>
#include <libtorrent/torrent_info.hpp>
#include <memory>
#include <string>
#include <vector>

#include "support/test_data.h"

namespace fs = std::filesystem;
using tev::tools::MakeTorrent;
using tev::tools::TorrentPieceLength;

namespace {

std::string Home() {
    return std::getenv("HOME");
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::unique_ptr<lt::torrent_info> Parse(const std::string& bytes) {
    lt::error_code ec;
    auto info = std::make_unique<lt::torrent_info>(lt::span<char const>(bytes), ec, lt::from_span);
    EXPECT_FALSE(ec) << ec.message();
    return ec ? nullptr : std::move(info);
}

TEST(TorrentMakerTest, ReadsBackAsTheFileWithItsWebSeedTrackersAndPrivateFlag) {
    const std::string path = Home() + "/game.bin";
    // Not a multiple of the piece length: the last piece is short.
    const std::string bytes = TestBytes(700 * 1024 + 123, 7);
    WriteFile(path, bytes);
    const std::string url = "https://cdn.example/games/game.bin";
    std::string error;
    const std::string torrent = MakeTorrent(
        path, url, {"http://tracker.example:6969/announce", "udp://tracker2.example:6969"}, &error);
    ASSERT_FALSE(torrent.empty()) << error;
    const auto info = Parse(torrent);
    ASSERT_NE(info, nullptr);

    EXPECT_EQ(info->total_size(), static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(info->num_files(), 1);
    EXPECT_EQ(info->files().file_path(lt::file_index_t{0}), "game.bin");
    EXPECT_EQ(info->piece_length(), 256 * 1024);
    EXPECT_EQ(info->num_pieces(), 3);
    EXPECT_TRUE(info->priv());
    EXPECT_TRUE(info->info_hashes().has_v1());
    EXPECT_FALSE(info->info_hashes().has_v2());
    ASSERT_EQ(info->web_seeds().size(), 1u);
    EXPECT_EQ(info->web_seeds()[0].url, url);
    EXPECT_EQ(info->web_seeds()[0].type, lt::web_seed_entry::url_seed);
    ASSERT_EQ(info->trackers().size(), 2u);
    EXPECT_EQ(info->trackers()[0].url, "http://tracker.example:6969/announce");
    EXPECT_EQ(info->trackers()[0].tier, 0);
    EXPECT_EQ(info->trackers()[1].url, "udp://tracker2.example:6969");
    EXPECT_EQ(info->trackers()[1].tier, 1);

    // The pieces hash the file's bytes: the first piece's SHA-1 is the file's first 256 KiB's.
    const lt::sha1_hash first = lt::hasher(bytes.data(), 256 * 1024).final();
    EXPECT_EQ(info->hash_for_piece(lt::piece_index_t{0}), first);
    const lt::sha1_hash last =
        lt::hasher(bytes.data() + 512 * 1024, static_cast<int>(bytes.size() - 512 * 1024)).final();
    EXPECT_EQ(info->hash_for_piece(lt::piece_index_t{2}), last);

    // The same file and addresses give the same bytes; a change of one byte, another info hash.
    EXPECT_EQ(MakeTorrent(path, url,
                          {"http://tracker.example:6969/announce", "udp://tracker2.example:6969"},
                          &error),
              torrent);
    std::string altered = bytes;
    altered[600 * 1024] ^= 1;
    WriteFile(path, altered);
    const std::string other = MakeTorrent(
        path, url, {"http://tracker.example:6969/announce", "udp://tracker2.example:6969"}, &error);
    ASSERT_FALSE(other.empty()) << error;
    const auto otherInfo = Parse(other);
    ASSERT_NE(otherInfo, nullptr);
    EXPECT_NE(otherInfo->info_hashes().v1, info->info_hashes().v1);
    EXPECT_EQ(otherInfo->hash_for_piece(lt::piece_index_t{0}), first);
    EXPECT_NE(otherInfo->hash_for_piece(lt::piece_index_t{2}), last);
}

TEST(TorrentMakerTest, PieceLengthKeepsAFileWithinTwoThousandPieces) {
    constexpr uint64_t kMiB = 1024 * 1024;
    const struct {
        uint64_t size;
        int length;
    } cases[] = {
        {1, 256 * 1024},
        {256 * kMiB, 256 * 1024},          // 1,024 pieces
        {512 * kMiB, 256 * 1024},          // 2,048
        {512 * kMiB + 1, 512 * 1024},      // 1,025
        {1024 * kMiB, 512 * 1024},         // 2,048
        {4096 * kMiB, 2 * 1024 * 1024},    // 2,048
        {8192 * kMiB, 4 * 1024 * 1024},    // 2,048
        {100000 * kMiB, 4 * 1024 * 1024},  // capped: 25,000 pieces
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TorrentPieceLength(c.size), c.length) << c.size;
    }
}

TEST(TorrentMakerTest, RefusesWhatMakesNoUsableTorrentWithAReason) {
    const std::string good = Home() + "/good.bin";
    WriteFile(good, TestBytes(1000, 3));
    WriteFile(Home() + "/empty.bin", "");
    fs::create_directories(Home() + "/folder");
    const std::string url = "https://cdn.example/good.bin";
    const std::string tracker = "http://tracker.example/announce";
    const struct {
        std::string path;
        std::string webSeed;
        std::vector<std::string> trackers;
        std::string reason;
    } cases[] = {
        {Home() + "/missing.bin", url, {tracker}, "cannot read"},
        {Home() + "/empty.bin", url, {tracker}, "is empty"},
        {Home() + "/folder", url, {tracker}, "not a regular file"},
        {good, "", {tracker}, "http:// or https://"},
        {good, "ftp://cdn.example/good.bin", {tracker}, "http:// or https://"},
        {good, "file:///srv/good.bin", {tracker}, "http:// or https://"},
        {good, "https://cdn.example/a b.bin", {tracker}, "http:// or https://"},
        {good, "https://cdn.example/good.bin#x", {tracker}, "http:// or https://"},
        {good, "https://cdn.example/games/", {tracker}, "not a folder"},
        {good, url, {"tracker.example:6969"}, "tracker"},
        {good, url, {"wss://tracker.example/announce"}, "tracker"},
        {good, url, {"http://tracker.example/announce\r\nX: y"}, "tracker"},
        {good, url, std::vector<std::string>(17, tracker), "at most 16"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + c.webSeed);
        std::string error;
        EXPECT_TRUE(MakeTorrent(c.path, c.webSeed, c.trackers, &error).empty());
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
    // An unreadable file (not for root, who reads anything).
    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod(good.c_str(), 0), 0);
        std::string error;
        EXPECT_TRUE(MakeTorrent(good, url, {tracker}, &error).empty());
        EXPECT_NE(error.find("good.bin"), std::string::npos) << error;
        ::chmod(good.c_str(), 0644);
    }
    // No tracker is a web-seed-only torrent, and a plain http web seed is the caller's rule.
    std::string error;
    EXPECT_FALSE(MakeTorrent(good, "http://127.0.0.1:8080/good.bin", {}, &error).empty()) << error;
}

}  // namespace
