// How the engine finds a file's torrent and judges it before a peer may add a byte. The torrent
// only ever brings hashes and trackers: the file's path comes from the job, its size from the
// server, and a torrent that disagrees with either is refused.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <libtorrent/add_torrent_params.hpp>

namespace tev::localengine {

// Files smaller than this are never worth asking for "<URL>.torrent".
constexpr uint64_t kTorrentGuessSize = 64ull << 20;
// What a torrent's fetch may cost.
constexpr size_t kTorrentMaxBytes = 4 << 20;
constexpr int kTorrentFetchSeconds = 10;
// Pieces larger than this are refused: a piece is read back whole to be offered to peers.
constexpr int kMaxPieceLength = 16 << 20;

// The torrent a Link header names (rel=describedby, type application/x-bittorrent), resolved
// against the URL of the answer that carried it; nullopt when the header names none.
std::optional<std::string> TorrentLinkOf(std::string_view linkHeader, const std::string& answerUrl);

// "<URL>.torrent": the torrent published beside the file (the query and fragment dropped).
std::string TorrentUrlBeside(const std::string& fileUrl);

// Whether a torrent at torrentUrl may describe the file at fileUrl: for an https file only an
// https torrent of the same origin (else a man in the middle could swap the hashes); for an
// http file an http or https torrent.
bool TorrentUrlAllowed(const std::string& fileUrl, const std::string& torrentUrl, std::string* why);

// The torrent's bytes made ready to add for the part file at partPath: exactly one file of
// exactly httpSize bytes, pieces of at most kMaxPieceLength, the name from partPath (never from
// the torrent), no web seed (our own transfers fetch from the server). nullopt with the reason
// otherwise.
std::optional<libtorrent::add_torrent_params> JudgeTorrent(std::string_view bytes,
                                                           uint64_t httpSize,
                                                           const std::string& partPath,
                                                           std::string* refusal);

}  // namespace tev::localengine
