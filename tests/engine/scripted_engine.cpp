#include "scripted_engine.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace ep = engine_protocol;

ScriptedEngine::ScriptedEngine() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        listen(listener_, 8) == 0 &&
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port_ = ntohs(address.sin_port);
    }
    if (pipe2(stopPipe_, O_CLOEXEC) != 0) {
        stopPipe_[0] = stopPipe_[1] = -1;
    }
    thread_ = std::thread([this] { Run(); });
}

ScriptedEngine::~ScriptedEngine() {
    const char byte = 1;
    if (write(stopPipe_[1], &byte, 1) != 1) {
        // the thread still ends at its next poll round
    }
    thread_.join();
    if (connection_ >= 0) {
        close(connection_);
    }
    close(listener_);
    close(stopPipe_[0]);
    close(stopPipe_[1]);
}

void ScriptedEngine::Run() {
    for (;;) {
        int connection = -1;
        int number = 0;
        {
            std::lock_guard lock(mutex_);
            connection = connection_;
            number = connections_;
        }
        pollfd fds[3] = {
            {stopPipe_[0], POLLIN, 0}, {listener_, POLLIN, 0}, {connection, POLLIN, 0}};
        if (poll(fds, connection >= 0 ? 3 : 2, 50) < 0) {
            continue;
        }
        if (fds[0].revents != 0) {
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            const int accepted = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (accepted >= 0) {
                std::lock_guard lock(mutex_);
                if (connection_ >= 0) {
                    close(connection_);
                }
                connection_ = accepted;
                ++connections_;
                peerClosed_ = false;
                closedByUs_ = false;
                buffer_.clear();
                changed_.notify_all();
                continue;
            }
        }
        if (connection >= 0 && fds[2].revents != 0) {
            ReadFrom(connection, number);
        }
    }
}

void ScriptedEngine::ReadFrom(int fd, int connection) {
    uint8_t chunk[65536];
    const ssize_t got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    std::lock_guard lock(mutex_);
    if (fd != connection_) {
        return;
    }
    if (got <= 0) {
        close(connection_);
        connection_ = -1;
        peerClosed_ = !closedByUs_;
        changed_.notify_all();
        return;
    }
    buffer_.insert(buffer_.end(), chunk, chunk + got);
    for (;;) {
        ep::FrameHeader header;
        const uint8_t* payload = nullptr;
        const int64_t used = ep::NextFrame(buffer_.data(), buffer_.size(), &header, &payload);
        if (used <= 0) {
            broken_ = broken_ || used < 0;
            break;
        }
        ep::LibraryMessage message;
        if (ep::DecodeLibraryMessage(header.category, header.type, payload, header.length,
                                     &message)) {
            messages_.push_back({connection, std::move(message)});
        } else {
            broken_ = true;
        }
        buffer_.erase(buffer_.begin(), buffer_.begin() + used);
    }
    changed_.notify_all();
}

bool ScriptedEngine::WaitConnections(int count, int timeoutMs) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return connections_ >= count; });
}

bool ScriptedEngine::WaitMessages(size_t count, int timeoutMs) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return messages_.size() >= count; });
}

bool ScriptedEngine::WaitPeerClosed(int timeoutMs) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return peerClosed_; });
}

std::vector<ScriptedEngine::Received> ScriptedEngine::Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

std::vector<uint16_t> ScriptedEngine::Types() const {
    std::vector<uint16_t> types;
    for (const Received& received : Messages()) {
        types.push_back(std::visit([](const auto& record) -> uint16_t { return record.kType; },
                                   received.message));
    }
    return types;
}

int ScriptedEngine::Connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

bool ScriptedEngine::SendBytes(const ep::Bytes& bytes) {
    std::lock_guard lock(mutex_);
    size_t done = 0;
    while (connection_ >= 0 && done < bytes.size()) {
        const ssize_t n = send(connection_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return connection_ >= 0 && done == bytes.size();
}

void ScriptedEngine::CloseConnection() {
    // Only the engine thread closes the descriptor (it may be in recv on it right now); a
    // shutdown ends the connection for both sides and wakes that thread, which then closes it.
    std::lock_guard lock(mutex_);
    if (connection_ >= 0) {
        shutdown(connection_, SHUT_RDWR);
        closedByUs_ = true;
    }
}
