#include "foundation/platform/async_select.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "foundation/platform/message_loop.h"
#include "foundation/platform/window.h"

namespace {

struct Watch {
    int fd = -1;
    uint32_t window = 0;
    uint32_t message = 0;
    uint32_t events = 0;
    std::weak_ptr<cpCMessageLoop> loop;
    int epollFd = -1;
    uint32_t interest = 0;  // what epoll watches now
    bool inEpoll = false;

    bool connecting = false;
    bool connected = false;
    bool readEnabled = false;   // an FD_READ may be posted
    bool writeEnabled = false;  // an FD_WRITE is owed once the socket can take bytes
    bool peerClosed = false;    // end of stream or reset seen
    uint32_t closeError = 0;
    bool closePosted = false;
};

std::mutex gWatchMutex;
std::unordered_map<int, Watch> gWatches;

void Post(const Watch& w, uint32_t event, uint32_t error) {
    if ((w.events & event) == 0) {
        return;
    }
    cpPostMessage(w.window, w.message, static_cast<uintptr_t>(w.fd),
                  static_cast<intptr_t>(event | (error << 16)));
}

void UpdateInterest(Watch& w) {
    // The epoll set belongs to the loop; once that loop is gone its descriptor number may name
    // something else, so it is never touched again.
    std::shared_ptr<cpCMessageLoop> loop = w.loop.lock();
    if (!loop) {
        w.inEpoll = false;
        return;
    }
    uint32_t interest = 0;
    bool wanted = false;
    if (w.connecting) {
        interest = EPOLLOUT;
        wanted = true;
    } else if (w.connected && !w.closePosted && !w.peerClosed) {
        if (w.readEnabled) {
            interest |= EPOLLIN | EPOLLRDHUP;
        }
        if (w.writeEnabled) {
            interest |= EPOLLOUT;
        }
        wanted = true;  // stays registered so that a reset is noticed
    }
    if (!wanted) {
        if (w.inEpoll) {
            epoll_ctl(w.epollFd, EPOLL_CTL_DEL, w.fd, nullptr);
            w.inEpoll = false;
        }
        return;
    }
    if (w.inEpoll && interest == w.interest) {
        return;
    }
    epoll_event ev{};
    ev.events = interest;
    ev.data.fd = w.fd;
    if (epoll_ctl(w.epollFd, w.inEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, w.fd, &ev) == 0) {
        w.inEpoll = true;
        w.interest = interest;
    }
}

enum class Peek { Data, Nothing, Closed };

Peek PeekSocket(int fd, uint32_t* error) {
    char byte;
    const ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
        return Peek::Data;
    }
    if (n == 0) {
        *error = 0;
        return Peek::Closed;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return Peek::Nothing;
    }
    *error = cpWinsockError(errno);
    return Peek::Closed;
}

// Posts FD_READ while data waits and reading is enabled, and FD_CLOSE once the peer's close is
// the only thing left to read.
void CheckReadSide(Watch& w) {
    if (!w.connected || w.closePosted) {
        return;
    }
    uint32_t error = 0;
    const Peek peek = PeekSocket(w.fd, &error);
    if (peek == Peek::Data) {
        if (w.readEnabled) {
            w.readEnabled = false;
            Post(w, FD_READ, 0);
        }
    } else if (peek == Peek::Closed) {
        if (!w.peerClosed) {
            w.peerClosed = true;
            w.closeError = error;
        }
        w.closePosted = true;
        Post(w, FD_CLOSE, w.closeError);
    }
}

bool Writable(int fd) {
    pollfd p{fd, POLLOUT, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0 && (p.revents & POLLERR) == 0;
}

bool IsConnected(int fd) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    return getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0;
}

}  // namespace

uint32_t cpWinsockError(int err) {
    switch (err) {
        case 0:
            return 0;
        case ECONNREFUSED:
            return WSAECONNREFUSED;
        case EHOSTUNREACH:
        case ENETUNREACH:
            return WSAEHOSTUNREACH;
        case ETIMEDOUT:
            return WSAETIMEDOUT;
        case ECONNRESET:
        case EPIPE:
            return WSAECONNRESET;
        default:
            return WSAECONNABORTED;
    }
}

