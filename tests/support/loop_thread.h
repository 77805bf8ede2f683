// A worker loop on a thread of its own, as the library runs one: a message loop, the library
// mutex and (optionally) the network runtime. Tests run code on it and move its clock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "foundation/mutex.h"
#include "foundation/network_runtime.h"

class LoopThread {
  public:
    struct Options {
        bool runtime = true;    // start the network runtime on the loop
        bool testClock = true;  // install the test clock (timers move only when stepped)
    };

    LoopThread() : LoopThread(Options{}) {}
    explicit LoopThread(Options options);
    ~LoopThread();
    LoopThread(const LoopThread&) = delete;
    LoopThread& operator=(const LoopThread&) = delete;

    // Runs fn on the loop thread, inside the library mutex, and waits for it.
    void Run(const std::function<void()>& fn);
    template <class F>
    auto Call(F&& fn) -> decltype(fn()) {
        if constexpr (std::is_void_v<decltype(fn())>) {
            Run(fn);
        } else {
            decltype(fn()) result{};
            Run([&] { result = fn(); });
            return result;
        }
    }

    // Advances the test clock by ms in 100 ms steps, running the timer manager's tick on the
    // loop after each step, as the platform tick would.
    void StepClock(int64_t ms);
    // Polls pred on the loop (inside the mutex) until it holds or timeoutMs of real time pass.
    bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 5000);

    cpCMutex* Mutex() const { return mutex_.Get(); }
    std::thread::id ThreadId() const { return threadId_; }

  private:
    void Body();

    Options options_;
    vmSmartPtr<cpCMutex> mutex_;
    std::unique_ptr<CZpn> runtime_;
    std::shared_ptr<class cpCMessageLoop> loop_;
    uint32_t window_ = 0;
    std::thread::id threadId_;
    std::thread thread_;
};
