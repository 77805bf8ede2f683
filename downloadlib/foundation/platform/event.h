// An auto-reset event: Set wakes one waiter (or the next one to wait) and resets itself.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class cpCEvent {
  public:
    void Set() {
        // Notified under the lock: a waiter that wakes may destroy the event at once.
        std::lock_guard lock(mutex_);
        signalled_ = true;
        changed_.notify_one();
    }
    // True when the event was set within timeoutMs.
    bool Wait(uint32_t timeoutMs) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [this] { return signalled_; })) {
            return false;
        }
        signalled_ = false;
        return true;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_ = false;
};
