// How players split the server's work: every block falls to exactly one player, each player
// computes the same split on its own, and the split moves little when a player comes or goes.
#include "peers/block_share.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace tev::localengine {
namespace {

constexpr uint64_t kBlock = 1 << 20;
constexpr uint64_t kSize = 256 * kBlock - 12345;  // the last block is short

// Which player each block falls to, from every player's own computation.
std::map<uint64_t, std::vector<std::string>> Owners(const std::vector<std::string>& players) {
    std::map<uint64_t, std::vector<std::string>> owners;
    for (const std::string& self : players) {
        const ByteRanges others = OthersBlocks(players, self, kSize, kBlock);
        for (uint64_t begin = 0; begin < kSize; begin += kBlock) {
            if (!others.Covers(begin, std::min(kSize, begin + kBlock))) {
                owners[begin].push_back(self);
            }
        }
    }
    return owners;
}

TEST(BlockShareTest, EachBlockFallsToExactlyOnePlayerAndTheSharesAreEven) {
    const std::vector<std::string> players = {"10.0.0.11", "10.0.0.12", "10.0.0.13", "10.0.0.14",
                                              "10.0.0.15", "10.0.0.16", "10.0.0.17", "10.0.0.18"};
    const auto owners = Owners(players);
    ASSERT_EQ(owners.size(), 256u);  // none left to nobody
    std::map<std::string, int> blocks;
    for (const auto& [begin, who] : owners) {
        ASSERT_EQ(who.size(), 1u) << "block at " << begin;
        ++blocks[who.front()];
    }
    for (const std::string& player : players) {
        EXPECT_GE(blocks[player], 16) << player;  // 32 each on average
        EXPECT_LE(blocks[player], 48) << player;
    }
}

TEST(BlockShareTest, APlayerLeavingMovesOnlyItsOwnBlocks) {
    const std::vector<std::string> four = {"127.0.0.10", "127.0.0.11", "127.0.0.12", "127.0.0.13"};
    const std::vector<std::string> three(four.begin(), four.end() - 1);
    const auto before = Owners(four);
    const auto after = Owners(three);
    for (const auto& [begin, who] : before) {
        if (who.front() != four.back()) {
            EXPECT_EQ(after.at(begin).front(), who.front()) << "block at " << begin;
        }
    }
}

TEST(BlockShareTest, AloneOrWithNoPlayerNothingFallsToOthers) {
    EXPECT_TRUE(OthersBlocks({}, "", kSize, kBlock).Empty());
    EXPECT_TRUE(OthersBlocks({"10.0.0.11"}, "10.0.0.11", kSize, kBlock).Empty());
    // A player missing from the set it computes with owns nothing: it fetches only once the
    // others' blocks take too long.
    EXPECT_TRUE(
        OthersBlocks({"10.0.0.11", "10.0.0.12"}, "10.0.0.99", kSize, kBlock).Covers(0, kSize));
}

}  // namespace
}  // namespace tev::localengine
