#include "transfer/multi_driver.h"

#include <curl/curl.h>
#include <sys/epoll.h>

namespace tev::localengine {

MultiDriver::MultiDriver(EventLoop& loop, long maxHostConnections, std::function<void()> afterCurl)
    : loop_(loop), afterCurl_(std::move(afterCurl)) {
    static const bool curlReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    CURLM* multi = curlReady ? curl_multi_init() : nullptr;
    if (multi == nullptr) {
        return;
    }
    multi_ = multi;
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &MultiDriver::SocketCallback);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &MultiDriver::TimerCallback);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this);
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, maxHostConnections);
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, maxHostConnections * 4);
    // Each range is its own connection: never multiplexed onto one HTTP/2 stream set.
    curl_multi_setopt(multi, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_NOTHING));
}

MultiDriver::~MultiDriver() {
    if (multi_ == nullptr) {
        return;
    }
    loop_.CancelTimer(timer_);
    curl_multi_cleanup(static_cast<CURLM*>(multi_));
}

int MultiDriver::SocketCallback(void*, int fd, int what, void* self, void*) {
    auto* driver = static_cast<MultiDriver*>(self);
    if (what == CURL_POLL_REMOVE) {
        driver->loop_.Unwatch(fd);
        return 0;
    }
    uint32_t events = 0;
    if (what == CURL_POLL_IN || what == CURL_POLL_INOUT) {
        events |= EPOLLIN;
    }
    if (what == CURL_POLL_OUT || what == CURL_POLL_INOUT) {
        events |= EPOLLOUT;
    }
    driver->loop_.Watch(fd, events, [driver, fd](uint32_t ready) {
        int mask = 0;
        if (ready & EPOLLIN) {
            mask |= CURL_CSELECT_IN;
        }
        if (ready & EPOLLOUT) {
            mask |= CURL_CSELECT_OUT;
        }
        if (ready & (EPOLLERR | EPOLLHUP)) {
            mask |= CURL_CSELECT_ERR;
        }
        driver->Act(fd, mask);
    });
    return 0;
}

int MultiDriver::TimerCallback(void*, long timeoutMs, void* self) {
    auto* driver = static_cast<MultiDriver*>(self);
    driver->loop_.CancelTimer(driver->timer_);
    driver->timer_ = 0;
    if (timeoutMs >= 0) {
        driver->timer_ = driver->loop_.AddTimer(timeoutMs, [driver] {
            driver->timer_ = 0;
            driver->Act(CURL_SOCKET_TIMEOUT, 0);
        });
    }
    return 0;
}

void MultiDriver::Act(int fd, int mask) {
    int running = 0;
    inCurl_ = true;
    curl_multi_socket_action(static_cast<CURLM*>(multi_), fd, mask, &running);
    inCurl_ = false;
    afterCurl_();
}

}  // namespace tev::localengine
