// Torrents for tests, made with libtorrent's own maker: one file, the given trackers and piece
// size, private like the publisher's.
#pragma once

#include <string>
#include <vector>

struct TestTorrent {
    std::string bytes;   // bencoded; empty on failure
    std::string v1Hash;  // 40 hex digits
    std::string v2Hash;  // the v2 hash cut to 20 bytes, 40 hex digits (empty for v1 only)
};

TestTorrent MakeTestTorrent(const std::string& filePath, const std::vector<std::string>& trackers,
                            int pieceLength, bool v1Only = true, const std::string& webSeed = "");
