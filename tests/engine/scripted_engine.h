// A scripted local engine for the engine downloader's tests: it listens on a free loopback port,
// decodes what the library sends with the shared codec and records it, and sends what the test
// tells it to. One connection at a time, the newest; real sockets on a thread of its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <variant>
#include <vector>

#include "engine/engine_protocol.h"

class ScriptedEngine {
  public:
    struct Received {
        int connection = 0;  // from 1, in the order accepted
        engine_protocol::LibraryMessage message;
    };

    ScriptedEngine();
    ~ScriptedEngine();
    ScriptedEngine(const ScriptedEngine&) = delete;
    ScriptedEngine& operator=(const ScriptedEngine&) = delete;

    uint16_t Port() const { return port_; }

    // Real time; false when it did not happen within timeoutMs.
    bool WaitConnections(int count, int timeoutMs = 5000);
    bool WaitMessages(size_t count, int timeoutMs = 5000);
    // The library closed the current connection.
    bool WaitPeerClosed(int timeoutMs = 5000);
    std::vector<Received> Messages() const;
    // The types of the messages received so far, in order.
    std::vector<uint16_t> Types() const;
    int Connections() const;
    // The newest message when it is a Record.
    template <class Record>
    std::optional<Record> Last() const {
        const std::vector<Received> messages = Messages();
        if (messages.empty() || !std::holds_alternative<Record>(messages.back().message)) {
            return std::nullopt;
        }
        return std::get<Record>(messages.back().message);
    }
    // Bytes that came in but did not decode as a message of the library.
    bool SawBrokenBytes() const { return broken_.load(); }

    // On the current connection.
    template <class Record>
    bool Send(const Record& record) {
        engine_protocol::Bytes frame;
        return engine_protocol::EncodeFrame(record, &frame) && SendBytes(frame);
    }
    bool SendBytes(const engine_protocol::Bytes& bytes);
    void CloseConnection();

  private:
    void Run();
    void ReadFrom(int fd, int connection);

    int listener_ = -1;
    uint16_t port_ = 0;
    int stopPipe_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int connection_ = -1;
    int connections_ = 0;
    bool peerClosed_ = false;
    bool closedByUs_ = false;  // CloseConnection shut the connection down
    engine_protocol::Bytes buffer_;
    std::vector<Received> messages_;
    std::atomic<bool> broken_{false};
    std::thread thread_;
};
