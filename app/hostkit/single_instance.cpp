#include "hostkit/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "hostkit/format.h"

namespace {

constexpr char kActivate[] = "activate\n";
// A peer that connects but says nothing must not hold up the window for long.
constexpr int kRequestTimeoutMs = 500;

uint64_t Fnv1a(const std::string& text) {
    uint64_t hash = 14695981039346656037ull;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

bool FillAddress(const std::string& path, sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path) {
        return false;
    }
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Reads the request of a peer, waiting kRequestTimeoutMs at most in all.
std::string ReadRequest(int peer) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
    std::string received;
    while (received.size() < std::strlen(kActivate)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd entry{peer, POLLIN, 0};
        if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) <= 0) {
            break;
        }
        char buffer[16];
        const ssize_t got = read(peer, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        received.append(buffer, static_cast<size_t>(got));
    }
    return received;
}

}  // namespace

std::string SingleInstanceBasePath(const std::string& lockName) {
    const std::string hashed =
        FormatText("%016llx", static_cast<unsigned long long>(Fnv1a(lockName)));
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        return std::string(runtime) + "/tev-downloader-" + hashed;
    }
    return FormatText("/tmp/tev-downloader-%u-", static_cast<unsigned>(getuid())) + hashed;
}

CSingleInstance::CSingleInstance(const std::string& lockName) {
    const std::string base = SingleInstanceBasePath(lockName);
    lockPath_ = base + ".lock";
    socketPath_ = base + ".sock";
}

CSingleInstance::~CSingleInstance() {
    if (listenFd_ >= 0) {
        close(listenFd_);
        unlink(socketPath_.c_str());
    }
    // The lock file stays: removing it would let a third start lock a different file.
    if (lockFd_ >= 0) {
        close(lockFd_);
    }
}

CSingleInstance::State CSingleInstance::Acquire() {
    // Close-on-exec: an installer we start must not inherit (and so keep holding) the lock.
    const int fd = open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return State::Failed;
    }
    struct stat info {};
    // In a shared /tmp, a lock file planted by someone else is not ours to trust.
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
        close(fd);
        return State::Failed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        return error == EWOULDBLOCK ? State::Second : State::Failed;
    }
    lockFd_ = fd;
    Listen();
    return State::First;
}

void CSingleInstance::Listen() {
    sockaddr_un address;
    if (!FillAddress(socketPath_, &address)) {
        return;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    // We hold the lock, so a socket left at the path belongs to a process that has ended.
    unlink(socketPath_.c_str());
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 8) != 0) {
        close(fd);
        return;
    }
    listenFd_ = fd;
}

int CSingleInstance::TakeActivationRequests() {
    int requests = 0;
    if (listenFd_ < 0) {
        return 0;
    }
    for (;;) {
        const int peer = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (peer < 0) {
            if (errno == EINTR) {
                continue;
            }
            return requests;
        }
        const std::string received = ReadRequest(peer);
        close(peer);
        if (received.compare(0, std::strlen(kActivate), kActivate) == 0) {
            ++requests;
        }
    }
}

bool CSingleInstance::RequestActivation() const {
    sockaddr_un address;
    if (!FillAddress(socketPath_, &address)) {
        return false;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    // A full backlog would block the connect: give up after a second.
    const timeval limit{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const bool sent =
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, kActivate, std::strlen(kActivate), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(std::strlen(kActivate));
    close(fd);
    return sent;
}
