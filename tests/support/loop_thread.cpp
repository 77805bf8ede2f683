#include "support/loop_thread.h"

#include <chrono>
#include <future>

#include "foundation/clock.h"
#include "foundation/platform/event.h"
#include "foundation/platform/message_loop.h"
#include "foundation/platform/window.h"
#include "foundation/timer.h"

namespace {
constexpr uint32_t kRunMessage = WM_USER + 1;
constexpr int64_t kTestEpochMs = 1'760'000'000'000;
}  // namespace

LoopThread::LoopThread(Options options) : options_(options) {
    if (options_.testClock && !cpTestClock::Installed()) {
        cpTestClock::Install(kTestEpochMs);
    }
    cpCEvent ready;
    thread_ = std::thread([this, &ready] {
        loop_ = cpCMessageLoop::CreateForCurrentThread();
        threadId_ = std::this_thread::get_id();
        mutex_ = vmMakeObject<cpCMutex>();
        {
            cpCLock lock(mutex_.Get());
            if (options_.runtime) {
                runtime_ = std::make_unique<CZpn>(mutex_);
            }
            window_ = cpCreateWindow("test", [](uint32_t message, uintptr_t, intptr_t lParam) {
                if (message == kRunMessage) {
                    (*reinterpret_cast<std::function<void()>*>(lParam))();
                }
                return intptr_t{0};
            });
        }
        ready.Set();
        Body();
    });
    ready.Wait(10000);
}

void LoopThread::Body() {
    loop_->Run();
    cpDestroyWindow(window_);
    if (runtime_) {
        cpCLock lock(mutex_.Get());
        runtime_->Cleanup();
    }
    cpCMessageLoop::ReleaseCurrent();
}

LoopThread::~LoopThread() {
    loop_->PostQuit(0);
    thread_.join();
    loop_.reset();
    // As in the library, the runtime is destroyed by the stopping thread after the loop ended.
    if (runtime_) {
        cpCLock lock(mutex_.Get());
        runtime_.reset();
    }
}

void LoopThread::Run(const std::function<void()>& fn) {
    std::promise<void> done;
    std::function<void()> task = [&] {
        {
            cpCLock lock(mutex_.Get());
            fn();
        }
        done.set_value();
    };
    cpPostMessage(window_, kRunMessage, 0, reinterpret_cast<intptr_t>(&task));
    done.get_future().wait();
}

void LoopThread::StepClock(int64_t ms) {
    for (int64_t stepped = 0; stepped < ms; stepped += 100) {
        Run([] {
            cpTestClock::Advance(100);
            if (cpCTimerManager* manager = cpCTimerManager::Instance()) {
                manager->Tick();
            }
        });
    }
}

bool LoopThread::WaitFor(const std::function<bool()>& pred, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (Call([&] { return pred(); })) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}
