// PeerHooks: where a second source of a file's bytes (peers) meets the transfers. The transfers
// tell it what the server answered and what is on disk; it tells the planner which ranges it
// holds, and hands verified bytes back through Transfers::PeerBytes. Every call is on the loop.
#pragma once

#include <cstdint>
#include <string>

#include "transfer/byte_ranges.h"
#include "transfer/planner.h"

namespace tev::localengine {

struct PeerFileFacts {
    std::string url;       // the URL the answer came from
    std::string links;     // the answer's Link header fields
    std::string partPath;  // where the bytes go (peers' bytes too)
    std::string target;    // the final name
    uint64_t size = 0;
    bool limited = false;  // a limited job shares nothing
};

class PeerHooks {
  public:
    virtual ~PeerHooks() = default;
    // The server answered ranges for the file (called for every such answer).
    virtual void FileAnswered(uint32_t job, uint32_t file, const PeerFileFacts& facts) = 0;
    // The ranges peers hold go into plan.taken; a torrent's piece size and where this player
    // starts go into the plan.
    virtual void AdjustPlan(uint32_t job, uint32_t file, PiecePlan& plan) = 0;
    // At most this many HTTP connections for the file now (0: as many as it grows to). While its
    // torrent is looked for, and while peers share it, a few: what a player has in flight from
    // the server is unknown to the others, so less of it means fewer bytes fetched twice.
    virtual uint32_t HttpConnections(uint32_t job, uint32_t file) = 0;
    // What is on disk now (every tick and checkpoint): whole pieces are offered to peers from fd.
    virtual void OnDisk(uint32_t job, uint32_t file, const ByteRanges& written, int fd) = 0;
    // False while peers still use the part file (pieces being hashed); Transfers::PeersSettled
    // asks again.
    virtual bool ReadyToComplete(uint32_t job, uint32_t file) = 0;
    // Complete under its final name: shared from there for a while.
    virtual void FileComplete(uint32_t job, uint32_t file, const std::string& target) = 0;
    // The file's server cannot be reached and its retries are used up: true when connected peers
    // hold pieces the file lacks (they are handed them), so that the file waits for them.
    virtual bool PeersHoldMissing(uint32_t job, uint32_t file) = 0;
    // The file's data is dropped, or its part file is about to be closed: peers let go of it.
    virtual void FileClosed(uint32_t job, uint32_t file) = 0;
};

}  // namespace tev::localengine
