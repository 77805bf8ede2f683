// TokenBucket: one rate for all of a job's connections in limited mode. Transfers take what they
// received; while the bucket is in debt they pause, and a timer resumes them when it refills.
#pragma once

#include <algorithm>
#include <cstdint>

namespace tev::localengine {

class TokenBucket {
  public:
    // burst: the most the bucket holds, so a pause never turns into a burst above the rate.
    TokenBucket(uint64_t bytesPerSecond, uint64_t burst, int64_t nowMs)
        : rate_(static_cast<int64_t>(bytesPerSecond)),
          burstMilli_(static_cast<int64_t>(burst) * 1000),
          lastMs_(nowMs) {}

    void Take(uint64_t bytes, int64_t nowMs) {
        Refill(nowMs);
        milli_ -= static_cast<int64_t>(bytes) * 1000;
    }
    bool InDebt(int64_t nowMs) {
        Refill(nowMs);
        return milli_ < 0;
    }
    // Milliseconds until the debt is paid (0 when there is none).
    int64_t MsUntilClear(int64_t nowMs) {
        Refill(nowMs);
        if (milli_ >= 0 || rate_ == 0) {
            return 0;
        }
        return (-milli_ + rate_ - 1) / rate_;
    }

  private:
    // Kept in thousandths of a byte: a millisecond at the rate earns exactly rate_ of them.
    void Refill(int64_t nowMs) {
        if (nowMs > lastMs_) {
            milli_ = std::min(milli_ + (nowMs - lastMs_) * rate_, burstMilli_);
            lastMs_ = nowMs;
        }
    }

    int64_t rate_;
    int64_t burstMilli_;
    int64_t milli_ = 0;
    int64_t lastMs_;
};

}  // namespace tev::localengine
