// Shared pieces of the stack tests: a recording layer, a context fixture on a worker loop, and
// peers that misbehave in the ways connections meet.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "stack/net_stack.h"
#include "stack/qos_context.h"
#include "support/loop_thread.h"
#include "support/tcp_peer.h"
#include "support/test_data.h"

// The public interface of the recording layer.
class vmITestLayer : public vmIUnknown {};

// Records what the context tells it; consumes everything unless a test says otherwise.
class TestLayer : public nwTLayer<vmITestLayer> {
  public:
    static constexpr uint32_t kClassId = 0x7F01;
    static void Register();

    bool OnConnected() override;
    bool OnHostUnreachable() override;
    int32_t OnData(const uint8_t* data, uint32_t length) override;
    void OnClosed() override;
    bool OnConnectTimeout() override;
    bool OnSendQueueEmpty() override;
    bool OnIdleTimeout() override;

    bool Saw(const std::string& event) const;

    std::vector<std::string> events;
    std::string received;  // what it consumed, in order
    uint32_t offers = 0;
    // Replaces "consume all": answers what OnData returns (and appends what it consumed).
    std::function<int32_t(const uint8_t*, uint32_t)> consume;
    std::function<void()> onClosed;
};

class ContextTest : public ::testing::Test {
  protected:
    void SetUp() override { TestLayer::Register(); }

    // A context opened with the action and flags, with a TestLayer on top.
    vmSmartPtr<vmIQoSContext> NewContext(uint32_t action, uint32_t flags);
    // A context opened on a connected socket made by the test (it takes the descriptor).
    vmSmartPtr<vmIQoSContext> OpenOnSocket(uint32_t action, int fd);
    TestLayer* LayerOf(const vmSmartPtr<vmIQoSContext>& context);
    uint32_t StateOf(const vmSmartPtr<vmIQoSContext>& context);
    void Connect(const vmSmartPtr<vmIQoSContext>& context, uint16_t port);
    // Waits (real time, bounded) until the layer saw the event.
    bool WaitForEvent(const vmSmartPtr<vmIQoSContext>& context, const std::string& event);
    bool WaitForReceived(const vmSmartPtr<vmIQoSContext>& context, size_t bytes);
    size_t ReceivedSize(const vmSmartPtr<vmIQoSContext>& context);
    std::string ReceivedBy(const vmSmartPtr<vmIQoSContext>& context);
    std::vector<std::string> EventsOf(const vmSmartPtr<vmIQoSContext>& context);
    // Lets every message already queued on the loop run (posted events, socket notifications).
    void Settle();
    // Closes and drops the context on the loop.
    void Finish(vmSmartPtr<vmIQoSContext>& context);

    LoopThread loop_;
};

// A loopback listener whose accept queue is full: connects to it never complete.
class UnansweredListener {
  public:
    UnansweredListener();
    ~UnansweredListener();
    uint16_t Port() const { return port_; }

  private:
    int fd_ = -1;
    int filler_ = -1;
    uint16_t port_ = 0;
};
