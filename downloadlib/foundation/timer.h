// Library timers. One 100 ms platform tick drives every cpCTimer through the timer manager, on
// the worker thread inside the library mutex. Due times are counted from the start time so that
// periodic timers do not drift, and every timer restarts its period when the clock jumps.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "foundation/clock.h"
#include "foundation/mutex.h"
#include "foundation/object.h"

// Timer ids of the library's own timers.
constexpr uint32_t kTimerIdCollector = 0x1000001;
constexpr uint32_t kTimerIdQoSTick = 0x1000002;
constexpr uint32_t kTimerIdConnectTimeout = 0x1000003;

class cpCTimer : public vmTObject<vmIUnknown> {
  public:
    ~cpCTimer() override;

    // Schedules the timer every periodMs from now. The mutex is kept, never locked: callbacks
    // already run inside the library mutex. Fails when no timer manager exists.
    vmResult Start(uint32_t periodMs, std::function<void()> callback, uint32_t timerId,
                   vmSmartPtr<cpCMutex> mutex);
    vmResult Stop();
    vmResult Restart();

    bool IsRunning() const { return static_cast<bool>(callback_); }
    cpTimeStamp DueTime() const { return due_; }

    // The due time periods * periodMs after start, in 64 bits: a 32-bit sum of milliseconds
    // wraps after about 49.7 days and would make the timer due on every tick.
    static cpTimeStamp DueAfter(const cpTimeStamp& start, uint32_t periodMs, uint64_t periods);

  private:
    friend class cpCTimerManager;

    void RescheduleFromNow();
    void RescheduleOnward();
    void ComputeDue();
    bool IsDue(const cpTimeStamp& now) const;
    void Fire();

    std::function<void()> callback_;
    cpTimeStamp due_;
    cpTimeStamp start_;
    uint32_t periodMs_ = 0;
    vmSmartPtr<cpCMutex> mutex_;
    uint64_t periodsElapsed_ = 0;
    bool registered_ = false;
};

class cpCTimerManager {
  public:
    // Becomes the process-wide manager. The platform tick is started separately (on the loop of
    // the thread that owns the library), so tests can drive Tick() themselves.
    explicit cpCTimerManager(vmSmartPtr<cpCMutex> mutex);
    ~cpCTimerManager();
    cpCTimerManager(const cpCTimerManager&) = delete;
    cpCTimerManager& operator=(const cpCTimerManager&) = delete;

    static cpCTimerManager* Instance();

    // Starts the 100 ms platform timer on the calling thread's message loop.
    vmResult StartPlatformTimer();
    void Add(cpCTimer* timer, uint32_t timerId);
    void Remove(cpCTimer* timer);
    // One 100 ms tick: fires every due timer.
    void Tick();

    uint32_t TickCount() const { return tickCount_; }
    cpCMutex* Mutex() const { return mutex_.Get(); }

  private:
    struct Entry {
        cpCTimer* timer;  // no reference of its own: owners stop their timers before releasing
        uint32_t timerId;
    };

    void StopPlatformTimer();

    std::vector<std::shared_ptr<Entry>> entries_;
    vmSmartPtr<cpCMutex> mutex_;
    uint32_t platformTimer_ = 0;  // the loop's timer id, 0 when none
    bool alive_ = true;           // the manager's own record, dropped at destruction
    bool hasPreviousTick_ = false;
    cpTimeStamp previousTick_;
    uint32_t tickCount_ = 0;
};

void vmRegisterTimerClass();
