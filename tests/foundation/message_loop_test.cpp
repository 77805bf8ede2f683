#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/platform/event.h"
#include "foundation/platform/message_loop.h"
#include "foundation/platform/window.h"
#include "support/loop_thread.h"

TEST(cpCMessageLoop, PostedMessagesRunInOrderOnTheLoopThread) {
    LoopThread loop({.runtime = false});
    std::vector<uintptr_t> seen;
    std::thread::id ranOn;
    const uint32_t window = loop.Call([&] {
        return cpCreateWindow("order", [&](uint32_t, uintptr_t wParam, intptr_t) {
            seen.push_back(wParam);
            ranOn = std::this_thread::get_id();
            return intptr_t{0};
        });
    });
    ASSERT_NE(window, 0u);
    for (uintptr_t i = 0; i < 100; ++i) {
        EXPECT_TRUE(cpPostMessage(window, WM_USER + 5, i, 0));
    }
    ASSERT_TRUE(loop.WaitFor([&] { return seen.size() == 100; }));
    for (uintptr_t i = 0; i < 100; ++i) {
        EXPECT_EQ(seen[i], i);
    }
    EXPECT_EQ(ranOn, loop.ThreadId());
    loop.Run([&] { cpDestroyWindow(window); });
    EXPECT_FALSE(cpPostMessage(window, WM_USER + 5, 0, 0)) << "posting to a removed window";
}

TEST(cpCMessageLoop, QuitEndsRunWithItsCode) {
    std::atomic<int> code{-1};
    std::shared_ptr<cpCMessageLoop> loop;
    cpCEvent ready;
    std::thread worker([&] {
        loop = cpCMessageLoop::CreateForCurrentThread();
        ready.Set();
        code = loop->Run();
        cpCMessageLoop::ReleaseCurrent();
    });
    ASSERT_TRUE(ready.Wait(5000));
    loop->PostQuit(7);
    worker.join();
    EXPECT_EQ(code, 7);
}

TEST(cpCMessageLoop, ThreadTimerRunsOnTheLoopUntilKilled) {
    LoopThread loop({.runtime = false});
    std::atomic<int> fired{0};
    std::atomic<bool> onLoopThread{true};
    const std::thread::id loopId = loop.ThreadId();
    const uint32_t timer = loop.Call([&] {
        return cpCMessageLoop::Current()->SetTimer(5, [&] {
            onLoopThread = onLoopThread && std::this_thread::get_id() == loopId;
            ++fired;
        });
    });
    ASSERT_TRUE(loop.WaitFor([&] { return fired >= 3; }));
    EXPECT_TRUE(onLoopThread);
    cpKillTimer(timer);
    const int afterKill = loop.Call([&] { return fired.load(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(loop.Call([&] { return fired.load(); }), afterKill);
}

TEST(HostWindow, ProcedureRunsOnThePostingThreadAndRemovalWaitsForIt) {
    std::atomic<bool> inside{false};
    std::atomic<bool> release{false};
    std::atomic<int> calls{0};
    const uint32_t window = cpRegisterHostWindow([&](uint32_t message, uintptr_t, intptr_t) {
        if (message == 1) {
            inside = true;
            while (!release) {
                std::this_thread::yield();
            }
        }
        ++calls;
    });
    ASSERT_NE(window, 0u);
    EXPECT_EQ(cpRegisterHostWindow(nullptr), 0u);

    std::thread poster([&] { cpPostMessage(window, 1, 0, 0); });
    while (!inside) {
        std::this_thread::yield();
    }
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        cpDestroyWindow(window);
        removed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(removed) << "removal must wait for the running call";
    release = true;
    poster.join();
    remover.join();
    EXPECT_TRUE(removed);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(cpPostMessage(window, 2, 0, 0));
    EXPECT_EQ(calls, 1);
}

TEST(HostWindow, ProcedureMayRemoveItsOwnWindow) {
    uint32_t window = 0;
    int calls = 0;
    window = cpRegisterHostWindow([&](uint32_t, uintptr_t, intptr_t) {
        ++calls;
        cpDestroyWindow(window);  // must not wait for itself
    });
    EXPECT_TRUE(cpPostMessage(window, 1, 0, 0));
    EXPECT_FALSE(cpPostMessage(window, 1, 0, 0));
    EXPECT_EQ(calls, 1);
}

TEST(cpCEvent, AutoResetsAndTimesOut) {
    cpCEvent event;
    EXPECT_FALSE(event.Wait(10));
    event.Set();
    EXPECT_TRUE(event.Wait(10));
    EXPECT_FALSE(event.Wait(10)) << "reset by the first wait";
}

TEST(cpCMutex, IsRecursiveAndKnowsItsHolder) {
    vmSmartPtr<cpCMutex> mutex = vmMakeObject<cpCMutex>();
    EXPECT_FALSE(mutex->IsHeldByCurrentThread());
    mutex->Lock();
    mutex->Lock();
    EXPECT_TRUE(mutex->IsHeldByCurrentThread());
    std::thread other([&] { EXPECT_FALSE(mutex->IsHeldByCurrentThread()); });
    other.join();
    mutex->Unlock();
    EXPECT_TRUE(mutex->IsHeldByCurrentThread());
    mutex->Unlock();
    EXPECT_FALSE(mutex->IsHeldByCurrentThread());
}
