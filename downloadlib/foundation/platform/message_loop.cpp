#include "foundation/platform/message_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <unordered_map>

#include "foundation/platform/async_select.h"
#include "foundation/platform/window.h"

namespace {

thread_local std::shared_ptr<cpCMessageLoop> tCurrentLoop;

std::mutex gTimerOwnersMutex;
std::unordered_map<uint32_t, std::weak_ptr<cpCMessageLoop>> gTimerOwners;
std::atomic<uint32_t> gNextTimerId{1};

}  // namespace

int64_t cpMonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::shared_ptr<cpCMessageLoop> cpCMessageLoop::CreateForCurrentThread() {
    if (!tCurrentLoop) {
        tCurrentLoop.reset(new cpCMessageLoop());
    }
    return tCurrentLoop;
}

cpCMessageLoop* cpCMessageLoop::Current() {
    return tCurrentLoop.get();
}

void cpCMessageLoop::ReleaseCurrent() {
    tCurrentLoop.reset();
}

cpCMessageLoop::cpCMessageLoop() : thread_(std::this_thread::get_id()) {
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wakeFd_;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev);
}

cpCMessageLoop::~cpCMessageLoop() {
    {
        std::lock_guard lock(gTimerOwnersMutex);
        for (const auto& [id, timer] : timers_) {
            gTimerOwners.erase(id);
        }
    }
    close(wakeFd_);
    close(epollFd_);
}

void cpCMessageLoop::Post(const cpMessage& message) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(message);
    }
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void cpCMessageLoop::PostQuit(int exitCode) {
    Post({0, WM_QUIT, static_cast<uintptr_t>(exitCode), 0});
}

void cpCMessageLoop::RemoveMessages(const std::function<bool(const cpMessage&)>& match) {
    std::lock_guard lock(mutex_);
    std::erase_if(queue_, match);
}

uint32_t cpCMessageLoop::SetTimer(uint32_t periodMs, std::function<void()> proc) {
    const uint32_t id = gNextTimerId.fetch_add(1);
    {
        std::lock_guard lock(mutex_);
        timers_[id] = {periodMs, cpMonotonicMs() + periodMs, std::move(proc)};
    }
    {
        std::lock_guard lock(gTimerOwnersMutex);
        gTimerOwners[id] = weak_from_this();
    }
    Post({0, 0, 0, 0});  // a null message recomputes the wait deadline
    return id;
}

bool cpCMessageLoop::KillTimerLocked(uint32_t timerId) {
    std::lock_guard lock(mutex_);
    return timers_.erase(timerId) != 0;
}

void cpKillTimer(uint32_t timerId) {
    std::shared_ptr<cpCMessageLoop> loop;
    {
        std::lock_guard lock(gTimerOwnersMutex);
        auto it = gTimerOwners.find(timerId);
        if (it == gTimerOwners.end()) {
            return;
        }
        loop = it->second.lock();
        gTimerOwners.erase(it);
    }
    if (loop) {
        loop->KillTimerLocked(timerId);
    }
}

bool cpCMessageLoop::TakeDueTimer(cpMessage* out) {
    const int64_t now = cpMonotonicMs();
    std::lock_guard lock(mutex_);
    for (auto& [id, timer] : timers_) {
        if (timer.dueMs <= now) {
            // One WM_TIMER per period at most; a loop that fell behind does not fire in bursts.
            timer.dueMs += timer.periodMs;
            if (timer.dueMs <= now) {
                timer.dueMs = now + timer.periodMs;
            }
            *out = {0, WM_TIMER, id, 0};
            return true;
        }
    }
    return false;
}

int cpCMessageLoop::MsUntilNextTimer() {
    std::lock_guard lock(mutex_);
    if (timers_.empty()) {
        return -1;
    }
    int64_t next = INT64_MAX;
    for (const auto& [id, timer] : timers_) {
        next = std::min(next, timer.dueMs);
    }
    const int64_t wait = next - cpMonotonicMs();
    return wait < 0 ? 0 : static_cast<int>(std::min<int64_t>(wait, INT_MAX));
}

void cpCMessageLoop::Wait(int timeoutMs) {
    epoll_event events[64];
    const int n = epoll_wait(epollFd_, events, 64, timeoutMs);
    for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == wakeFd_) {
            uint64_t count = 0;
            [[maybe_unused]] ssize_t r = read(wakeFd_, &count, sizeof count);
        } else {
            cpSocketWatchReady(fd, events[i].events);
        }
    }
}

bool cpCMessageLoop::Next(cpMessage* out, bool block) {
    for (;;) {
        if (TakeDueTimer(out)) {
            return true;
        }
        bool queued = false;
        {
            std::lock_guard lock(mutex_);
            queued = !queue_.empty();
        }
        // Socket readiness is collected even while messages wait, so that a busy queue cannot
        // starve the sockets.
        Wait(queued || !block ? 0 : MsUntilNextTimer());
        std::lock_guard lock(mutex_);
        while (!queue_.empty()) {
            *out = queue_.front();
            queue_.pop_front();
            if (out->window == 0 && out->message == 0) {
                continue;  // a wake-up only
            }
            return true;
        }
        if (!block && !queued) {
            return false;
        }
    }
}

bool cpCMessageLoop::GetMessage(cpMessage* out) {
    Next(out, true);
    return out->message != WM_QUIT;
}

bool cpCMessageLoop::PeekMessage(cpMessage* out) {
    return Next(out, false);
}

void cpCMessageLoop::Dispatch(const cpMessage& message) {
    if (message.window == 0) {
        if (message.message == WM_TIMER) {
            std::function<void()> proc;
            {
                std::lock_guard lock(mutex_);
                auto it = timers_.find(static_cast<uint32_t>(message.wParam));
                if (it == timers_.end()) {
                    return;
                }
                proc = it->second.proc;
            }
            proc();
        }
        return;
    }
    cpDispatchWindowMessage(message);
}

int cpCMessageLoop::Run() {
    cpMessage message;
    while (GetMessage(&message)) {
        Dispatch(message);
    }
    return static_cast<int>(message.wParam);
}
