// The agent layer: statistics reports to the report server as stream messages of category
// 0x0300, and the server's one-byte answers back to a listener.
#pragma once

#include <cstdint>

#include "foundation/object.h"
#include "stack/net_stack.h"

constexpr uint16_t kAgentCategory = 0x0300;
constexpr uint16_t kAgentReportType = 0x9A;
constexpr uint16_t kAgentAnswerType = 0x83;
constexpr uint32_t kAgentReportRecordSize = 298;
// One job's summary (stack/job_reporter.h); collectors that do not know it refuse it.
constexpr uint16_t kAgentJobReportType = 0x9B;
constexpr uint32_t kAgentMaxJobReport = 4096;

// What the agent layer tells its owner; every call carries the cookie given with the listener.
class nwIAgentListener {
  public:
    virtual void OnAgentConnected(uint32_t cookie) = 0;
    // code: the first payload byte of the server's answer.
    virtual void OnAgentReceived(uint32_t cookie, uint32_t code) = 0;
    virtual void OnAgentClosed(uint32_t cookie) = 0;
    virtual void OnAgentConnectTimeout(uint32_t cookie) = 0;
    virtual void OnAgentIdleTimeout(uint32_t cookie) = 0;

  protected:
    ~nwIAgentListener() = default;
};

// count records of kAgentReportRecordSize bytes each, copied opaquely.
struct vmAgentReportBlock {
    uint32_t count = 0;
    const void* records = nullptr;
};

class vmIAgentLayer : public vmIUnknown {
  public:
    // The listener is borrowed, never counted.
    virtual vmResult SetListener(nwIAgentListener* listener, uint32_t cookie) = 0;
    // One message of type 0x9A: the 32-bit count (little-endian) and the records. NW_FAIL for a
    // missing block or records, a report beyond the largest message, or when the connection
    // does not take the bytes.
    virtual vmResult SendReport(const vmAgentReportBlock* report) = 0;
    // One message of type 0x9B holding payload (at most kAgentMaxJobReport bytes).
    virtual vmResult SendJobReport(const void* payload, uint32_t length) = 0;
};

class nwCAgentLayer : public nwTLayer<vmIAgentLayer> {
  public:
    nwCAgentLayer();
    ~nwCAgentLayer() override;

    vmResult SetListener(nwIAgentListener* listener, uint32_t cookie) override;
    vmResult SendReport(const vmAgentReportBlock* report) override;
    vmResult SendJobReport(const void* payload, uint32_t length) override;

    bool OnConnected() override;
    void OnClosed() override;
    bool OnConnectTimeout() override;
    bool OnIdleTimeout() override;

  private:
    void Init();
    static void OnAnswer(const uint8_t* payload, uint32_t length, void* user);

    nwIAgentListener* listener_ = nullptr;
    uint32_t cookie_ = 0;
};
