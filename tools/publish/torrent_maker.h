// A game file's .torrent: one file, its own URL as the web seed (so a swarm always has a source
// that holds every piece), the publisher's trackers, and the private flag, so that no peer
// exchange or DHT carries the torrent beyond the publisher's tracker.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tev::tools {

// The bencoded torrent of the regular file at filePath, named as its last path segment, with
// webSeedUrl (http:// or https://, the file's own address) as its web seed and the trackers
// (http://, https:// or udp://, none for a web-seed-only torrent) in one tier each, in order.
// Empty with *error set when the file cannot be read or is empty, or an address is unusable.
// Whether plain http is acceptable for a given publication is the caller's rule.
std::string MakeTorrent(const std::string& filePath, const std::string& webSeedUrl,
                        const std::vector<std::string>& trackers, std::string* error);

// The piece length MakeTorrent gives a file of fileSize bytes: the smallest power of two from
// 256 KiB to 4 MiB that keeps the file within 2,048 pieces.
int TorrentPieceLength(uint64_t fileSize);

// The v1 info hash of a bencoded torrent, 40 lowercase hex digits (what a tracker's whitelist
// holds); empty when the bytes are no torrent.
std::string TorrentInfoHashHex(const std::string& torrent);

}  // namespace tev::tools
