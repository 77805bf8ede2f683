#include "transfer/event_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <vector>

namespace tev::localengine {

EventLoop::EventLoop() {
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epollFd_ >= 0 && wakeFd_ >= 0) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = wakeFd_;
        epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &event);
    }
}

EventLoop::~EventLoop() {
    if (wakeFd_ >= 0) {
        close(wakeFd_);
    }
    if (epollFd_ >= 0) {
        close(epollFd_);
    }
}

namespace {

std::atomic<int64_t> clockAdvance{0};  // what tests moved the clock by

}  // namespace

int64_t EventLoop::NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000 +
           clockAdvance.load(std::memory_order_relaxed);
}

void EventLoop::AdvanceClock(int64_t ms) {
    clockAdvance.fetch_add(std::max<int64_t>(ms, 0), std::memory_order_relaxed);
}

bool EventLoop::Watch(int fd, uint32_t events, FdCallback callback) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    auto found = watches_.find(fd);
    if (found != watches_.end()) {
        found->second.callback = std::make_shared<FdCallback>(std::move(callback));
        return epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &event) == 0;
    }
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
        return false;
    }
    watches_[fd] = {std::make_shared<FdCallback>(std::move(callback))};
    return true;
}

void EventLoop::Unwatch(int fd) {
    if (watches_.erase(fd) > 0) {
        epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    }
}

EventLoop::TimerId EventLoop::AddTimer(int64_t delayMs, TimerCallback callback) {
    const TimerId id = nextTimer_++;
    const int64_t due = NowMs() + std::max<int64_t>(delayMs, 0);
    deadlines_.emplace(due, id);
    timers_.emplace(id, std::make_pair(due, std::move(callback)));
    return id;
}

void EventLoop::CancelTimer(TimerId id) {
    auto found = timers_.find(id);
    if (found == timers_.end()) {
        return;
    }
    auto [first, last] = deadlines_.equal_range(found->second.first);
    for (auto it = first; it != last; ++it) {
        if (it->second == id) {
            deadlines_.erase(it);
            break;
        }
    }
    timers_.erase(found);
}

void EventLoop::RunOnce(int maxWaitMs) {
    int wait = maxWaitMs;
    if (!deadlines_.empty()) {
        const int64_t untilDue = std::max<int64_t>(deadlines_.begin()->first - NowMs(), 0);
        wait =
            wait < 0 ? static_cast<int>(untilDue) : std::min<int>(wait, static_cast<int>(untilDue));
    }
    epoll_event events[64];
    const int count = epoll_wait(epollFd_, events, 64, wait);
    for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        if (fd == wakeFd_) {
            uint64_t value = 0;
            [[maybe_unused]] ssize_t ignored = read(wakeFd_, &value, sizeof value);
            std::vector<TimerCallback> posted;
            {
                std::lock_guard lock(postedMutex_);
                posted.swap(posted_);
            }
            for (TimerCallback& callback : posted) {
                callback();
            }
            continue;
        }
        auto found = watches_.find(fd);
        if (found == watches_.end()) {
            continue;  // unwatched by an earlier callback of this round
        }
        // Held across the call: the callback may unwatch or re-watch its own fd.
        std::shared_ptr<FdCallback> callback = found->second.callback;
        (*callback)(events[i].events);
    }
    // Timers due now; those added by a callback wait for the next round.
    const int64_t now = NowMs();
    std::vector<TimerId> due;
    for (auto it = deadlines_.begin(); it != deadlines_.end() && it->first <= now;) {
        due.push_back(it->second);
        it = deadlines_.erase(it);
    }
    for (const TimerId id : due) {
        auto found = timers_.find(id);
        if (found == timers_.end()) {
            continue;
        }
        TimerCallback callback = std::move(found->second.second);
        timers_.erase(found);
        callback();
    }
}

void EventLoop::Run() {
    while (!stopped_) {
        RunOnce(-1);
    }
}

void EventLoop::Post(TimerCallback callback) {
    {
        std::lock_guard lock(postedMutex_);
        posted_.push_back(std::move(callback));
    }
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = write(wakeFd_, &one, sizeof one);
}

void EventLoop::Stop() {
    stopped_ = true;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = write(wakeFd_, &one, sizeof one);
}

}  // namespace tev::localengine
