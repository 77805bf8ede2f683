#include "foundation/timer.h"

#include <atomic>
#include <cstdlib>
#include <utility>

#include "foundation/platform/message_loop.h"

namespace {
std::atomic<cpCTimerManager*> gManager{nullptr};
}

cpCTimer::~cpCTimer() {
    // A timer released while still scheduled must not leave a dangling entry behind.
    if (registered_) {
        Stop();
    }
}

vmResult cpCTimer::Start(uint32_t periodMs, std::function<void()> callback, uint32_t timerId,
                         vmSmartPtr<cpCMutex> mutex) {
    cpCTimerManager* manager = cpCTimerManager::Instance();
    if (manager == nullptr) {
        return CP_FAIL;
    }
    if (registered_) {
        manager->Remove(this);
        registered_ = false;
    }
    periodMs_ = periodMs;
    callback_ = std::move(callback);
    mutex_ = std::move(mutex);
    RescheduleFromNow();
    manager->Add(this, timerId);
    registered_ = true;
    return CP_OK;
}

vmResult cpCTimer::Stop() {
    if (registered_) {
        if (cpCTimerManager* manager = cpCTimerManager::Instance()) {
            manager->Remove(this);
        }
        registered_ = false;
    }
    due_ = {};
    callback_ = nullptr;
    return CP_OK;
}

vmResult cpCTimer::Restart() {
    RescheduleFromNow();
    return CP_OK;
}

void cpCTimer::RescheduleFromNow() {
    start_ = cpGetTime();
    periodsElapsed_ = 1;
    ComputeDue();
}

void cpCTimer::RescheduleOnward() {
    ++periodsElapsed_;
    ComputeDue();
}

void cpCTimer::ComputeDue() {
    due_ = DueAfter(start_, periodMs_, periodsElapsed_);
}

cpTimeStamp cpCTimer::DueAfter(const cpTimeStamp& start, uint32_t periodMs, uint64_t periods) {
    const uint64_t totalMs = start.milliseconds + uint64_t{periodMs} * periods;
    cpTimeStamp due;
    // The stamp's seconds are 32 bits, as the clock's are: they wrap with it.
    due.seconds = static_cast<uint32_t>(start.seconds + totalMs / 1000);
    due.milliseconds = static_cast<uint16_t>(totalMs % 1000);
    return due;
}

bool cpCTimer::IsDue(const cpTimeStamp& now) const {
    if (due_.seconds != now.seconds) {
        return due_.seconds < now.seconds;
    }
    // Fires up to 10 ms early, so a 100 ms tick never misses a due time by a whole tick.
    return static_cast<uint16_t>(now.milliseconds + 10) >= due_.milliseconds;
}

void cpCTimer::Fire() {
    if (!callback_) {
        return;
    }
    RescheduleOnward();
    // The callback may stop this timer, which clears callback_ while it runs.
    std::function<void()> callback = callback_;
    callback();
}

cpCTimerManager::cpCTimerManager(vmSmartPtr<cpCMutex> mutex) : mutex_(std::move(mutex)) {
    gManager.store(this, std::memory_order_release);
}

cpCTimerManager::~cpCTimerManager() {
    {
        cpCLock lock(mutex_.Get());
        StopPlatformTimer();
        alive_ = false;
        while (!entries_.empty()) {
            entries_.back()->timer->registered_ = false;
            entries_.pop_back();
        }
    }
    gManager.store(nullptr, std::memory_order_release);
}

cpCTimerManager* cpCTimerManager::Instance() {
    return gManager.load(std::memory_order_acquire);
}

vmResult cpCTimerManager::StartPlatformTimer() {
    cpCMessageLoop* loop = cpCMessageLoop::Current();
    if (loop == nullptr || platformTimer_ != 0) {
        return CP_FAIL;
    }
    platformTimer_ = loop->SetTimer(100, [this] {
        cpCLock lock(mutex_.Get());
        if (alive_) {
            Tick();
        }
    });
    return platformTimer_ != 0 ? CP_OK : CP_FAIL;
}

void cpCTimerManager::StopPlatformTimer() {
    if (platformTimer_ != 0) {
        cpKillTimer(platformTimer_);
        platformTimer_ = 0;
    }
}

void cpCTimerManager::Add(cpCTimer* timer, uint32_t timerId) {
    cpCLock lock(mutex_.Get());
    entries_.push_back(std::make_shared<Entry>(Entry{timer, timerId}));
}

void cpCTimerManager::Remove(cpCTimer* timer) {
    cpCLock lock(mutex_.Get());
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if ((*it)->timer == timer) {
            entries_.erase(it);
            return;
        }
    }
}

void cpCTimerManager::Tick() {
    ++tickCount_;
    if (entries_.empty()) {
        return;
    }
    std::vector<std::pair<vmSmartPtr<cpCTimer>, std::shared_ptr<Entry>>> due;
    cpTimeStamp now;
    {
        cpCLock lock(mutex_.Get());
        if (!alive_) {
            return;
        }
        now = cpGetTime();
        bool jumped = false;
        if (hasPreviousTick_) {
            const auto diff = static_cast<int32_t>((now.seconds - previousTick_.seconds) * 1000u +
                                                   (now.milliseconds - previousTick_.milliseconds));
            jumped = std::abs(static_cast<int64_t>(diff)) > 2999;
        }
        hasPreviousTick_ = true;
        previousTick_ = now;
        due.reserve(entries_.size());
        for (const auto& entry : entries_) {
            if (jumped) {
                entry->timer->RescheduleFromNow();
            }
            due.emplace_back(vmSmartPtr<cpCTimer>(entry->timer), entry);
        }
    }
    for (auto& [timer, entry] : due) {
        if (timer->callback_ && timer->IsDue(now)) {
            timer->Fire();
        }
    }
}

void vmRegisterTimerClass() {
    vmRegisterClass(CLSID_cpCTimer, &vmNewObject<cpCTimer>);
}
