// The engine program as a child process of a test, and a small client of its protocol: blocking
// loopback sockets and the shared codec, every wait bounded.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/engine_protocol.h"

class EngineProcess {
  public:
    // Starts TEVDownloadV32 on a free port and waits for its readiness byte.
    explicit EngineProcess(std::vector<std::pair<std::string, std::string>> environment = {},
                           uint16_t port = 0);
    ~EngineProcess();  // SIGKILL if still running
    EngineProcess(const EngineProcess&) = delete;
    EngineProcess& operator=(const EngineProcess&) = delete;

    bool Ready() const { return ready_; }
    pid_t Pid() const { return pid_; }
    uint16_t Port() const { return port_; }
    void Signal(int signal);
    // Waits for the process to end; its exit status, or nullopt after timeoutMs.
    std::optional<int> Wait(int timeoutMs);

  private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    bool ready_ = false;
};

class EngineClient {
  public:
    // Connects to 127.0.0.1:port; from a chosen local address and port when fromAddress is given.
    explicit EngineClient(uint16_t port, const char* fromAddress = nullptr, uint16_t fromPort = 0);
    ~EngineClient();
    EngineClient(const EngineClient&) = delete;
    EngineClient& operator=(const EngineClient&) = delete;

    bool Connected() const { return fd_ >= 0; }
    uint16_t LocalPort() const;
    template <typename Record>
    bool Send(const Record& record) {
        engine_protocol::Bytes frame;
        return engine_protocol::EncodeFrame(record, &frame) && SendBytes(frame);
    }
    bool SendBytes(const engine_protocol::Bytes& bytes);
    // The next message, or nullopt on time-out, close or a message that does not decode.
    std::optional<engine_protocol::EngineMessage> Receive(int timeoutMs = 20000);
    // Receives until a message of type T arrives (others are kept in seen()).
    template <typename T>
    std::optional<T> ReceiveUntil(int timeoutMs = 20000) {
        while (std::optional<engine_protocol::EngineMessage> message = Receive(timeoutMs)) {
            seen_.push_back(*message);
            if (const T* wanted = std::get_if<T>(&*message)) {
                return *wanted;
            }
        }
        return std::nullopt;
    }
    const std::vector<engine_protocol::EngineMessage>& seen() const { return seen_; }
    // True when the engine closed the connection within timeoutMs.
    bool ClosedByPeer(int timeoutMs);

  private:
    int fd_ = -1;
    std::string in_;
    std::vector<engine_protocol::EngineMessage> seen_;
    bool closed_ = false;
};

// A one-message file list for a job.
engine_protocol::FileList MakeList(uint32_t job,
                                   const std::vector<engine_protocol::FileRecord>& files);
engine_protocol::FileRecord MakeRecord(const std::string& folder, const std::string& name,
                                       const std::string& url, uint64_t size = UINT64_MAX);

// A loopback TCP relay in front of a server that counts the bytes the server sent through it:
// what a client really moved, whatever the client keeps in its own buffers.
class CountingRelay {
  public:
    explicit CountingRelay(uint16_t upstreamPort);
    ~CountingRelay();  // closes every connection and joins its threads
    CountingRelay(const CountingRelay&) = delete;
    CountingRelay& operator=(const CountingRelay&) = delete;

    bool Ok() const { return listenFd_ >= 0; }
    uint16_t Port() const { return port_; }
    uint64_t BytesToClients() const { return toClients_; }
    // Connections open now (a client's idle keep-alive connection counts).
    int OpenConnections() const { return open_; }

  private:
    void AcceptLoop();
    void Pump(int client, int server);

    uint16_t upstreamPort_ = 0;
    uint16_t port_ = 0;
    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::atomic<uint64_t> toClients_{0};
    std::atomic<int> open_{0};
    std::thread acceptor_;
    std::vector<std::thread> pumps_;
};
