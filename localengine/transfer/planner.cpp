#include "transfer/planner.h"

#include <algorithm>

namespace tev::localengine {

namespace {

constexpr int64_t kGrowthSettleIntervals = 3;  // a small gain is judged over this long at least
constexpr int64_t kGrowthHoldIntervals = 8;    // the first probe after a hold
constexpr int64_t kGrowthMaxHoldIntervals = 64;

}  // namespace

std::optional<ByteRange> ChoosePiece(const PiecePlan& plan, uint64_t speed,
                                     const PieceRules& rules) {
    if (plan.probeSize) {
        if (plan.anyRequest) {
            return std::nullopt;
        }
        return ByteRange{0, 1};
    }
    if (plan.oneRequest) {
        // The caller discards what is on disk first: a new request may bring another version.
        if (plan.anyRequest) {
            return std::nullopt;
        }
        return ByteRange{0, plan.size ? *plan.size : UINT64_MAX};  // UINT64_MAX: to the end
    }
    if (!plan.size) {
        // The first request learns the size (and whether ranges work) from its answer.
        if (plan.anyRequest) {
            return std::nullopt;
        }
        const uint64_t begin = plan.onDisk.ContiguousPrefix();
        return ByteRange{begin, begin + rules.firstPiece};
    }
    const std::vector<ByteRange> missing = plan.taken.Missing(*plan.size);
    if (missing.empty()) {
        return std::nullopt;
    }
    const ByteRange& first = missing.front();
    if (plan.wholeBody) {
        return ByteRange{first.begin, *plan.size};
    }
    if (!plan.answersRanges) {
        // Ranges not yet seen to work: a first piece, the rest once they do. It ends where the
        // bytes kept from an earlier run begin again.
        return ByteRange{first.begin, std::min(first.end, first.begin + rules.firstPiece)};
    }
    // Where peers share the file, the first free range at or after startAt (else from the start).
    ByteRange from = first;
    if (plan.startAt > 0) {
        for (const ByteRange& r : missing) {
            if (r.end > plan.startAt) {
                from = {std::max(r.begin, plan.startAt), r.end};
                break;
            }
        }
    }
    uint64_t unassigned = 0;
    for (const ByteRange& r : missing) {
        unassigned += r.Length();
    }
    uint64_t piece =
        speed > 0 ? speed * static_cast<uint64_t>(rules.pieceSeconds) : rules.firstPiece;
    piece = std::clamp(piece, rules.minPiece, rules.maxPiece);
    // Near the end, share what is left among the connections so that they finish together.
    const uint64_t share = unassigned / std::max<uint32_t>(plan.sharers, 1);
    piece = std::min(piece, std::max(share, rules.minPiece));
    if (plan.maxRange > 0) {
        piece = std::min(piece, plan.maxRange);
    }
    const uint64_t slack = plan.maxRange > 0 ? 0 : rules.minPiece / 2;
    uint64_t end = from.Length() <= piece + slack ? from.end : from.begin + piece;
    if (plan.pieceSize > 0 && end < from.end) {
        // Up to the end of the piece it lands in: no piece is left shared between sources.
        end = std::min(from.end, (end + plan.pieceSize - 1) / plan.pieceSize * plan.pieceSize);
    }
    return ByteRange{from.begin, end};
}

bool JudgeGrowth(Growth& growth, uint64_t speedSince, uint64_t left, uint32_t maxConnections,
                 uint64_t minPiece, int64_t sinceMs, int64_t intervalMs) {
    if (growth.done || left < 4 * minPiece) {
        return false;  // the piece left is too small to share
    }
    if (growth.wanted >= maxConnections) {
        growth.done = true;
        return false;
    }
    if (growth.speedBefore > 0 && speedSince * 4 < growth.speedBefore * 5) {
        // The last growth gained less than a quarter, so far. One interval is a short look: the
        // speed since the growth is judged again, over a longer time, before the file holds.
        if (sinceMs < kGrowthSettleIntervals * intervalMs) {
            return false;
        }
        // At a limit for now (the line's, the server's): the file keeps its connections and
        // probes for more later, each time after twice as long, while much is left.
        if (growth.holdMs == 0) {
            growth.holdMs = kGrowthHoldIntervals * intervalMs;
            if (sinceMs < growth.holdMs) {
                return false;
            }
        }
        const uint32_t probe = std::min(growth.wanted * 2, maxConnections);
        if (sinceMs < growth.holdMs || left < 4 * minPiece * probe) {
            return false;
        }
        growth.holdMs = std::min(growth.holdMs * 2, kGrowthMaxHoldIntervals * intervalMs);
        growth.speedBefore = speedSince;
        growth.wanted = probe;
        return true;
    }
    // Connections that each added at least half their share (a server that caps each
    // connection) make the next step four times as many, else twice.
    const bool nearlyLinear = growth.speedBefore > 0 && speedSince * 2 >= growth.speedBefore * 3;
    growth.speedBefore = speedSince;
    growth.holdMs = 0;
    growth.wanted = std::min(growth.wanted * (nearlyLinear ? 4 : 2), maxConnections);
    return true;
}

int64_t RetryDelayMs(uint32_t failures, int firstMs, int maxMs) {
    const uint32_t doublings = std::min<uint32_t>(failures == 0 ? 0 : failures - 1, 16);
    return std::min<int64_t>(static_cast<int64_t>(firstMs) << doublings, maxMs);
}

}  // namespace tev::localengine
