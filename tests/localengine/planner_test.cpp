// The planner's decisions: which range a file's next request asks for, how its connections grow
// and how long a failed attempt waits.
#include "transfer/planner.h"

#include <gtest/gtest.h>

#include <vector>

using namespace tev::localengine;

namespace {

constexpr uint64_t kMiB = 1 << 20;

ByteRanges Of(std::initializer_list<ByteRange> ranges) {
    ByteRanges set;
    for (const ByteRange& r : ranges) {
        set.Add(r.begin, r.end);
    }
    return set;
}

}  // namespace

TEST(PlannerTest, ChoosesEachByteOnceSizedToTheConnection) {
    const PieceRules rules{4 * kMiB, 1 * kMiB, 64 * kMiB, 2};
    struct Case {
        const char* what;
        PiecePlan plan;
        uint64_t speed;
        std::optional<ByteRange> expected;
    };
    PiecePlan unknown;
    PiecePlan unknownWithPrefix;
    unknownWithPrefix.onDisk = Of({{0, 100}});
    PiecePlan probe;
    probe.probeSize = true;
    PiecePlan firstOut;
    firstOut.anyRequest = true;
    PiecePlan whole{100 * kMiB, Of({{0, 10}}), Of({{0, 10}})};
    whole.wholeBody = true;
    PiecePlan notYetRanges{100 * kMiB, Of({{2 * kMiB, 3 * kMiB}}), Of({{2 * kMiB, 3 * kMiB}})};
    PiecePlan ranged{100 * kMiB, {}, Of({{0, 10 * kMiB}})};
    ranged.answersRanges = true;
    PiecePlan shared = ranged;
    shared.sharers = 16;
    PiecePlan tail{100 * kMiB, {}, Of({{0, 100 * kMiB - 5 * kMiB / 4}})};
    tail.answersRanges = true;
    PiecePlan complete{100, Of({{0, 100}}), Of({{0, 100}})};
    complete.answersRanges = true;
    const std::vector<Case> cases = {
        {"size unknown: a first piece", unknown, 0, ByteRange{0, 4 * kMiB}},
        {"size unknown, bytes kept: after them", unknownWithPrefix, 0,
         ByteRange{100, 100 + 4 * kMiB}},
        {"likely complete: one byte", probe, 0, ByteRange{0, 1}},
        {"first request still out", firstOut, 0, std::nullopt},
        {"whole body: the rest", whole, 0, ByteRange{10, 100 * kMiB}},
        {"ranges unproven: up to kept bytes", notYetRanges, 0, ByteRange{0, 2 * kMiB}},
        {"speed sets the piece", ranged, 3 * kMiB, ByteRange{10 * kMiB, 16 * kMiB}},
        {"slow connection: the smallest piece", ranged, 1000, ByteRange{10 * kMiB, 11 * kMiB}},
        {"fast connection: capped", ranged, 1000 * kMiB, ByteRange{10 * kMiB, 74 * kMiB}},
        {"shared among many", shared, 1000 * kMiB,
         ByteRange{10 * kMiB, 10 * kMiB + 90 * kMiB / 16}},
        {"a small tail goes with the last piece", tail, 1 * kMiB / 2,
         ByteRange{100 * kMiB - 5 * kMiB / 4, 100 * kMiB}},
        {"everything on disk", complete, 0, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<ByteRange> piece = ChoosePiece(c.plan, c.speed, rules);
        ASSERT_EQ(piece.has_value(), c.expected.has_value()) << c.what;
        if (piece) {
            EXPECT_EQ(piece->begin, c.expected->begin) << c.what;
            EXPECT_EQ(piece->end, c.expected->end) << c.what;
        }
    }
}

TEST(PlannerTest, GrowsConnectionsWhileTheyPayOff) {
    const uint64_t left = 100 * kMiB;
    Growth growth;
    // A server that caps each connection: the first step doubles, linear gains quadruple.
    ASSERT_TRUE(JudgeGrowth(growth, 10 * kMiB, left, 16, kMiB));
    EXPECT_EQ(growth.wanted, 2u);
    ASSERT_TRUE(JudgeGrowth(growth, 20 * kMiB, left, 16, kMiB));
    EXPECT_EQ(growth.wanted, 8u);
    ASSERT_TRUE(JudgeGrowth(growth, 70 * kMiB, left, 16, kMiB));
    EXPECT_EQ(growth.wanted, 16u);
    EXPECT_FALSE(JudgeGrowth(growth, 140 * kMiB, left, 16, kMiB));
    EXPECT_TRUE(growth.done);

    Growth nearEnd;
    EXPECT_FALSE(JudgeGrowth(nearEnd, 10 * kMiB, 3 * kMiB, 16, kMiB));
    EXPECT_FALSE(nearEnd.done);  // may grow again should more be left (a restart)
}

// A growth that gains little over one look is not the end of growing: a capped server's new
// connections may still be starting, or it sends in bursts. It is judged again over a longer
// time; a file that still gains little holds its connections and probes for more later, each
// time after twice as long, while much of it is left.
TEST(PlannerTest, ASmallGainIsJudgedAgainAndMoreConnectionsAreProbedForLater) {
    const uint64_t left = 1024 * kMiB;
    const int64_t interval = 300;
    const auto grown = [&](uint64_t speedBefore, uint32_t wanted) {
        Growth growth;
        growth.wanted = wanted;
        growth.speedBefore = speedBefore;
        return growth;
    };
    {
        // Two connections measured as hardly faster than one over the first interval; the
        // gain shows over a longer time: the file grows on.
        Growth growth = grown(16 * kMiB, 2);
        EXPECT_FALSE(JudgeGrowth(growth, 17 * kMiB, left, 16, kMiB, interval, interval));
        EXPECT_FALSE(growth.done);
        EXPECT_FALSE(JudgeGrowth(growth, 18 * kMiB, left, 16, kMiB, 2 * interval, interval));
        EXPECT_TRUE(JudgeGrowth(growth, 31 * kMiB, left, 16, kMiB, 3 * interval, interval));
        EXPECT_EQ(growth.wanted, 8u);  // nearly linear after all
        EXPECT_EQ(growth.holdMs, 0);
    }
    {
        // A limit (the line's): the file holds, then probes with twice as many connections
        // after 8 intervals, then after 16.
        Growth growth = grown(100 * kMiB, 2);
        EXPECT_FALSE(JudgeGrowth(growth, 110 * kMiB, left, 16, kMiB, 3 * interval, interval));
        EXPECT_FALSE(growth.done);
        EXPECT_FALSE(JudgeGrowth(growth, 110 * kMiB, left, 16, kMiB, 7 * interval, interval));
        EXPECT_TRUE(JudgeGrowth(growth, 110 * kMiB, left, 16, kMiB, 8 * interval, interval));
        EXPECT_EQ(growth.wanted, 4u);
        EXPECT_FALSE(JudgeGrowth(growth, 112 * kMiB, left, 16, kMiB, 15 * interval, interval));
        EXPECT_TRUE(JudgeGrowth(growth, 112 * kMiB, left, 16, kMiB, 16 * interval, interval));
        EXPECT_EQ(growth.wanted, 8u);
        // The probe paid off: it grows on at once.
        EXPECT_TRUE(JudgeGrowth(growth, 200 * kMiB, left, 16, kMiB, interval, interval));
        EXPECT_EQ(growth.wanted, 16u);
        EXPECT_FALSE(JudgeGrowth(growth, 200 * kMiB, left, 16, kMiB, interval, interval));
        EXPECT_TRUE(growth.done);  // as many as a file may have
    }
    {
        // Near the end a probe would not pay for its connections: the file keeps what it has.
        Growth growth = grown(100 * kMiB, 8);
        EXPECT_FALSE(
            JudgeGrowth(growth, 100 * kMiB, 32 * kMiB, 16, kMiB, 100 * interval, interval));
        EXPECT_EQ(growth.wanted, 8u);
        EXPECT_FALSE(growth.done);
    }
}

TEST(PlannerTest, RetryWaitDoublesUpToItsCap) {
    EXPECT_EQ(RetryDelayMs(1, 500, 10000), 500);
    EXPECT_EQ(RetryDelayMs(2, 500, 10000), 1000);
    EXPECT_EQ(RetryDelayMs(5, 500, 10000), 8000);
    EXPECT_EQ(RetryDelayMs(6, 500, 10000), 10000);
    EXPECT_EQ(RetryDelayMs(100, 500, 10000), 10000);
}

TEST(PlannerTest, KeepsOffPeersPiecesAndCutsAtPieceBounds) {
    const PieceRules rules{4 * kMiB, 1 * kMiB, 64 * kMiB, 2};
    const uint64_t piece = 256 * 1024;
    struct Case {
        const char* what;
        ByteRanges taken;  // on disk, HTTP's requests and the pieces handed to peers
        uint64_t startAt;
        uint64_t speed;
        ByteRange expected;
        uint64_t maxRange = 0;
    };
    const std::vector<Case> cases = {
        {"an end inside a piece goes on to its bound", {}, 0, 1 * kMiB + kMiB / 2, {0, 3 * kMiB}},
        {"peers hold pieces 4 and 5: the range stops before them",
         Of({{4 * piece, 6 * piece}}),
         0,
         3 * kMiB,
         {0, 4 * piece}},
        {"after what peers and HTTP hold", Of({{0, 6 * piece}}), 0, 1000, {6 * piece, 10 * piece}},
        {"a player starting elsewhere", {}, 40 * kMiB, 1000, {40 * kMiB, 41 * kMiB}},
        {"from where it starts, past what is taken",
         Of({{40 * kMiB, 50 * kMiB}}),
         40 * kMiB,
         1000,
         {50 * kMiB, 51 * kMiB}},
        {"nothing free after the start: back to the beginning",
         Of({{40 * kMiB, 100 * kMiB}}),
         40 * kMiB,
         1000,
         {0, 1 * kMiB}},
        {"the file's end is no piece bound but ends the range",
         Of({{0, 100 * kMiB - 300 * 1024}}),
         0,
         1000,
         {100 * kMiB - 300 * 1024, 100 * kMiB}},
        {"among peers a fast connection still asks for a short range",
         {},
         0,
         3 * kMiB,
         {0, 1 * kMiB},
         1 * kMiB},
        {"among peers a stretch a little longer is not taken whole",
         Of({{1 * kMiB + piece, 100 * kMiB}}),
         0,
         1000,
         {0, 1 * kMiB},
         1 * kMiB},
    };
    for (const Case& c : cases) {
        PiecePlan plan{100 * kMiB, {}, c.taken};
        plan.answersRanges = true;
        plan.pieceSize = piece;
        plan.startAt = c.startAt;
        plan.maxRange = c.maxRange;
        const std::optional<ByteRange> chosen = ChoosePiece(plan, c.speed, rules);
        ASSERT_TRUE(chosen) << c.what;
        EXPECT_EQ(chosen->begin, c.expected.begin) << c.what;
        EXPECT_EQ(chosen->end, c.expected.end) << c.what;
        // Never a byte peers or another request hold.
        for (const ByteRange& held : c.taken.Ranges()) {
            EXPECT_TRUE(held.end <= chosen->begin || held.begin >= chosen->end) << c.what;
        }
    }
}
