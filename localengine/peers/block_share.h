// Sharing the server's work among players: while several players of ours fetch the same file,
// each block of it falls to one of them, and only that player asks the server for it (the others
// get it from peers). Every player computes the same answer from the same set of players, with
// no message between them; a player that joins or leaves moves only the blocks that fall to it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transfer/byte_ranges.h"

namespace tev::localengine {

// The blocks of [0, size), each `block` bytes long (the last one shorter), that fall to players
// other than self. players: the addresses of all of them, self's included; with one player or
// none, nothing falls to others.
ByteRanges OthersBlocks(const std::vector<std::string>& players, const std::string& self,
                        uint64_t size, uint64_t block);

}  // namespace tev::localengine
