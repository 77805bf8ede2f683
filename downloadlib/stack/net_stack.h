// Protocol layers. A context holds its layers in a chain: position 0 is the top, the last
// position is nearest the socket. Received bytes enter the bottom layer and go up (PassUp);
// bytes to send leave a layer and go down (SendDown) to the layer below or the socket;
// connection events are offered from the bottom up until a layer answers false.
//
// nwIQoSNetStack is what the context calls; nwCApplicationStack gives every hook a pass-through
// default and an embedded stream dispatcher; nwTLayer<Public> makes a concrete layer an object
// with its public interface and one shared count. A layer only writes what it changes:
//
//   class nwCMyLayer : public nwTLayer<vmIMyLayer> { bool OnConnected() override; ... };
//   vmRegisterClass(CLSID_..., &vmNewObject<nwCMyLayer, vmIMyLayer>);
#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>

#include "foundation/object.h"
#include "foundation/platform/socket.h"
#include "stack/qos_context.h"
#include "stack/stream_dispatcher.h"

class nwIQoSNetStack : public vmIUnknown {
  public:
    // Set by the context when it adds the layer. Not counted: the context owns its layers and
    // clears this before it goes.
    void SetContext(vmIQoSContext* context) { context_ = context; }
    vmIQoSContext* GetContext() const { return context_; }

    virtual vmResult GetReceiveRate(uint32_t* out);
    virtual vmResult GetSendRate(uint32_t* out);
    // Bytes handed down by the layer directly above.
    virtual void Write(const void* data, uint32_t length) = 0;
    virtual vmResult Close();
    // The hooks answer true to let the context go on to the layer above.
    virtual bool OnConnected() = 0;
    virtual bool OnHostUnreachable() = 0;
    virtual bool OnEvent(uint32_t event, uint32_t argument) = 0;
    // Bytes consumed from the front: 0 to wait for more, negative on a protocol error (the
    // context then closes).
    virtual int32_t OnData(const uint8_t* data, uint32_t length) = 0;
    // The connection is closing; every layer gets this, whatever the others answer.
    virtual void OnClose() = 0;
    virtual vmResult SetFlags(uint32_t flags);
    virtual vmResult AddFlags(uint32_t flags);
    virtual vmResult RemoveFlags(uint32_t flags);
    virtual vmResult Connect(const cpAddress* address);
    // The layer directly above gets OnConnected.
    virtual vmResult NotifyConnected();
    // The layer directly above gets OnData; what it consumed (0 without a context).
    virtual int32_t PassUp(const uint8_t* data, uint32_t length);
    // The bytes are copied before this returns and go to the layer below, or to the socket.
    virtual vmResult SendDown(const void* data, uint32_t length);

    // These forward to the context; CP_FAIL without one.
    vmResult GetLayer(uint32_t classId, vmIUnknown** out);
    vmResult AddLayer(uint32_t classId, bool atBottom);
    vmResult GetRemoteAddress(cpAddress* out);
    vmResult SetRemoteAddress(const cpAddress* address);
    vmResult GetHostName(const char** out);
    vmResult SetHostName(const char* name);

  protected:
    vmIQoSContext* context_ = nullptr;
};

// A stream message being built: header, payload and padding in one zero-filled block.
class nwCStreamMessage {
  public:
    nwCStreamMessage() = default;
    // An invalid (empty) message when the payload is beyond kStreamMaxLength.
    explicit nwCStreamMessage(uint32_t payloadLength);

    bool Valid() const { return !bytes_.empty(); }
    uint8_t* Payload() { return Valid() ? bytes_.data() + kStreamHeaderSize : nullptr; }
    uint32_t PayloadLength() const { return payloadLength_; }
    void SetHeader(uint16_t category, uint16_t type);
    const uint8_t* Data() const { return bytes_.data(); }
    uint32_t Size() const { return static_cast<uint32_t>(bytes_.size()); }

  private:
    std::vector<uint8_t> bytes_;
    uint32_t payloadLength_ = 0;
};

class nwCApplicationStack : public nwIQoSNetStack {
  public:
    // Passes the bytes down unchanged.
    void Write(const void* data, uint32_t length) override;
    bool OnConnected() override { return true; }
    bool OnHostUnreachable() override { return true; }
    // Events 1, 2, 4 and 64 go to their hooks below; others answer true.
    bool OnEvent(uint32_t event, uint32_t argument) override;
    // Runs the embedded dispatcher over the bytes.
    int32_t OnData(const uint8_t* data, uint32_t length) override;
    // Stops the dispatcher for good, then OnClosed.
    void OnClose() override;

    virtual void OnClosed() {}
    virtual bool OnConnectTimeout() { return true; }
    virtual bool OnSendQueueEmpty() { return true; }
    virtual bool OnIdleTimeout() { return true; }
    virtual bool OnDeadline() { return true; }

    void RegisterHandler(uint16_t category, uint16_t type, nwStreamHandler callback, void* user) {
        dispatcher_.RegisterHandler(category, type, callback, user);
    }
    // Switches the dispatcher to raw mode: the handler gets the byte stream unframed.
    void RegisterRawHandler(nwRawStreamHandler callback, void* user) {
        dispatcher_.RegisterRawHandler(callback, user);
    }
    // A zero-filled message with room for the payload.
    static nwCStreamMessage AllocMessage(uint32_t payloadLength) {
        return nwCStreamMessage(payloadLength);
    }
    // Writes the header and sends the message down. NW_FAIL for an invalid message or when the
    // bytes could not be queued.
    vmResult SendMessage(uint16_t type, nwCStreamMessage message, uint16_t category);

  protected:
    nwCStreamDispatcher dispatcher_;
};

// A concrete layer: the layer interface and its public interface (a vmIUnknown) on one object
// with one count. QueryInterface(IID_nwIQoSNetStack) answers the layer interface; the factory
// hands out Public.
template <class Public>
class nwTLayer : public nwCApplicationStack, public Public {
    static_assert(std::is_base_of_v<vmIUnknown, Public>);

  public:
    vmResult AddRef() override {
        ++refs_;
        return VM_OK;
    }
    vmResult Release() override {
        if (--refs_ == 0) {
            delete this;
        }
        return VM_OK;
    }
    vmResult QueryInterface(uint32_t iid, void** out) override {
        if (iid != IID_nwIQoSNetStack || out == nullptr) {
            return NW_FAIL;
        }
        *out = static_cast<nwIQoSNetStack*>(this);
        return NW_OK;
    }

    uint32_t RefCount() const { return refs_; }

  protected:
    nwTLayer() = default;

  private:
    uint32_t refs_ = 0;
};
