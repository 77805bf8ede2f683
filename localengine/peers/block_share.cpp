#include "peers/block_share.h"

namespace tev::localengine {

namespace {

uint64_t Fnv1a(const std::string& text) {
    uint64_t hash = 14695981039346656037ull;
    for (const char c : text) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    return hash;
}

uint64_t Mix(uint64_t x) {  // splitmix64's finaliser
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

}  // namespace

ByteRanges OthersBlocks(const std::vector<std::string>& players, const std::string& self,
                        uint64_t size, uint64_t block) {
    ByteRanges others;
    if (players.size() < 2 || block == 0) {
        return others;
    }
    std::vector<uint64_t> seeds;
    for (const std::string& player : players) {
        seeds.push_back(Fnv1a(player));
    }
    const uint64_t selfSeed = Fnv1a(self);
    // Rendezvous hashing: a block falls to the player whose score for it is highest.
    for (uint64_t begin = 0; begin < size; begin += block) {
        const uint64_t index = begin / block;
        uint64_t best = 0;
        uint64_t bestSeed = 0;
        for (const uint64_t seed : seeds) {
            const uint64_t score = Mix(seed ^ Mix(index));
            if (score > best || (score == best && seed > bestSeed)) {
                best = score;
                bestSeed = seed;
            }
        }
        if (bestSeed != selfSeed) {
            others.Add(begin, std::min(size, begin + block));
        }
    }
    return others;
}

}  // namespace tev::localengine
