#include "support/tcp_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

namespace {

bool WaitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

}  // namespace

uint16_t FreeLoopbackPort(int type, const std::string& address) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    uint16_t port = 0;
    socklen_t length = sizeof where;
    if (inet_pton(AF_INET, address.c_str(), &where.sin_addr) == 1 &&
        bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length) == 0) {
        port = ntohs(where.sin_port);
    }
    close(fd);
    return port;
}

bool LoopbackPortAnswers(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

TcpConnection::~TcpConnection() {
    Close();
}

TcpConnection::TcpConnection(TcpConnection&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

TcpConnection& TcpConnection::operator=(TcpConnection&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

bool TcpConnection::Send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string TcpConnection::Receive(size_t max, int timeoutMs) {
    if (!WaitReadable(fd_, timeoutMs)) {
        return {};
    }
    std::string buffer(max, '\0');
    const ssize_t n = recv(fd_, buffer.data(), max, 0);
    buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buffer;
}

std::string TcpConnection::ReceiveExactly(size_t n, int timeoutMs) {
    std::string all;
    while (all.size() < n) {
        std::string part = Receive(n - all.size(), timeoutMs);
        if (part.empty()) {
            break;
        }
        all += part;
    }
    return all;
}

void TcpConnection::SetReceiveBuffer(int bytes) {
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void TcpConnection::Close() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

void TcpConnection::Reset() {
    if (fd_ >= 0) {
        linger l{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Close();
    }
}

TcpListener::TcpListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = LoopbackAddress();
    bind(fd_, reinterpret_cast<sockaddr*>(&in), sizeof in);
    listen(fd_, 128);
    socklen_t length = sizeof in;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&in), &length);
    port_ = ntohs(in.sin_port);
}

TcpListener::~TcpListener() {
    close(fd_);
}

TcpConnection TcpListener::Accept(int timeoutMs) {
    if (!WaitReadable(fd_, timeoutMs)) {
        return TcpConnection();
    }
    return TcpConnection(accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
}

uint16_t UnusedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = LoopbackAddress();
    bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in);
    socklen_t length = sizeof in;
    getsockname(fd, reinterpret_cast<sockaddr*>(&in), &length);
    close(fd);
    return ntohs(in.sin_port);
}

uint32_t LoopbackAddress() {
    return htonl(INADDR_LOOPBACK);
}
