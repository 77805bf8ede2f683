// MultiDriver: one libcurl multi handle driven by one EventLoop (curl_multi_socket_action).
// libcurl's wishes for sockets and timers become the loop's watches and timers; after every call
// into libcurl the owner's afterCurl runs, outside libcurl's callbacks, to collect finished
// transfers and start new ones.
#pragma once

#include <functional>

#include "transfer/event_loop.h"

namespace tev::localengine {

class MultiDriver {
  public:
    // maxHostConnections also bounds the kept keep-alive connections (four times as many).
    MultiDriver(EventLoop& loop, long maxHostConnections, std::function<void()> afterCurl);
    ~MultiDriver();
    MultiDriver(const MultiDriver&) = delete;
    MultiDriver& operator=(const MultiDriver&) = delete;

    bool Ok() const { return multi_ != nullptr; }
    void* multi() const { return multi_; }  // the CURLM*
    // True while libcurl runs (its callbacks may not add or remove transfers then).
    bool InCurl() const { return inCurl_; }

  private:
    static int SocketCallback(void* easy, int fd, int what, void* self, void* socketData);
    static int TimerCallback(void* multi, long timeoutMs, void* self);
    void Act(int fd, int mask);

    EventLoop& loop_;
    std::function<void()> afterCurl_;
    void* multi_ = nullptr;
    EventLoop::TimerId timer_ = 0;
    bool inCurl_ = false;
};

}  // namespace tev::localengine
