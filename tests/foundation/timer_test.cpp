#include <gtest/gtest.h>

#include <memory>

#include "foundation/clock.h"
#include "foundation/mutex.h"
#include "foundation/timer.h"

namespace {

class TimerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        cpTestClock::Install(0);
        mutex_ = vmMakeObject<cpCMutex>();
        manager_ = std::make_unique<cpCTimerManager>(mutex_);
    }
    void TearDown() override {
        manager_.reset();
        cpTestClock::Uninstall();
    }
    void TickAt(int64_t epochMs) {
        cpTestClock::Set(epochMs);
        manager_->Tick();
    }
    vmSmartPtr<cpCTimer> StartTimer(uint32_t periodMs, int* fired) {
        vmSmartPtr<cpCTimer> timer = vmMakeObject<cpCTimer>();
        EXPECT_EQ(timer->Start(
                      periodMs, [fired] { ++*fired; }, 7, mutex_),
                  CP_OK);
        return timer;
    }

    vmSmartPtr<cpCMutex> mutex_;
    std::unique_ptr<cpCTimerManager> manager_;
};

}  // namespace

TEST_F(TimerTest, DueFromTheStartTimeAndUpToTenMillisecondsEarly) {
    cpTestClock::Set(12'345);
    int fired = 0;
    vmSmartPtr<cpCTimer> timer = StartTimer(100, &fired);
    EXPECT_EQ(timer->DueTime().seconds, 12u);
    EXPECT_EQ(timer->DueTime().milliseconds, 445);
    TickAt(12'434);
    EXPECT_EQ(fired, 0);
    TickAt(12'435);
    EXPECT_EQ(fired, 1);
    // The next due time counts from the start, not from when it fired: no drift.
    EXPECT_EQ(timer->DueTime().milliseconds, 545);
    timer->Stop();
}

TEST_F(TimerTest, PeriodicTimerDoesNotDriftOverManyTicks) {
    cpTestClock::Set(1'000'050);
    int fired = 0;
    vmSmartPtr<cpCTimer> timer = StartTimer(1000, &fired);
    for (int64_t t = 1'000'150; t <= 1'060'050; t += 100) {
        TickAt(t);
    }
    EXPECT_EQ(fired, 60);
    timer->Stop();
}

TEST(cpCTimerDueTime, CountsFromTheStartInSixtyFourBits) {
    struct Case {
        uint32_t startSeconds;
        uint16_t startMs;
        uint32_t periodMs;
        uint64_t periods;
        uint32_t dueSeconds;
        uint16_t dueMs;
    };
    const Case cases[] = {
        {12, 345, 100, 1, 12, 445},
        {12, 945, 100, 1, 13, 45},
        {1'700'000'000, 0, 1000, 60, 1'700'000'060, 0},
        // 50 days of one-second ticks: 4'320'000'000 ms no longer fits 32 bits.
        {1'700'000'000, 500, 1000, 4'320'000, 1'704'320'000, 500},
        // 50 days of 100 ms ticks.
        {1'700'000'000, 50, 100, 43'200'000, 1'704'320'000, 50},
    };
    for (const Case& c : cases) {
        const cpTimeStamp due =
            cpCTimer::DueAfter({c.startSeconds, c.startMs}, c.periodMs, c.periods);
        EXPECT_EQ(due.seconds, c.dueSeconds) << c.periods;
        EXPECT_EQ(due.milliseconds, c.dueMs) << c.periods;
    }
}

TEST_F(TimerTest, ClockSetBackRestartsEveryPeriodFromTheJump) {
    const int64_t start = 1'700'000'000'000;
    cpTestClock::Set(start);
    int fired = 0;
    vmSmartPtr<cpCTimer> timer = StartTimer(1000, &fired);
    TickAt(start + 500);
    const int64_t back = start + 600 - 10 * 60 * 1000;  // the clock goes back 10 minutes
    TickAt(back);
    EXPECT_EQ(fired, 0);
    TickAt(back + 900);
    EXPECT_EQ(fired, 0);
    TickAt(back + 1000);
    EXPECT_EQ(fired, 1) << "fires one period after the jump, not 10 minutes later";
    timer->Stop();
}

TEST_F(TimerTest, ClockJumpForwardDoesNotFireABurst) {
    cpTestClock::Set(5'000);
    int fired = 0;
    vmSmartPtr<cpCTimer> timer = StartTimer(1000, &fired);
    TickAt(5'100);
    TickAt(5'100 + 3'600'000);  // an hour ahead
    EXPECT_EQ(fired, 0);
    TickAt(5'100 + 3'601'000);
    EXPECT_EQ(fired, 1);
    timer->Stop();
}

TEST_F(TimerTest, StoppedTimerNeverFires) {
    cpTestClock::Set(0);
    int fired = 0;
    vmSmartPtr<cpCTimer> timer = StartTimer(100, &fired);
    timer->Stop();
    EXPECT_FALSE(timer->IsRunning());
    for (int64_t t = 100; t <= 2000; t += 100) {
        TickAt(t);
    }
    EXPECT_EQ(fired, 0);
}

TEST_F(TimerTest, TimerStoppedByAnEarlierCallbackOfTheSameTickIsSkipped) {
    cpTestClock::Set(0);
    int firedB = 0;
    vmSmartPtr<cpCTimer> b;
    vmSmartPtr<cpCTimer> a = vmMakeObject<cpCTimer>();
    a->Start(
        100,
        [&] {
            b->Stop();
            b.Reset();  // the tick's own reference keeps it alive until the tick ends
        },
        8, mutex_);
    b = StartTimer(100, &firedB);
    TickAt(100);
    EXPECT_EQ(firedB, 0);
    EXPECT_FALSE(b);
    a->Stop();
}

TEST_F(TimerTest, ReleasedTimerLeavesTheManager) {
    cpTestClock::Set(0);
    int fired = 0;
    { vmSmartPtr<cpCTimer> forgotten = StartTimer(100, &fired); }
    TickAt(100);  // would touch freed memory if the entry stayed
    EXPECT_EQ(fired, 0);
}

TEST(cpCTimerWithoutManager, StartFails) {
    vmSmartPtr<cpCTimer> timer = vmMakeObject<cpCTimer>();
    EXPECT_EQ(timer->Start(
                  100, [] {}, 1, nullptr),
              CP_FAIL);
}
