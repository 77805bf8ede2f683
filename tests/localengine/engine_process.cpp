#include "localengine/engine_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "support/tcp_peer.h"

extern char** environ;

namespace ep = engine_protocol;

namespace {

int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

EngineProcess::EngineProcess(std::vector<std::pair<std::string, std::string>> environment,
                             uint16_t port) {
    port_ = port != 0 ? port : FreeLoopbackPort();
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        return;
    }
    std::vector<std::string> variables;
    environment.emplace_back("TEV_ENGINE_PORT", std::to_string(port_));
    environment.emplace_back("TEV_READY_FD", std::to_string(ready[1]));
    for (const auto& [name, value] : environment) {
        variables.push_back(name + "=" + value);
    }
    // The test's own variables but those given here (getenv finds the first of a name).
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string variable(*e);
        const std::string name = variable.substr(0, variable.find('='));
        if (std::none_of(environment.begin(), environment.end(),
                         [&](const auto& given) { return given.first == name; })) {
            variables.push_back(variable);
        }
    }
    std::vector<char*> envp;
    for (std::string& v : variables) {
        envp.push_back(v.data());
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The write end stays open in the child only: dup2 onto itself clears close-on-exec.
    posix_spawn_file_actions_adddup2(&actions, ready[1], ready[1]);
    char program[] = TEV_ENGINE_PROGRAM;
    char* argv[] = {program, nullptr};
    const int spawned = posix_spawn(&pid_, program, &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(ready[1]);
    if (spawned != 0) {
        pid_ = -1;
        close(ready[0]);
        return;
    }
    pollfd wait{ready[0], POLLIN, 0};
    char byte = 0;
    ready_ = poll(&wait, 1, 10000) == 1 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
}

EngineProcess::~EngineProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

void EngineProcess::Signal(int signal) {
    if (pid_ > 0) {
        kill(pid_, signal);
    }
}

std::optional<int> EngineProcess::Wait(int timeoutMs) {
    const int64_t end = NowMs() + timeoutMs;
    while (pid_ > 0) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (NowMs() >= end) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
}

EngineClient::EngineClient(uint16_t port, const char* fromAddress, uint16_t fromPort) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fromAddress != nullptr) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_port = htons(fromPort);
        if (inet_pton(AF_INET, fromAddress, &from.sin_addr) != 1 ||
            bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
            close(fd_);
            fd_ = -1;
            return;
        }
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

EngineClient::~EngineClient() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

uint16_t EngineClient::LocalPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (fd_ < 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

bool EngineClient::SendBytes(const ep::Bytes& bytes) {
    size_t sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return fd_ >= 0;
}

std::optional<ep::EngineMessage> EngineClient::Receive(int timeoutMs) {
    const int64_t end = NowMs() + timeoutMs;
    while (fd_ >= 0) {
        ep::FrameHeader header;
        const uint8_t* payload = nullptr;
        const int64_t taken = ep::NextFrame(reinterpret_cast<const uint8_t*>(in_.data()),
                                            in_.size(), &header, &payload);
        if (taken < 0) {
            return std::nullopt;
        }
        if (taken > 0) {
            ep::EngineMessage message;
            const bool ok = ep::DecodeEngineMessage(header.category, header.type, payload,
                                                    header.length, &message);
            in_.erase(0, static_cast<size_t>(taken));
            if (!ok) {
                return std::nullopt;
            }
            return message;
        }
        if (closed_) {
            return std::nullopt;
        }
        const int64_t left = end - NowMs();
        pollfd wait{fd_, POLLIN, 0};
        if (left <= 0 || poll(&wait, 1, static_cast<int>(left)) != 1) {
            return std::nullopt;
        }
        char buffer[65536];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            closed_ = true;
            continue;
        }
        in_.append(buffer, static_cast<size_t>(n));
    }
    return std::nullopt;
}

bool EngineClient::ClosedByPeer(int timeoutMs) {
    const int64_t end = NowMs() + timeoutMs;
    while (!closed_ && fd_ >= 0) {
        const int64_t left = end - NowMs();
        pollfd wait{fd_, POLLIN, 0};
        if (left <= 0 || poll(&wait, 1, static_cast<int>(left)) != 1) {
            return false;
        }
        char buffer[65536];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            closed_ = true;
        } else {
            in_.append(buffer, static_cast<size_t>(n));
        }
    }
    return closed_;
}

ep::FileList MakeList(uint32_t job, const std::vector<ep::FileRecord>& files) {
    ep::FileList list;
    list.job = job;
    list.serviceId = "test";
    list.files = files;
    return list;
}

ep::FileRecord MakeRecord(const std::string& folder, const std::string& name,
                          const std::string& url, uint64_t size) {
    ep::FileRecord record;
    record.folder = folder.back() == '/' ? folder : folder + "/";
    record.name = name;
    record.url = url;
    record.size = size;
    return record;
}

CountingRelay::CountingRelay(uint16_t upstreamPort) : upstreamPort_(upstreamPort) {
    if (pipe2(stopPipe_, O_CLOEXEC) != 0) {
        return;
    }
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listenFd_, 64) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(listenFd_);
        listenFd_ = -1;
        return;
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

CountingRelay::~CountingRelay() {
    if (stopPipe_[1] >= 0) {
        close(stopPipe_[1]);  // every poll below sees the pipe's end
    }
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    for (std::thread& pump : pumps_) {
        pump.join();
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
    }
    if (stopPipe_[0] >= 0) {
        close(stopPipe_[0]);
    }
}

void CountingRelay::AcceptLoop() {
    while (true) {
        pollfd waits[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(waits, 2, -1) < 0 || waits[1].revents != 0) {
            return;
        }
        const int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(upstreamPort_);
        if (connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(server);
            close(client);
            continue;
        }
        ++open_;
        pumps_.emplace_back([this, client, server] { Pump(client, server); });
    }
}

void CountingRelay::Pump(int client, int server) {
    const timeval limit{0, 100000};
    setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    setsockopt(server, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    char buffer[65536];
    bool open = true;
    while (open) {
        pollfd waits[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(waits, 3, -1) < 0 || waits[2].revents != 0) {
            break;
        }
        for (int side = 0; side < 2 && open; ++side) {
            if (waits[side].revents == 0) {
                continue;
            }
            const int from = side == 0 ? client : server;
            const int to = side == 0 ? server : client;
            const ssize_t n = recv(from, buffer, sizeof buffer, 0);
            if (n <= 0) {
                open = false;
                break;
            }
            // Blocking: a client that stops reading stops the relay reading from the server.
            size_t sent = 0;
            while (sent < static_cast<size_t>(n)) {
                const ssize_t m =
                    send(to, buffer + sent, static_cast<size_t>(n) - sent, MSG_NOSIGNAL);
                if (m < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    pollfd stop{stopPipe_[0], POLLIN, 0};
                    if (poll(&stop, 1, 0) == 0) {
                        continue;  // the client reads slowly: wait on, unless the relay ends
                    }
                }
                if (m <= 0) {
                    open = false;
                    break;
                }
                sent += static_cast<size_t>(m);
                if (side == 1) {
                    toClients_ += static_cast<uint64_t>(m);
                }
            }
        }
    }
    close(client);
    close(server);
    --open_;
}
