// Statistics reports of the direct download: blocks of 298-byte file records sent as agent
// messages to the report server, which acknowledges each. Blocks wait in a queue until a
// connection takes them.
//
// Runs on the worker thread inside the library mutex.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "foundation/object.h"
#include "foundation/paths.h"
#include "stack/agent_layer.h"
#include "stack/qos_context.h"

class CPlatformReporter final : public nwIAgentListener {
  public:
    static constexpr uint16_t kDefaultPort = kReportPort;
    static constexpr uint32_t kConnectTimeoutSeconds = 5;
    static constexpr uint32_t kIdleLimitTicks = 5;
    // Blocks kept while the server cannot be reached; the oldest go first.
    static constexpr size_t kMaxQueuedBlocks = 64;

    CPlatformReporter() = default;
    ~CPlatformReporter();
    CPlatformReporter(const CPlatformReporter&) = delete;
    CPlatformReporter& operator=(const CPlatformReporter&) = delete;

    // Queues a copy of count records (count * 298 bytes) and makes sure they are sent.
    void Report(const uint8_t* records, uint32_t count);

    size_t QueuedBlocks() const { return queue_.size(); }
    bool IsConnected() const { return static_cast<bool>(connection_); }

    void OnAgentConnected(uint32_t cookie) override;
    void OnAgentReceived(uint32_t cookie, uint32_t code) override;
    void OnAgentClosed(uint32_t cookie) override;
    void OnAgentConnectTimeout(uint32_t cookie) override;
    void OnAgentIdleTimeout(uint32_t cookie) override;

  private:
    struct Block {
        uint32_t count = 0;
        std::vector<uint8_t> records;
    };

    void Connect();
    void SendQueue();
    void CloseContext();
    void Forget();

    vmSmartPtr<vmIQoSContext> connection_;
    vmIAgentLayer* layer_ = nullptr;  // owned by the context
    std::deque<Block> queue_;
    // Reports sent on this connection and not yet acknowledged: closing before their
    // acknowledgement could cut them off.
    uint32_t awaitingAcks_ = 0;
};
