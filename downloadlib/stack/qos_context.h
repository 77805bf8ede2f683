// vmIQoSContext: one network connection. A context owns a non-blocking TCP socket registered
// with cpCQoS, a queue of outgoing blocks, a receive buffer, a chain of protocol layers, a
// connect timer and one QoS action. It turns socket readiness and the one-second tick into calls
// on its layers, and closes itself on errors and time-outs.
//
// Typical use: CreateInstance(CLSID_cpCQoSContext); Open(kQoSActionHigh, flags, nullptr);
// AddLayer(layer class id, false); SetOption; SetHostName/SetRemoteAddress; Connect; at the end
// Close and hand the context to the collector.
#pragma once

#include <cstdint>

#include "foundation/object.h"
#include "foundation/platform/socket.h"
#include "foundation/socket_registry.h"
#include "stack/stream_dispatcher.h"

class nwIQoSNetStack;

// Flags: each bit enables one behaviour.
enum : uint32_t {
    // A failed or timed-out connect raises event 1, marks the address bad and closes.
    kQoSFlagConnectFailure = 1,
    // Layers get event 2 whenever the send queue runs empty.
    kQoSFlagSendQueueEmpty = 2,
    // Event 4 after the idle limit passes without received data; marks the address bad.
    kQoSFlagIdle = 4,
    kQoSFlagReceiveRate = 8,
    kQoSFlagSendRate = 16,
    // Layers get event 32 before a posted close.
    kQoSFlagCloseEvent = 32,
    kQoSFlagDeadline = 64,
};

// Events offered to the layers (OnEvent); each is raised only when its flag bit is set.
enum : uint32_t {
    kQoSEventConnectFailed = 1,
    kQoSEventSendQueueEmpty = 2,
    kQoSEventIdle = 4,
    kQoSEventClose = 32,
    kQoSEventDeadline = 64,
};

enum cpQoSContextState : uint32_t {
    kQoSStateCreated = 0,
    kQoSStateOpening = 1,
    kQoSStateReady = 2,  // socket ready, not connected
    kQoSStateConnecting = 3,
    kQoSStateConnected = 4,
    kQoSStateConnectFailed = 5,
    kQoSStateSending = 6,
    kQoSStateReceiving = 7,
    kQoSStateIdle = 8,  // connected, between transfers
    kQoSStateClosing = 9,
    kQoSStateClosed = 10,
};

// Options of SetOption.
enum : uint32_t {
    kQoSOptionConnectTimeout = 1,  // seconds
    kQoSOptionIdleLimit = 4,       // ticks
    kQoSOptionDeadline = 64,       // four words: ticks from now, then three kept as given
};

constexpr uint32_t kQoSDefaultIdleLimit = 60;
constexpr uint32_t kQoSDefaultConnectTimeout = 5;
constexpr uint32_t kQoSHostNameSize = 256;

// The socket-event entries (OnReadable ... OnTick) come from cpIQoSHandler: the registry calls
// them on the worker thread inside the library mutex.
class vmIQoSContext : public cpIQoSHandler {
  public:
    // Registers a socket (a new one, or the accepted one given) and sets the action. CP_FAIL when
    // not freshly created, for an unknown action type, or when the registry refuses (no socket,
    // all slots taken); a refused Open leaves the context as it was.
    virtual vmResult Open(uint32_t actionType, uint32_t flags, cpSocketRecordPtr accepted) = 0;
    virtual vmResult SetActionLimit(uint32_t direction, uint32_t bytesPerSecond) = 0;
    // The action's own quota left of this second in a direction, and its replacement: a
    // session that moves on to a new connection carries what its last one had left. CP_FAIL
    // for an action without a quota of its own (or no action).
    virtual vmResult GetActionQuota(uint32_t direction, uint32_t* out) = 0;
    virtual vmResult SetActionQuota(uint32_t direction, uint32_t bytes) = 0;
    // Replaces the action by one of another type (1 to 7).
    virtual vmResult SetAction(uint32_t actionType) = 0;
    virtual vmResult SetFlags(uint32_t flags) = 0;
    virtual vmResult AddFlags(uint32_t flags) = 0;
    virtual vmResult RemoveFlags(uint32_t flags) = 0;
    // value: one word, four for kQoSOptionDeadline.
    virtual vmResult SetOption(uint32_t option, const uint32_t* value) = 0;
    virtual vmResult GetState(uint32_t* state) = 0;
    // Starts the connect; the outcome arrives as OnConnected or a connect failure. CP_FAIL unless
    // opened and not yet connecting.
    virtual vmResult Connect(const cpAddress* address) = 0;
    virtual vmResult ConnectAlt(const cpAddress* address) = 0;
    // Bytes a layer sends: to the layer below it, or to the socket from the bottom layer.
    virtual vmResult Send(nwIQoSNetStack* from, const void* data, uint32_t length) = 0;
    // Creates the layer by class id and puts it on top (or at the socket end).
    virtual vmResult AddLayer(uint32_t classId, bool atBottom) = 0;
    // The public interface of the first layer with that class id; no reference is added.
    virtual vmResult GetLayer(uint32_t classId, vmIUnknown** out) = 0;
    // Re-selects the socket: every readiness condition that holds is notified again.
    virtual vmResult RearmNotifications() = 0;
    // A context-level dispatcher for a context without layers.
    virtual vmResult RegisterHandler(uint16_t category, uint16_t type, nwStreamHandler callback,
                                     void* user) = 0;
    virtual vmResult SetRemoteAddress(const cpAddress* address) = 0;
    virtual vmResult GetRemoteAddress(cpAddress* out) = 0;
    // The socket's own address and port, once connected; CP_FAIL without a socket.
    virtual vmResult GetLocalAddress(cpAddress* out) = 0;
    virtual vmResult Close() = 0;
    // Closes from the loop, after events already queued (event 32).
    virtual vmResult PostClose() = 0;
    // The public interface of the top layer (no reference added), or null.
    virtual vmIUnknown* GetTopLayer() = 0;
    // The layer directly above the given one gets OnConnected.
    virtual vmResult NotifyLayerConnected(nwIQoSNetStack* layer) = 0;
    // The layer directly above the given one gets OnData; its answer, or 0 when there is none.
    virtual int32_t PassUp(nwIQoSNetStack* layer, const uint8_t* data, uint32_t length) = 0;
    // The block being sent: its data and total length (either out may be null).
    virtual vmResult GetSendBlock(const uint8_t** data, uint32_t* length) = 0;
    // Queues a copy of the bytes on the socket. CP_FAIL (bytes dropped) after a failure or close.
    virtual vmResult SendRaw(const void* data, uint32_t length) = 0;
    // Bytes per second since the previous call; CP_FAIL unless flag 8 (16) is set.
    virtual vmResult GetReceiveRate(uint32_t* out) = 0;
    virtual vmResult GetSendRate(uint32_t* out) = 0;
    // Unsent bytes of the queued blocks, the block being sent not counted.
    virtual vmResult GetQueuedSendBytes(uint32_t* out) = 0;
    virtual vmResult GetHostName(const char** out) = 0;
    // Keeps at most kQoSHostNameSize - 1 characters.
    virtual vmResult SetHostName(const char* name) = 0;
    // Tell the host cache about the remote address; CP_FAIL (nothing done) without a host name,
    // an address or a port.
    virtual vmResult ReportAddressGood() = 0;
    virtual vmResult ReportAddressBad() = 0;
};
