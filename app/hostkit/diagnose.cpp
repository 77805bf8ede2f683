#include "hostkit/diagnose.h"

#include <arpa/inet.h>
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

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

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
    // As the library sends it: blanks, controls and non-ASCII bytes percent-encoded.
    std::string encoded;
    for (const unsigned char c : out->path) {
        if (c <= 0x20 || c >= 0x7f || c == '"') {
            static const char digits[] = "0123456789ABCDEF";
            encoded += '%';
            encoded += digits[c >> 4];
            encoded += digits[c & 15];
        } else {
            encoded += static_cast<char>(c);
        }
    }
    out->path = encoded;
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

// One connection, plain or TLS, with every wait bounded by the deadline.
class Channel {
  public:
    Channel(int fd, Clock::time_point deadline) : fd_(fd), deadline_(deadline) {}
    ~Channel() {
        if (ssl_ != nullptr) {
            SSL_free(ssl_);
        }
        if (context_ != nullptr) {
            SSL_CTX_free(context_);
        }
        close(fd_);
    }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // The TLS handshake with the peer's certificate checked for host as the library checks it;
    // empty on success, else why not.
    std::string StartTls(const Target& target) {
        context_ = SSL_CTX_new(TLS_client_method());
        if (context_ == nullptr) {
            return {};
        }
        SSL_CTX_set_min_proto_version(context_, TLS1_2_VERSION);
        SSL_CTX_set_default_verify_paths(context_);
        SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
        ssl_ = SSL_new(context_);
        if (ssl_ == nullptr) {
            return {};
        }
        SSL_set_fd(ssl_, fd_);
        SSL_set_hostflags(
            ssl_, X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        const std::string host = Unbracketed(target.host);
        if (!IsAddress(host)) {
            SSL_set_tlsext_host_name(ssl_, host.c_str());
        }
        SSL_set1_host(ssl_, host.c_str());
        while (true) {
            ERR_clear_error();
            const int result = SSL_connect(ssl_);
            if (result == 1) {
                return {};
            }
            const int error = SSL_get_error(ssl_, result);
            if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) &&
                Wait(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT)) {
                continue;
            }
            const long verify = SSL_get_verify_result(ssl_);
            if (verify != X509_V_OK) {
                return "the certificate of " + target.host + " is not trusted (" +
                       X509_verify_cert_error_string(verify) + ")";
            }
            if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
                // A plain http server waits for the rest of a request that never comes.
                return target.host + ":" + target.port +
                       " did not answer the TLS handshake (not a TLS server?)";
            }
            const unsigned long reason = ERR_peek_last_error();
            if (ERR_GET_REASON(reason) == SSL_R_WRONG_VERSION_NUMBER ||
                ERR_GET_REASON(reason) == SSL_R_UNKNOWN_PROTOCOL) {
                return target.host + ":" + target.port +
                       " does not speak TLS (a plain http server on an https URL?)";
            }
            char text[256] = "closed the connection";
            if (reason != 0) {
                ERR_error_string_n(reason, text, sizeof text);
            }
            return "the TLS handshake with " + target.host + ":" + target.port + " failed (" +
                   text + ")";
        }
    }

    bool SendAll(const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n;
            if (ssl_ != nullptr) {
                n = SSL_write(ssl_, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
                if (n <= 0) {
                    const int error = SSL_get_error(ssl_, static_cast<int>(n));
                    if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) &&
                        Wait(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT)) {
                        continue;
                    }
                    return false;
                }
            } else {
                if (!Wait(POLLOUT)) {
                    return false;
                }
                n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    return false;
                }
            }
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    // Some bytes, or 0 at the end, a failure or the deadline.
    ssize_t Receive(char* bytes, size_t size) {
        while (true) {
            if (ssl_ != nullptr) {
                const int n = SSL_read(ssl_, bytes, static_cast<int>(size));
                if (n > 0) {
                    return n;
                }
                const int error = SSL_get_error(ssl_, n);
                if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) &&
                    Wait(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT)) {
                    continue;
                }
                return 0;
            }
            if (!Wait(POLLIN)) {
                return 0;
            }
            const ssize_t n = recv(fd_, bytes, size, 0);
            return n > 0 ? n : 0;
        }
    }

  private:
    bool Wait(short events) {
        pollfd wait{fd_, events, 0};
        return poll(&wait, 1, MillisecondsLeft(deadline_)) == 1;
    }
    static std::string Unbracketed(const std::string& host) {
        return host.size() > 2 && host.front() == '[' && host.back() == ']'
                   ? host.substr(1, host.size() - 2)
                   : host;
    }
    static bool IsAddress(const std::string& host) {
        unsigned char address[16];
        return inet_pton(AF_INET, host.c_str(), address) == 1 ||
               inet_pton(AF_INET6, host.c_str(), address) == 1;
    }

    int fd_;
    Clock::time_point deadline_;
    SSL_CTX* context_ = nullptr;
    SSL* ssl_ = nullptr;
};

// The status line of a GET of target.path, or empty.
std::string StatusLine(Channel& channel, const Target& target) {
    const std::string request = "GET " + target.path + " HTTP/1.1\r\nHost: " + target.host +
                                "\r\nRange: bytes=0-0\r\nConnection: close\r\n\r\n";
    if (!channel.SendAll(request)) {
        return {};
    }
    std::string answer;
    while (answer.find("\r\n") == std::string::npos && answer.size() < 1024) {
        char bytes[256];
        const ssize_t n = channel.Receive(bytes, sizeof bytes);
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
    Channel channel(fd, deadline);
    if (target.scheme == "https") {
        why = channel.StartTls(target);
        if (!why.empty()) {
            return why;
        }
    }
    const std::string status = StatusLine(channel, target);
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

CUrlDiagnosis DiagnoseFirstFault(const std::vector<std::string>& urls, int totalMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(totalMs);
    for (const std::string& url : urls) {
        const int left = std::min(MillisecondsLeft(deadline), 3000);
        if (left <= 0) {
            break;
        }
        std::string why = DiagnoseUrl(url, left);
        if (!why.empty()) {
            return {url, std::move(why)};
        }
    }
    return {};
}
