// The socket registry (cpCQoS): 64 slots of connection handlers behind one hidden window on the
// worker loop, the one-second tick, and the process-wide bandwidth pools.
//
// Every socket notification and posted event arrives at the hidden window's procedure, which
// takes the library mutex and calls the handler in the socket's slot.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "foundation/clock.h"
#include "foundation/mutex.h"
#include "foundation/object.h"
#include "foundation/platform/socket.h"
#include "foundation/timer.h"

// What the registry calls on a registered connection.
class cpIQoSHandler : public vmIUnknown {
  public:
    virtual void OnReadable() = 0;
    virtual void OnWritable() = 0;
    virtual void OnConnected() = 0;
    virtual void OnRemoteClosed() = 0;
    virtual void OnConnectRefused() = 0;
    virtual void OnHostUnreachable() = 0;
    virtual void OnPostedEvent(cpSocketRecord* record) = 0;
    virtual void OnTick() = 0;
};

// Context events that socket notifications become.
enum cpContextEvent : int {
    kContextReadable = 2,
    kContextWritable = 3,
    kContextConnected = 4,
    kContextAccept = 6,
    kContextRemoteClosed = 7,
    kContextConnectRefused = 8,
    kContextHostUnreachable = 9,
};

constexpr uint32_t kBandwidthLimit = 104857600;  // 100 MiB per second, each direction

class cpCQoS {
  public:
    static constexpr const char* kWindowName = "CAsyncSocket TessloadSDK Window";

    cpCQoS();
    virtual ~cpCQoS();
    cpCQoS(const cpCQoS&) = delete;
    cpCQoS& operator=(const cpCQoS&) = delete;

    static cpCQoS* Instance();

    // Creates the hidden window on the calling thread's loop and starts the one-second tick.
    virtual vmResult Start(vmSmartPtr<cpCMutex> mutex);
    virtual void Stop();

    // Takes a slot for the handler and selects every socket event into it. Creates a TCP socket
    // when none was accepted. Null, with nothing registered, when no socket can be had, the
    // window is missing or all 64 slots are taken.
    cpSocketRecordPtr RegisterContext(cpIQoSHandler* handler, cpSocketRecordPtr accepted);
    // Cancels the socket's notifications, empties its slot and closes it.
    void UnregisterContext(cpIQoSHandler* handler, cpSocketRecordPtr record);

    void DispatchSocketEvent(int slot, int event, uint32_t error);
    void DispatchPostedEvent(int slot, cpSocketRecord* record);
    cpIQoSHandler* HandlerInSlot(int slot) const;
    int RegisteredCount() const;

    // The process-wide pools: grants at most n of what is left of this second's budget.
    uint32_t AcquireSend(uint32_t n);
    uint32_t AcquireReceive(uint32_t n);
    void ReturnSend(uint32_t n) { sendUsed_ -= n; }
    void ReturnReceive(uint32_t n) { receiveUsed_ -= n; }
    // The one-second tick: refills the pools, then ticks every registered handler in slot order.
    void Tick();

    cpCMutex* Mutex() const { return mutex_.Get(); }
    uint32_t Window() const { return windowRecord_ ? windowRecord_->window : 0; }
    uint32_t TickCount() const { return tickCount_; }
    // Milliseconds until the next tick is due (1000 right after one): what is left of this
    // second's quotas.
    uint32_t MsLeftInSecond() const;

  private:
    intptr_t WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam);
    void AdvanceNextFree();

    vmSmartPtr<cpCMutex> mutex_;
    vmSmartPtr<cpCTimer> tickTimer_;
    std::unique_ptr<cpWindowRecord> windowRecord_;
    std::array<vmSmartPtr<cpIQoSHandler>, kSlotCount> slots_;
    int nextFree_ = 0;
    uint32_t tickCount_ = 0;
    cpTimeStamp lastTick_{};

    uint32_t sendBudget_ = 0;
    uint32_t sendUsed_ = 0;
    uint32_t receiveBudget_ = 0;
    uint32_t receiveUsed_ = 0;
    uint32_t sendLimit_ = kBandwidthLimit;
    uint32_t receiveLimit_ = kBandwidthLimit;
};
