// EventLoop: one thread's epoll loop with file-descriptor watches and timers. The protocol server
// and the transfers share the engine's loop, so they need no locks; the receive lane runs its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace tev::localengine {

class EventLoop {
  public:
    // Readiness flags passed to watchers: EPOLLIN, EPOLLOUT, EPOLLERR, EPOLLHUP as epoll gives
    // them.
    using FdCallback = std::function<void(uint32_t events)>;
    using TimerCallback = std::function<void()>;
    using TimerId = uint64_t;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    bool Ok() const { return epollFd_ >= 0 && wakeFd_ >= 0; }

    // Watches fd for events (EPOLLIN/EPOLLOUT); a second call for the same fd changes them.
    bool Watch(int fd, uint32_t events, FdCallback callback);
    void Unwatch(int fd);

    // Runs callback once after delayMs on the loop's thread. Returns an id for CancelTimer.
    TimerId AddTimer(int64_t delayMs, TimerCallback callback);
    void CancelTimer(TimerId id);

    // Runs callback on the loop's thread, soon; callable from any thread (another thread's
    // hand-over).
    void Post(TimerCallback callback);

    // Waits for at most maxWaitMs (-1: until something is due) and runs what is ready.
    void RunOnce(int maxWaitMs);
    // Runs until Stop (callable from any thread, and from a signal handler through StopFd()).
    void Run();
    void Stop();
    bool Stopped() const { return stopped_; }

    // Monotonic milliseconds.
    static int64_t NowMs();
    // The clock seam: a test moves every loop's clock forward instead of sleeping; the timers
    // that fall due run on each loop's next round. Never back.
    static void AdvanceClock(int64_t ms);

  private:
    struct Watch_ {
        std::shared_ptr<FdCallback> callback;
    };
    int epollFd_ = -1;
    int wakeFd_ = -1;  // eventfd: Stop and Post from another thread
    std::atomic<bool> stopped_{false};
    std::mutex postedMutex_;
    std::vector<TimerCallback> posted_;
    std::unordered_map<int, Watch_> watches_;
    std::multimap<int64_t, TimerId> deadlines_;
    std::unordered_map<TimerId, std::pair<int64_t, TimerCallback>> timers_;
    TimerId nextTimer_ = 1;
};

}  // namespace tev::localengine
