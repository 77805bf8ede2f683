#include "common/tcp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace tev::tools {

StopFlag::StopFlag() {
    if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
        fds_[0] = fds_[1] = -1;
    }
}

StopFlag::~StopFlag() {
    for (int fd : fds_) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void StopFlag::Raise() {
    if (raised_.exchange(true)) {
        return;
    }
    // One byte that nobody reads keeps the read end readable for every later poll.
    const char byte = 1;
    if (fds_[1] >= 0) {
        [[maybe_unused]] const ssize_t n = write(fds_[1], &byte, 1);
    }
}

IoWait WaitIo(int fd, short events, const StopFlag& stop, int timeoutMs) {
    if (stop.Raised()) {
        return IoWait::Stopped;
    }
    pollfd fds[2] = {{fd, events, 0}, {stop.Fd(), POLLIN, 0}};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        const int n = poll(fds, 2, left > 0 ? static_cast<int>(left) : 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return IoWait::Error;
        }
        if (fds[1].revents != 0 || stop.Raised()) {
            return IoWait::Stopped;
        }
        if (fds[0].revents != 0) {
            // Errors and hang-ups count as ready: the following read or write reports them.
            return IoWait::Ready;
        }
        if (n == 0) {
            return IoWait::Timeout;
        }
    }
}

bool SleepUnlessStopped(const StopFlag& stop, int ms) {
    if (stop.Raised()) {
        return false;
    }
    pollfd p{stop.Fd(), POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return !stop.Raised();
        }
        const int n = poll(&p, 1, static_cast<int>(left));
        if (n > 0 || stop.Raised()) {
            return false;
        }
    }
}

bool SendAll(int fd, std::string_view bytes, const StopFlag& stop, int timeoutMs) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (WaitIo(fd, POLLOUT, stop, timeoutMs) != IoWait::Ready) {
                return false;
            }
            continue;
        }
        return false;
    }
    return true;
}

long ReceiveSome(int fd, std::string& buffer, size_t max, const StopFlag& stop, int timeoutMs,
                 IoWait* wait) {
    for (;;) {
        const size_t old = buffer.size();
        buffer.resize(old + max);
        const ssize_t n = recv(fd, buffer.data() + old, max, 0);
        buffer.resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
        if (n >= 0) {
            if (wait != nullptr) {
                *wait = IoWait::Ready;
            }
            return static_cast<long>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            if (wait != nullptr) {
                *wait = IoWait::Error;
            }
            return -1;
        }
        const IoWait w = WaitIo(fd, POLLIN, stop, timeoutMs);
        if (w != IoWait::Ready) {
            if (wait != nullptr) {
                *wait = w;
            }
            return -1;
        }
    }
}

void ShutdownGracefully(int fd, const StopFlag& stop, int lingerMs) {
    shutdown(fd, SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(lingerMs);
    std::string sink;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return;
        }
        sink.clear();
        if (ReceiveSome(fd, sink, 4096, stop, static_cast<int>(left)) <= 0) {
            return;
        }
    }
}

TcpServer::TcpServer(Handler handler) : handler_(std::move(handler)) {}

TcpServer::~TcpServer() {
    Stop();
}

bool TcpServer::Start(const Options& options, std::string* error) {
    const auto fail = [&](const std::string& what) {
        if (error != nullptr) {
            *error = what + ": " + std::strerror(errno);
        }
        if (listenFd_ >= 0) {
            close(listenFd_);
            listenFd_ = -1;
        }
        return false;
    };
    if (listenFd_ >= 0 || stop_.Raised()) {
        errno = EALREADY;
        return fail("server already started");
    }
    if (stop_.Fd() < 0) {
        return fail("cannot create the stop pipe");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options.port);
    if (inet_pton(AF_INET, options.bindAddress.c_str(), &address.sin_addr) != 1) {
        errno = EINVAL;
        return fail("bad bind address '" + options.bindAddress + "'");
    }
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        return fail("socket");
    }
    const int yes = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return fail("bind " + options.bindAddress + ":" + std::to_string(options.port));
    }
    if (listen(listenFd_, 128) != 0) {
        return fail("listen");
    }
    socklen_t length = sizeof address;
    if (getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return fail("getsockname");
    }
    port_ = ntohs(address.sin_port);
    maxConnections_ = options.maxConnections;
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void TcpServer::Stop() {
    stop_.Raise();
    if (acceptThread_.joinable()) {
        acceptThread_.join();
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
        listenFd_ = -1;
    }
    ReapFinished(true);
}

size_t TcpServer::ActiveConnections() const {
    std::lock_guard lock(mutex_);
    return active_;
}

size_t TcpServer::PeakConnections() const {
    std::lock_guard lock(mutex_);
    return peak_;
}

uint64_t TcpServer::AcceptedConnections() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

void TcpServer::ResetPeak() {
    std::lock_guard lock(mutex_);
    peak_ = active_;
}

void TcpServer::AcceptLoop() {
    while (!stop_.Raised()) {
        // The periodic wake-up only reaps finished connection threads.
        const IoWait wait = WaitIo(listenFd_, POLLIN, stop_, 500);
        ReapFinished(false);
        if (wait == IoWait::Stopped) {
            break;
        }
        if (wait != IoWait::Ready) {
            continue;
        }
        sockaddr_in peerAddress{};
        socklen_t length = sizeof peerAddress;
        const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peerAddress), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: back off instead of spinning on a readable listener.
                SleepUnlessStopped(stop_, 100);
            }
            continue;
        }
        const int yes = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        char host[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &peerAddress.sin_addr, host, sizeof host);
        PeerAddress peer{host, ntohs(peerAddress.sin_port)};

        std::lock_guard lock(mutex_);
        if (maxConnections_ != 0 && active_ >= maxConnections_) {
            close(fd);
            continue;
        }
        ++active_;
        ++accepted_;
        peak_ = std::max(peak_, active_);
        auto connection = std::make_unique<Connection>();
        Connection* raw = connection.get();
        const uint64_t id = accepted_;
        raw->thread = std::thread([this, raw, fd, peer, id] {
            handler_(fd, peer, id);
            close(fd);
            {
                std::lock_guard inner(mutex_);
                --active_;
            }
            raw->finished.store(true);
        });
        connections_.push_back(std::move(connection));
    }
}

void TcpServer::ReapFinished(bool all) {
    std::list<std::unique_ptr<Connection>> done;
    {
        std::lock_guard lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (all || (*it)->finished.load()) {
                done.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& connection : done) {
        connection->thread.join();
    }
}

}  // namespace tev::tools
