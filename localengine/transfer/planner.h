// The planner: which bytes of a file to ask for next, how many connections a file is worth, and
// when a failed attempt is tried again. Pure functions of the file's state, so that every source
// (the HTTP transfers today, a peer source later) takes its pieces from the same rules: a source
// reports the ranges it holds in `taken`, and no byte is asked for twice, whichever source asks.
#pragma once

#include <cstdint>
#include <optional>

#include "transfer/byte_ranges.h"

namespace tev::localengine {

struct PieceRules {
    uint64_t firstPiece = 4 << 20;  // before the size or the connection's speed is known
    uint64_t minPiece = 1 << 20;
    uint64_t maxPiece = 64 << 20;
    int pieceSeconds = 2;  // a piece lasts about this long at its connection's speed
};

// What the planner needs to know of a file to hand out its next piece.
struct PiecePlan {
    std::optional<uint64_t> size;  // nullopt while no answer named it
    ByteRanges onDisk;
    ByteRanges taken;  // on disk or held by a running request of any source
    bool anyRequest = false;
    bool answersRanges = false;  // a ranged answer came back for this version of the file
    bool wholeBody = false;      // the server sends the whole file: one request from 0
    bool probeSize = false;      // a file that may be complete: one byte names size and validator
    bool oneRequest = false;     // no strong validator: the whole file in one request from 0
    uint32_t sharers = 1;        // the connections what is left is shared among
    // A file peers share too: ranges begin and end on its pieces' bounds (but at the file's
    // end), and the first one free at or after startAt is taken, so that players who start
    // at different places hold different pieces to trade.
    uint64_t pieceSize = 0;  // 0: no torrent
    uint64_t startAt = 0;
    // While peers are connected, a range is at most this long (0: no bound): what a request
    // holds is not yet announced to them, so a short one keeps players off each other's bytes.
    uint64_t maxRange = 0;
};

// The next range to ask for at the given speed (bytes per second, 0 when unknown), or nullopt
// when every byte is on disk or asked for (or the file's first request is still out).
std::optional<ByteRange> ChoosePiece(const PiecePlan& plan, uint64_t speed,
                                     const PieceRules& rules);

// Connection growth of one file: more connections while they make it clearly faster.
struct Growth {
    uint32_t wanted = 1;
    uint64_t speedBefore = 0;  // the file's speed before the last growth; 0 before the first
    bool done = false;         // growth stopped for good: as many connections as a file may have
    // Holding at a limit (the last growth gained little): the next probe comes this long after
    // the last growth; doubles with every probe that gains little too. 0 while not holding.
    int64_t holdMs = 0;
};

// Judges the last growth by the speed since it (bytes per second, over sinceMs) and decides the
// next step. left: the bytes not yet on disk; intervalMs: how long a growth runs before it is
// first judged. A growth that looks like a small gain over one interval is judged again over a
// longer time (connections still starting, a server that sends in bursts); one that still gains
// little holds the file at its connections, and more are probed for later while much is left.
// Returns true when the file grows (call it a new growth).
bool JudgeGrowth(Growth& growth, uint64_t speedSince, uint64_t left, uint32_t maxConnections,
                 uint64_t minPiece, int64_t sinceMs = 0, int64_t intervalMs = 0);

// The wait before the next attempt after `failures` failed ones in a row (1 or more): doubles
// from first, up to max.
int64_t RetryDelayMs(uint32_t failures, int firstMs, int maxMs);

}  // namespace tev::localengine
