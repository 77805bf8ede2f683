// Job reports: one summary per job (which path carried it, bytes from the servers and from peers,
// connections, mirror, engine version, failure text) sent as an agent message of type 0x9B to the
// report server, next to the direct downloader's 298-byte records. A report never holds up a
// job: it is queued and sent on the worker thread, and a server that cannot be reached in the
// connect time-out, or that does not answer within the idle limit, costs the reports in flight
// and nothing else (dropped, and the log says so).
//
// Runs on the worker thread inside the library mutex.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "foundation/object.h"
#include "stack/agent_layer.h"
#include "stack/qos_context.h"

struct vmJobReport {
    static constexpr uint8_t kPathEngine = 1;
    static constexpr uint8_t kPathDirect = 2;
    static constexpr uint8_t kCompleted = 1;
    static constexpr uint8_t kFailed = 2;
    static constexpr uint8_t kStopped = 3;
    static constexpr uint8_t kMoved = 4;  // the engine handed the job to the direct downloader

    uint8_t path = kPathEngine;
    uint8_t outcome = kCompleted;
    uint32_t files = 0;
    uint32_t filesCompleted = 0;
    uint32_t connections = 0;
    uint64_t durationMs = 0;
    int64_t bytesFromServers = 0;
    int64_t bytesFromPeers = 0;
    int64_t totalBytes = 0;
    std::string serviceId;
    std::string url;
    std::string mirror;
    std::string engineVersion;
    std::string failure;
};

// The payload of a 0x9B message: u16 format 1, u8 path, u8 outcome, u32 files, u32 files
// completed, u32 connections, u64 duration ms, i64 bytes from servers, i64 from peers, i64 total,
// then service id (32), URL (2048), mirror (255), engine version (32) and failure (1024), each
// a u16 length and at most that many bytes (NUL bytes become spaces).
std::vector<uint8_t> EncodeJobReport(const vmJobReport& report);

class CJobReporter final : public nwIAgentListener {
  public:
    static constexpr uint32_t kConnectTimeoutSeconds = 5;
    static constexpr uint32_t kIdleLimitTicks = 5;
    // Reports kept while a connection is being made; beyond it the oldest is dropped.
    static constexpr size_t kMaxQueued = 32;

    CJobReporter() = default;
    ~CJobReporter();
    CJobReporter(const CJobReporter&) = delete;
    CJobReporter& operator=(const CJobReporter&) = delete;

    // Queues the report and makes sure it is sent.
    void Report(const vmJobReport& report);

    size_t Queued() const { return queue_.size(); }
    uint32_t AwaitingAnswers() const { return awaitingAcks_; }
    bool IsConnected() const { return static_cast<bool>(connection_); }

    void OnAgentConnected(uint32_t cookie) override;
    void OnAgentReceived(uint32_t cookie, uint32_t code) override;
    void OnAgentClosed(uint32_t cookie) override;
    void OnAgentConnectTimeout(uint32_t cookie) override;
    void OnAgentIdleTimeout(uint32_t cookie) override;

  private:
    void Connect();
    void SendQueue();
    // Closes the connection and drops what it had not delivered, naming why in the log.
    void GiveUp(const char* why);
    void Forget();

    vmSmartPtr<vmIQoSContext> connection_;
    vmIAgentLayer* layer_ = nullptr;  // owned by the context
    std::deque<std::vector<uint8_t>> queue_;
    uint32_t awaitingAcks_ = 0;
    std::string server_;  // host:port of the connection, for the log
};
