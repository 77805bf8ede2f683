// The engine program as a child process of a test, and a small client of its protocol: blocking
// loopback sockets and the shared codec, every wait bounded.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
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

uint16_t FreeLoopbackPort();

class EngineClient {
  public:
    explicit EngineClient(uint16_t port);
    ~EngineClient();
    EngineClient(const EngineClient&) = delete;
    EngineClient& operator=(const EngineClient&) = delete;

    bool Connected() const { return fd_ >= 0; }
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
