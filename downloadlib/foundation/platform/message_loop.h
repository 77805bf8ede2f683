// A message loop per thread, standing in for a Windows thread message queue: a locked queue with
// an eventfd wake-up, thread timers, and the epoll set through which selected sockets announce
// themselves. Everything the library does on its worker thread arrives through one of these.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

constexpr uint32_t WM_QUIT = 0x0012;
constexpr uint32_t WM_TIMER = 0x0113;
constexpr uint32_t WM_USER = 0x0400;

struct cpMessage {
    uint32_t window = 0;  // 0: a message of the thread itself
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

class cpCMessageLoop : public std::enable_shared_from_this<cpCMessageLoop> {
  public:
    // The loop of the calling thread, created on first call. The thread keeps it alive; others
    // hold it weakly, so that a loop whose thread ended is simply gone.
    static std::shared_ptr<cpCMessageLoop> CreateForCurrentThread();
    static cpCMessageLoop* Current();
    // Drops the calling thread's loop (the thread is about to end).
    static void ReleaseCurrent();

    ~cpCMessageLoop();
    cpCMessageLoop(const cpCMessageLoop&) = delete;
    cpCMessageLoop& operator=(const cpCMessageLoop&) = delete;

    // Any thread.
    void Post(const cpMessage& message);
    void PostQuit(int exitCode = 0);

    // Loop thread only. Blocks until a message is there; false for WM_QUIT.
    bool GetMessage(cpMessage* out);
    // Like GetMessage, but returns false at once when nothing is waiting.
    bool PeekMessage(cpMessage* out);
    void Dispatch(const cpMessage& message);
    // Runs GetMessage/Dispatch until WM_QUIT; returns the exit code.
    int Run();

    // Drops queued messages that match (a socket left its slot: its old events must not reach
    // whoever takes the slot next).
    void RemoveMessages(const std::function<bool(const cpMessage&)>& match);

    // A thread timer: proc runs on this loop's thread every periodMs (real time).
    uint32_t SetTimer(uint32_t periodMs, std::function<void()> proc);

    int EpollFd() const { return epollFd_; }
    bool OnLoopThread() const { return std::this_thread::get_id() == thread_; }

  private:
    cpCMessageLoop();

    struct ThreadTimer {
        uint32_t periodMs;
        int64_t dueMs;  // monotonic
        std::function<void()> proc;
    };

    friend void cpKillTimer(uint32_t timerId);
    bool KillTimerLocked(uint32_t timerId);
    bool TakeDueTimer(cpMessage* out);
    int MsUntilNextTimer();
    void Wait(int timeoutMs);
    bool Next(cpMessage* out, bool block);

    std::thread::id thread_;
    int epollFd_ = -1;
    int wakeFd_ = -1;
    std::mutex mutex_;
    std::deque<cpMessage> queue_;
    std::map<uint32_t, ThreadTimer> timers_;
};

// Kills a thread timer from any thread; a timer whose loop is gone is simply forgotten.
void cpKillTimer(uint32_t timerId);

// Monotonic milliseconds, for loop deadlines (not the library clock, which tests move).
int64_t cpMonotonicMs();
