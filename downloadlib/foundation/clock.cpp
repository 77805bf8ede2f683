#include "foundation/clock.h"

#include <atomic>
#include <ctime>

namespace {

std::atomic<bool> gTestClockInstalled{false};
std::atomic<int64_t> gTestClockMs{0};

int64_t NowEpochMs() {
    if (gTestClockInstalled.load(std::memory_order_acquire)) {
        return gTestClockMs.load(std::memory_order_acquire);
    }
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

cpTimeStamp cpGetTime() {
    const int64_t ms = NowEpochMs();
    return {static_cast<uint32_t>(ms / 1000), static_cast<uint16_t>(ms % 1000)};
}

uint32_t cpGetSeconds() {
    return static_cast<uint32_t>(NowEpochMs() / 1000);
}

int64_t cpElapsedMs(const cpTimeStamp& stamp) {
    const cpTimeStamp now = cpGetTime();
    // 32-bit seconds wrap in 2106; the difference stays right across the wrap.
    const auto seconds = static_cast<int32_t>(now.seconds - stamp.seconds);
    return static_cast<int64_t>(seconds) * 1000 +
           (static_cast<int64_t>(now.milliseconds) - stamp.milliseconds);
}

namespace cpTestClock {

void Install(int64_t epochMs) {
    gTestClockMs.store(epochMs, std::memory_order_release);
    gTestClockInstalled.store(true, std::memory_order_release);
}

void Uninstall() {
    gTestClockInstalled.store(false, std::memory_order_release);
}

bool Installed() {
    return gTestClockInstalled.load(std::memory_order_acquire);
}

void Set(int64_t epochMs) {
    gTestClockMs.store(epochMs, std::memory_order_release);
}

void Advance(int64_t ms) {
    gTestClockMs.fetch_add(ms, std::memory_order_acq_rel);
}

int64_t NowMs() {
    return NowEpochMs();
}

}  // namespace cpTestClock