void cpAsyncSelect(int fd, uint32_t window, uint32_t message, uint32_t events) {
    std::lock_guard lock(gWatchMutex);
    if (events == 0) {
        auto it = gWatches.find(fd);
        if (it != gWatches.end()) {
            Watch& w = it->second;
            w.connecting = w.connected = false;
            UpdateInterest(w);
            gWatches.erase(it);
        }
        return;
    }
    auto [it, created] = gWatches.try_emplace(fd);
    Watch& w = it->second;
    w.fd = fd;
    w.window = window;
    w.message = message;
    w.events = events;
    if (created) {
        // The window's loop watches the socket, whichever thread selects it (a connection may
        // be opened from the host's thread inside the library mutex); a window without a loop
        // cannot receive events.
        w.loop = {};
        std::shared_ptr<cpCMessageLoop> loop = cpWindowLoop(window);
        if (!loop && cpCMessageLoop::Current() != nullptr) {
            loop = cpCMessageLoop::Current()->shared_from_this();
        }
        if (loop) {
            w.loop = loop;
            w.epollFd = loop->EpollFd();
        }
        w.connected = IsConnected(fd);
    }
    if (w.epollFd < 0 || !w.connected) {
        UpdateInterest(w);
        return;
    }
    // Select (or re-arm) on a connected socket: every condition that holds is posted again.
    w.readEnabled = true;
    CheckReadSide(w);
    if (!w.closePosted && (events & FD_WRITE) != 0) {
        if (Writable(fd)) {
            w.writeEnabled = false;
            Post(w, FD_WRITE, 0);
        } else {
            w.writeEnabled = true;
        }
    }
    UpdateInterest(w);
}

void cpNoteReceive(int fd) {
    std::lock_guard lock(gWatchMutex);
    auto it = gWatches.find(fd);
    if (it == gWatches.end() || !it->second.connected) {
        return;
    }
    Watch& w = it->second;
    w.readEnabled = true;
    if (w.peerClosed) {
        // epoll no longer watches a closed socket: decide here whether data or the close is next.
        CheckReadSide(w);
    }
    UpdateInterest(w);
}

void cpNoteSendWouldBlock(int fd) {
    std::lock_guard lock(gWatchMutex);
    auto it = gWatches.find(fd);
    if (it == gWatches.end() || !it->second.connected) {
        return;
    }
    it->second.writeEnabled = true;
    UpdateInterest(it->second);
}

void cpNoteConnect(int fd, bool completed) {
    std::lock_guard lock(gWatchMutex);
    auto it = gWatches.find(fd);
    if (it == gWatches.end()) {
        return;
    }
    Watch& w = it->second;
    if (completed) {
        w.connecting = false;
        w.connected = true;
        w.readEnabled = true;
        Post(w, FD_CONNECT, 0);
        Post(w, FD_WRITE, 0);
    } else {
        w.connecting = true;
    }
    UpdateInterest(w);
}

void cpNoteClosing(int fd) {
    cpAsyncSelect(fd, 0, 0, 0);
}

void cpSocketWatchReady(int fd, uint32_t epollEvents) {
    std::lock_guard lock(gWatchMutex);
    auto it = gWatches.find(fd);
    if (it == gWatches.end()) {
        return;
    }
    Watch& w = it->second;
    if (w.connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error == 0 && (epollEvents & (EPOLLERR | EPOLLHUP)) != 0) {
            error = ECONNREFUSED;  // hung up without saying why
        }
        w.connecting = false;
        Post(w, FD_CONNECT, cpWinsockError(error));
        if (error == 0) {
            w.connected = true;
            w.readEnabled = true;
            Post(w, FD_WRITE, 0);
        }
        UpdateInterest(w);
        return;
    }
    if (!w.connected || w.closePosted) {
        UpdateInterest(w);
        return;
    }
    if ((epollEvents & (EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP)) != 0) {
        if ((epollEvents & (EPOLLRDHUP | EPOLLERR | EPOLLHUP)) != 0 && !w.peerClosed) {
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            w.peerClosed = true;
            w.closeError = cpWinsockError(error);
        }
        CheckReadSide(w);
    }
    if ((epollEvents & EPOLLOUT) != 0 && w.writeEnabled && !w.closePosted) {
        w.writeEnabled = false;
        Post(w, FD_WRITE, 0);
    }
    UpdateInterest(w);
}
