#include "cli_diagnose.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

struct Target {
    std::string scheme;  // lower case
    std::string host;
    std::string port;
    std::string path;
};

bool Split(const std::string& url, Target* out) {
    const size_t colon = url.find("://");
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    for (size_t i = 0; i < colon; ++i) {
        const unsigned char c = static_cast<unsigned char>(url[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') {
            return false;
        }
        out->scheme += static_cast<char>(std::tolower(c));
    }
    const size_t hostStart = colon + 3;
    const size_t pathStart = std::min(url.find_first_of("/?#", hostStart), url.size());
    std::string authority = url.substr(hostStart, pathStart - hostStart);
    if (const size_t at = authority.rfind('@'); at != std::string::npos) {
        authority = authority.substr(at + 1);
    }
    out->port = out->scheme == "https" ? "443" : "80";
    if (const size_t portColon = authority.rfind(':');
        portColon != std::string::npos && authority.find(']') == std::string::npos) {
        out->port = authority.substr(portColon + 1);
        authority = authority.substr(0, portColon);
    }
    out->host = authority;
    out->path = pathStart < url.size() && url[pathStart] == '/' ? url.substr(pathStart) : "/";
    if (const size_t fragment = out->path.find('#'); fragment != std::string::npos) {
        out->path.resize(fragment);
    }
    return !out->host.empty();
}

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// A connected socket, or -1 with *why set.
int Connect(const Target& target, Clock::time_point deadline, std::string* why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int failed = getaddrinfo(target.host.c_str(), target.port.c_str(), &hints, &found);
        failed != 0) {
        *why = "the host " + target.host + " cannot be found (" + gai_strerror(failed) + ")";
        return -1;
    }
    int error = 0;
    int fd = -1;
    for (addrinfo* at = found; at != nullptr && fd < 0; at = at->ai_next) {
        fd = socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = errno;
            continue;
        }
        error = 0;
        if (connect(fd, at->ai_addr, at->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                pollfd wait{fd, POLLOUT, 0};
                error = ETIMEDOUT;
                if (poll(&wait, 1, MillisecondsLeft(deadline)) == 1) {
                    socklen_t length = sizeof error;
                    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
                }
            }
        }
        if (error != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) {
        *why = std::string(error == ECONNREFUSED ? "connection refused" : std::strerror(error)) +
               " by " + target.host + ":" + target.port;
    }
    return fd;
}

// The status line of a GET of target.path, or empty.
std::string StatusLine(int fd, const Target& target, Clock::time_point deadline) {
    const std::string request = "GET " + target.path + " HTTP/1.1\r\nHost: " + target.host +
                                "\r\nRange: bytes=0-0\r\nConnection: close\r\n\r\n";
    size_t sent = 0;
    while (sent < request.size()) {
        pollfd wait{fd, POLLOUT, 0};
        if (poll(&wait, 1, MillisecondsLeft(deadline)) != 1) {
            return {};
        }
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return {};
        }
        sent += static_cast<size_t>(n);
    }
    std::string answer;
    while (answer.find("\r\n") == std::string::npos && answer.size() < 1024) {
        pollfd wait{fd, POLLIN, 0};
        if (poll(&wait, 1, MillisecondsLeft(deadline)) != 1) {
            break;
        }
        char bytes[256];
        const ssize_t n = recv(fd, bytes, sizeof bytes, 0);
        if (n <= 0) {
            break;
        }
        answer.append(bytes, static_cast<size_t>(n));
    }
    const size_t end = answer.find("\r\n");
    return end == std::string::npos ? std::string() : answer.substr(0, end);
}

}  // namespace

std::string DiagnoseUrl(const std::string& url, int timeoutMs) {
    Target target;
    if (!Split(url, &target)) {
        return "it is not a URL";
    }
    if (target.scheme != "http" && target.scheme != "https") {
        return "the scheme " + target.scheme + ": is not supported (http and https are)";
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string why;
    const int fd = Connect(target, deadline, &why);
    if (fd < 0) {
        return why;
    }
    if (target.scheme == "https") {
        close(fd);
        return {};  // the host answers; what TLS says is in the library's log
    }
    const std::string status = StatusLine(fd, target, deadline);
    close(fd);
    // "HTTP/1.1 404 Not Found": say what the server said unless it offered the file.
    const size_t space = status.find(' ');
    if (space == std::string::npos) {
        return status.empty() ? std::string() : "the server answered \"" + status + "\"";
    }
    const std::string code = status.substr(space + 1, 3);
    if (code == "200" || code == "206") {
        return {};
    }
    return "the server answered " + status.substr(space + 1);
}
