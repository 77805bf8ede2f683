// tev-report-load: a load generator for the report collector. N clients connect at once; each
// sends M report messages of R records, one at a time, waiting for the acknowledgement of each,
// and then closes. Prints one line of figures:
//   clients=N failed=F messages=... rows=... seconds=... rows_per_s=... p50_ms=... p99_ms=...
//   peak_open=...
// A client fails when its connection breaks, the answer is not the acknowledgement, or it is
// not done within the time limit.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "report_collector/report_frame.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kUsage =
    "Usage: tev-report-load --port N [--host ADDR] [--clients N] [--messages M] [--records R]\n"
    "                       [--timeout S]\n"
    "\n"
    "N clients (default 100) connect to the report collector at once; each sends M report\n"
    "messages (default 10) of R records (default 10), waiting for each acknowledgement, then\n"
    "closes. Clients not done after S seconds (default 120) count as failed.\n";

struct Client {
    int fd = -1;
    bool connected = false;
    bool done = false;
    int acked = 0;
    size_t sentBytes = 0;  // of the message being sent
    std::string in;
    Clock::time_point sentAt;
};

bool ParseNumber(const char* text, long long* value) {
    const char* end = text + std::strlen(text);
    const auto [rest, error] = std::from_chars(text, end, *value);
    return error == std::errc() && rest == end && *value > 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    long long port = 0;
    long long clients = 100;
    long long messages = 10;
    long long records = 10;
    long long timeoutSeconds = 120;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "tev-report-load: missing value for %s\n%s", option.c_str(),
                         kUsage);
            return 2;
        }
        const char* value = argv[++i];
        long long* target = option == "--port"       ? &port
                            : option == "--clients"  ? &clients
                            : option == "--messages" ? &messages
                            : option == "--records"  ? &records
                            : option == "--timeout"  ? &timeoutSeconds
                                                     : nullptr;
        if (option == "--host") {
            host = value;
        } else if (target == nullptr || !ParseNumber(value, target)) {
            std::fprintf(stderr, "tev-report-load: bad option %s %s\n%s", option.c_str(), value,
                         kUsage);
            return 2;
        }
    }
    if (port <= 0 || port > 65535) {
        std::fprintf(stderr, "tev-report-load: --port is required\n%s", kUsage);
        return 2;
    }

    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }

    std::vector<tev::tools::ReportRecord> batch;
    for (long long r = 0; r < records; ++r) {
        batch.push_back({"load-service", "http://127.0.0.1/load/file-" + std::to_string(r) + ".bin",
                         1048576 + r, 1});
    }
    const std::string message = tev::tools::BuildReportMessage(batch);
    const std::string ack = tev::tools::BuildReportAck();

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        std::fprintf(stderr, "tev-report-load: bad host %s\n", host.c_str());
        return 2;
    }

    const int epollFd = epoll_create1(EPOLL_CLOEXEC);
    std::vector<Client> all(static_cast<size_t>(clients));
    std::vector<double> latenciesMs;
    latenciesMs.reserve(static_cast<size_t>(clients * messages));
    long long failed = 0;
    long long finished = 0;
    size_t open = 0;
    size_t peakOpen = 0;

    const auto finish = [&](size_t index, bool ok) {
        Client& client = all[index];
        if (client.done) {
            return;
        }
        client.done = true;
        ++finished;
        failed += ok ? 0 : 1;
        if (client.fd >= 0) {
            close(client.fd);  // also leaves the epoll set
            client.fd = -1;
            --open;
        }
    };
    const auto sendRest = [&](size_t index) {
        Client& client = all[index];
        while (client.sentBytes < message.size()) {
            const ssize_t sent = send(client.fd, message.data() + client.sentBytes,
                                      message.size() - client.sentBytes, MSG_NOSIGNAL);
            if (sent < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    return;
                }
                finish(index, false);
                return;
            }
            client.sentBytes += static_cast<size_t>(sent);
        }
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = index;
        epoll_ctl(epollFd, EPOLL_CTL_MOD, client.fd, &event);
    };
    const auto sendNext = [&](size_t index) {
        Client& client = all[index];
        client.sentBytes = 0;
        client.sentAt = Clock::now();
        epoll_event event{};
        event.events = EPOLLOUT;
        event.data.u64 = index;
        epoll_ctl(epollFd, EPOLL_CTL_MOD, client.fd, &event);
        sendRest(index);
    };

    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(timeoutSeconds);
    for (size_t i = 0; i < all.size(); ++i) {
        Client& client = all[i];
        client.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (client.fd < 0) {
            std::fprintf(stderr, "tev-report-load: socket: %s\n", std::strerror(errno));
            finish(i, false);
            continue;
        }
        ++open;
        peakOpen = std::max(peakOpen, open);
        const int yes = 1;
        setsockopt(client.fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        if (connect(client.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
            errno != EINPROGRESS) {
            finish(i, false);
            continue;
        }
        epoll_event event{};
        event.events = EPOLLOUT;
        event.data.u64 = i;
        epoll_ctl(epollFd, EPOLL_CTL_ADD, client.fd, &event);
    }

    std::vector<epoll_event> events(1024);
    char buffer[4096];
    while (finished < clients && Clock::now() < deadline) {
        const int count = epoll_wait(epollFd, events.data(), static_cast<int>(events.size()), 200);
        for (int e = 0; e < count; ++e) {
            const size_t index = events[e].data.u64;
            Client& client = all[index];
            if (client.done) {
                continue;
            }
            if (!client.connected) {
                int error = 0;
                socklen_t length = sizeof error;
                getsockopt(client.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error != 0) {
                    finish(index, false);
                    continue;
                }
                client.connected = true;
                sendNext(index);
                continue;
            }
            if ((events[e].events & EPOLLOUT) != 0 && client.sentBytes < message.size()) {
                sendRest(index);
                continue;
            }
            const ssize_t received = recv(client.fd, buffer, sizeof buffer, 0);
            if (received <= 0) {
                if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    continue;
                }
                finish(index, false);
                continue;
            }
            client.in.append(buffer, static_cast<size_t>(received));
            if (client.in.size() < ack.size()) {
                continue;
            }
            if (client.in.compare(0, ack.size(), ack) != 0 || client.in.size() > ack.size()) {
                finish(index, false);  // not the answer, or answers nobody asked for
                continue;
            }
            client.in.clear();
            latenciesMs.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - client.sentAt).count());
            if (++client.acked == messages) {
                finish(index, true);
            } else {
                sendNext(index);
            }
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (size_t i = 0; i < all.size(); ++i) {
        finish(i, false);  // not done in time
    }
    close(epollFd);

    long long ackedMessages = 0;
    for (const Client& client : all) {
        ackedMessages += client.acked;
    }
    std::sort(latenciesMs.begin(), latenciesMs.end());
    const auto percentile = [&](double p) {
        if (latenciesMs.empty()) {
            return 0.0;
        }
        const size_t at =
            std::min(latenciesMs.size() - 1,
                     static_cast<size_t>(p * static_cast<double>(latenciesMs.size())));
        return latenciesMs[at];
    };
    const long long rows = ackedMessages * records;
    std::printf(
        "clients=%lld failed=%lld messages=%lld rows=%lld seconds=%.3f rows_per_s=%.0f "
        "p50_ms=%.2f p99_ms=%.2f peak_open=%zu\n",
        clients, failed, ackedMessages, rows, seconds, static_cast<double>(rows) / seconds,
        percentile(0.50), percentile(0.99), peakOpen);
    return failed == 0 ? 0 : 1;
}
