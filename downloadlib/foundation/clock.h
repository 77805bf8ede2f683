// The library's clocks: wall-clock time (timers must notice the clock being set), read through
// a seam that tests move instead of sleeping.
#pragma once

#include <cstdint>

struct cpTimeStamp {
    uint32_t seconds = 0;  // seconds since the epoch, truncated to 32 bits
    uint16_t milliseconds = 0;
};

cpTimeStamp cpGetTime();
uint32_t cpGetSeconds();
// Milliseconds from stamp to now (negative when the clock went back).
int64_t cpElapsedMs(const cpTimeStamp& stamp);

// The clock seam. While a test clock is installed every reading comes from it.
namespace cpTestClock {
void Install(int64_t epochMs);
void Uninstall();
bool Installed();
void Set(int64_t epochMs);
void Advance(int64_t ms);
int64_t NowMs();
}  // namespace cpTestClock
