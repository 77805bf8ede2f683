// cpCQoSContext: the connection context behind vmIQoSContext (class id 0x100A).
//
// Its count is atomic: the registry, the collector and download objects all hold references.
// Every entry that can end in Close (socket events, posted events, the tick, the connect timer,
// sends and closes from owners) holds a reference of its own for the call, because closing drops
// the registry's reference and a layer's listener may drop the owner's.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "foundation/clock.h"
#include "foundation/timer.h"
#include "stack/net_stack.h"
#include "stack/qos_action.h"
#include "stack/qos_context.h"
#include "stack/stream_dispatcher.h"

class cpCQoSContext final : public vmTObject<vmIQoSContext, std::atomic<uint32_t>> {
  public:
    cpCQoSContext() = default;
    ~cpCQoSContext() override;

    // Bytes of received data held (tests: a closed context keeps none).
    uint32_t ReceiveCapacity() const { return receive_.capacity; }

    // vmIUnknown: asks the top layer.
    vmResult QueryInterface(uint32_t iid, void** out) override;

    // vmIQoSContext
    vmResult Open(uint32_t actionType, uint32_t flags, cpSocketRecordPtr accepted) override;
    vmResult SetActionLimit(uint32_t direction, uint32_t bytesPerSecond) override;
    vmResult GetActionQuota(uint32_t direction, uint32_t* out) override;
    vmResult SetActionQuota(uint32_t direction, uint32_t bytes) override;
    vmResult SetAction(uint32_t actionType) override;
    vmResult SetFlags(uint32_t flags) override;
    vmResult AddFlags(uint32_t flags) override;
    vmResult RemoveFlags(uint32_t flags) override;
    vmResult SetOption(uint32_t option, const uint32_t* value) override;
    vmResult GetState(uint32_t* state) override;
    vmResult Connect(const cpAddress* address) override;
    vmResult ConnectAlt(const cpAddress* address) override { return Connect(address); }
    vmResult Send(nwIQoSNetStack* from, const void* data, uint32_t length) override;
    vmResult AddLayer(uint32_t classId, bool atBottom) override;
    vmResult GetLayer(uint32_t classId, vmIUnknown** out) override;
    vmResult RearmNotifications() override;
    vmResult RegisterHandler(uint16_t category, uint16_t type, nwStreamHandler callback,
                             void* user) override;
    vmResult SetRemoteAddress(const cpAddress* address) override;
    vmResult GetRemoteAddress(cpAddress* out) override;
    vmResult GetLocalAddress(cpAddress* out) override;
    vmResult Close() override;
    vmResult PostClose() override;
    vmIUnknown* GetTopLayer() override;
    vmResult NotifyLayerConnected(nwIQoSNetStack* layer) override;
    int32_t PassUp(nwIQoSNetStack* layer, const uint8_t* data, uint32_t length) override;
    vmResult GetSendBlock(const uint8_t** data, uint32_t* length) override;
    vmResult SendRaw(const void* data, uint32_t length) override;
    vmResult GetReceiveRate(uint32_t* out) override;
    vmResult GetSendRate(uint32_t* out) override;
    vmResult GetQueuedSendBytes(uint32_t* out) override;
    vmResult GetHostName(const char** out) override;
    vmResult SetHostName(const char* name) override;
    vmResult ReportAddressGood() override;
    vmResult ReportAddressBad() override;

    // cpIQoSHandler: the event loop's entries.
    void OnReadable() override;
    void OnWritable() override;
    void OnConnected() override;
    void OnRemoteClosed() override;
    void OnConnectRefused() override;
    void OnHostUnreachable() override;
    void OnPostedEvent(cpSocketRecord* record) override;
    void OnTick() override;

    // For diagnostics and tests.
    const cpCQoSContextAction* Action() const { return action_.get(); }
    const cpQoSCounters& Counters() const { return counters_; }

  private:
    struct Layer {
        vmSmartPtr<vmIUnknown> object;  // the public interface
        nwIQoSNetStack* stack = nullptr;
        uint32_t classId = 0;
    };
    // Bytes moved since a stamp taken when the count started.
    struct RateMeter {
        cpTimeStamp stamp;
        uint32_t count = 0;
        void Add(uint32_t n);
        uint32_t Take();
    };

    void StartConnectTimer();
    void StopConnectTimer();
    void OnConnectFailed();
    void PostEvent(uint32_t event);
    void RaiseEvent(uint32_t event);
    void LoadNextBlock();
    bool Flush();
    void Deliver();
    bool Closed() const { return state_ == kQoSStateClosing || state_ == kQoSStateClosed; }
    // Position of the layer in the chain, -1 when it is not there.
    int IndexOf(const nwIQoSNetStack* layer) const;
    // Offers a call to the layers from the bottom up while they answer true. The walk runs over
    // a copy of the chain: a layer may add layers while it is called.
    template <class Fn>
    void OfferBottomUp(Fn fn) const {
        const std::vector<Layer> chain = chain_;
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            if (!fn(it->stack)) {
                return;
            }
        }
    }

    cpSendBlock current_;
    cpReceiveBuffer receive_;
    cpSocketRecordPtr record_;
    uint32_t idleLimit_ = kQoSDefaultIdleLimit;
    uint32_t connectTimeout_ = kQoSDefaultConnectTimeout;
    uint32_t flags_ = 0;
    uint32_t state_ = kQoSStateCreated;
    std::deque<cpSendBlock> queue_;
    uint32_t ticksSinceReceive_ = 0;
    uint32_t tickCount_ = 0;
    std::vector<Layer> chain_;
    vmSmartPtr<cpCTimer> connectTimer_;
    vmSmartPtr<nwCStreamDispatcher> dispatcher_;
    std::unique_ptr<cpCQoSContextAction> action_;
    cpAddress remote_;
    RateMeter sendRate_;
    RateMeter receiveRate_;
    bool connected_ = false;
    uint32_t deadline_[4] = {};
    char hostName_[kQoSHostNameSize] = {};
    std::deque<uint32_t> events_;
    cpQoSCounters counters_;
    // An action replaced while blocked leaves its wake-up to the next tick.
    bool rearmOnTick_ = false;
    // Inside a delivery the layers read the receive buffer: a close then frees it afterwards.
    bool delivering_ = false;
};
