#include "raw_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "test_server/http_parsing.h"

TcpConnection ConnectLoopback(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return TcpConnection();
    }
    return TcpConnection(fd);
}

uint16_t LocalPort(const TcpConnection& connection) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(connection.Fd(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

bool PeerCloses(TcpConnection& connection, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char sink[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return false;
        }
        pollfd p{connection.Fd(), POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) != 1) {
            continue;
        }
        if (recv(connection.Fd(), sink, sizeof sink, 0) <= 0) {
            return true;
        }
    }
}

bool StaysSilent(TcpConnection& connection, int ms) {
    pollfd p{connection.Fd(), POLLIN, 0};
    return poll(&p, 1, ms) == 0;
}

std::optional<std::string> HttpResponse::Header(const std::string& name) const {
    return tev::tools::FindHeader(headers, name);
}

bool HttpClient::Fill(int timeoutMs) {
    if (closed_) {
        return false;
    }
    pollfd p{connection_.Fd(), POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) {
        return false;
    }
    char chunk[16384];
    const ssize_t n = recv(connection_.Fd(), chunk, sizeof chunk, 0);
    if (n <= 0) {
        closed_ = true;
        return false;
    }
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
}

HttpResponse HttpClient::Read(bool headRequest, int timeoutMs) {
    HttpResponse response;
    size_t headEnd = 0;
    while ((headEnd = tev::tools::FindHeadEnd(buffer_)) == 0) {
        if (!Fill(timeoutMs)) {
            return response;
        }
    }
    response.head = buffer_.substr(0, headEnd);
    buffer_.erase(0, headEnd);
    // The status line parses like a request line: "HTTP/1.1 206 Partial Content".
    const size_t lineEnd = response.head.find("\r\n");
    const std::string statusLine = response.head.substr(0, lineEnd);
    response.status = std::atoi(statusLine.substr(statusLine.find(' ') + 1).c_str());
    std::string rest = response.head.substr(lineEnd + 2);
    while (!rest.empty() && rest != "\r\n") {
        const size_t end = rest.find("\r\n");
        const std::string line = rest.substr(0, end);
        const size_t colon = line.find(':');
        std::string value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') {
            value.erase(0, 1);
        }
        response.headers.emplace_back(line.substr(0, colon), value);
        rest.erase(0, end + 2);
    }

    const bool noBody =
        headRequest || response.status == 204 || response.status == 304 || response.status < 200;
    const std::optional<std::string> length = response.Header("Content-Length");
    if (noBody) {
        response.complete = true;
    } else if (length) {
        const size_t wanted = std::strtoull(length->c_str(), nullptr, 10);
        while (buffer_.size() < wanted && Fill(timeoutMs)) {
        }
        response.body = buffer_.substr(0, wanted);
        buffer_.erase(0, response.body.size());
        response.complete = response.body.size() == wanted;
    } else {
        while (Fill(timeoutMs)) {
        }
        response.body = std::move(buffer_);
        buffer_.clear();
        response.complete = closed_;
    }
    return response;
}

HttpResponse HttpClient::Get(const std::string& target, const std::string& extraHeaders) {
    Send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n");
    return Read();
}
