// QoS actions: the objects that move a connection's bytes with send and recv, and decide how
// many may move in the current second. The High action moves without limit; the quota-driven
// actions spend a per-second quota of their own (Own) or the process-wide pools of cpCQoS
// (LowServer). A quota-driven action that runs dry raises a blocked flag and stops; the context's
// one-second tick refills the quota and re-arms the socket so the transfer goes on.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "foundation/platform/socket.h"

// One outgoing block: bytes copied once from the sender and sent from here.
struct cpSendBlock {
    std::unique_ptr<uint8_t[]> data;
    uint32_t sent = 0;
    uint32_t total = 0;

    bool Empty() const { return !data; }
    bool Complete() const { return sent >= total; }
    uint32_t Unsent() const { return total - sent; }
    void Reset() {
        data.reset();
        sent = 0;
        total = 0;
    }
};

// The receive buffer: grows by doubling, freed as soon as the layers consume all of it.
struct cpReceiveBuffer {
    std::unique_ptr<uint8_t[]> data;
    uint32_t length = 0;
    uint32_t capacity = 0;

    // Room for n more bytes after the data (the capacity doubles until they fit); the address of
    // that room, or null when the buffer cannot grow that far.
    uint8_t* Reserve(uint32_t n);
    void Commit(uint32_t n) { length += n; }
    // Drops n bytes from the front; frees the block when nothing is left.
    void Consume(uint32_t n);
    void Free();
};

enum cpQoSActionType : uint32_t {
    kQoSActionHigh = 1,
    kQoSActionLowServer = 2,
    kQoSActionLowServerReceiveOnly = 3,
    kQoSActionLowServerSendOnly = 4,
    kQoSActionOwn = 5,
    kQoSActionOwnReceiveOnly = 6,
    kQoSActionOwnSendOnly = 7,
};

// Directions of SetLimit.
enum : uint32_t {
    kQoSDirectionReceive = 0,
    kQoSDirectionSend = 1,
};

// recv asks for this much at a time.
constexpr uint32_t kQoSReceiveStep = 64 * 1024;
// What one readiness notification reads at most; the rest waits for the next notification, so
// a fast peer cannot make one connection buffer a whole second's quota.
constexpr uint32_t kQoSReceivePerEvent = 1024 * 1024;
// Sends go out in chunks of at most this many bytes.
constexpr uint32_t kQoSSendChunk = 4096;

// What the actions moved, added up by the context's tick.
struct cpQoSCounters {
    uint64_t received = 0;
    uint64_t sent = 0;
};

class cpCQoSContextAction {
  public:
    cpCQoSContextAction() = default;
    virtual ~cpCQoSContextAction() = default;
    cpCQoSContextAction(const cpCQoSContextAction&) = delete;
    cpCQoSContextAction& operator=(const cpCQoSContextAction&) = delete;

    // Binds the action to its context's current outgoing block, receive buffer and socket
    // record. The record is read through the context's own pointer, so an action set before the
    // socket exists works once it does, and never touches a socket the context has closed.
    void Bind(cpSendBlock* block, cpReceiveBuffer* buffer, const cpSocketRecordPtr* record) {
        block_ = block;
        buffer_ = buffer;
        record_ = record;
    }

    virtual uint32_t GetType() const = 0;
    // Reads what the socket has (within the quota and the per-event bound) into the receive
    // buffer; returns the bytes read.
    virtual uint32_t Receive() = 0;
    // Sends from the current block; *sent is what went out. False only on a socket error.
    virtual bool Send(uint32_t* sent) = 0;
    virtual bool TakeSendBlocked() = 0;
    virtual bool TakeReceiveBlocked() = 0;
    virtual void SetLimit(uint32_t /*direction*/, uint32_t /*bytesPerSecond*/) {}
    // What is left of this second's own quota in a direction; false for actions without one.
    virtual bool GetQuota(uint32_t /*direction*/, uint32_t* /*out*/) const { return false; }
    // Replaces this second's own quota in a direction (no effect without one).
    virtual void SetQuota(uint32_t /*direction*/, uint32_t /*bytes*/) {}
    virtual void Tick(cpQoSCounters* /*counters*/) {}

  protected:
    cpSocketRecord* Record() const { return record_ != nullptr ? record_->get() : nullptr; }
    bool HasBlockToSend() const {
        return block_ != nullptr && !block_->Empty() && block_->total != 0;
    }

    cpSendBlock* block_ = nullptr;
    cpReceiveBuffer* buffer_ = nullptr;
    const cpSocketRecordPtr* record_ = nullptr;
};

class cpCQoSHighContextAction : public cpCQoSContextAction {
  public:
    uint32_t GetType() const override { return kQoSActionHigh; }
    uint32_t Receive() override;
    bool Send(uint32_t* sent) override;
    bool TakeSendBlocked() override { return false; }
    bool TakeReceiveBlocked() override { return false; }
};

// Every byte is granted before it moves; grants not used are handed back, so the quota of a
// second is never exceeded and never lost.
class cpCQoSLowContextAction : public cpCQoSContextAction {
  public:
    uint32_t Receive() override;
    bool Send(uint32_t* sent) override;
    bool TakeSendBlocked() override { return std::exchange(sendBlocked_, false); }
    bool TakeReceiveBlocked() override { return std::exchange(receiveBlocked_, false); }

    virtual uint32_t AcquireReceive(uint32_t n) = 0;
    virtual uint32_t AcquireSend(uint32_t n) = 0;
    virtual void ReturnReceive(uint32_t n) = 0;
    virtual void ReturnSend(uint32_t n) = 0;

    bool SendBlocked() const { return sendBlocked_; }
    bool ReceiveBlocked() const { return receiveBlocked_; }

  private:
    bool sendBlocked_ = false;
    bool receiveBlocked_ = false;
};

// Spends the process-wide pools of cpCQoS.
class cpCQoSLowServerContextAction : public cpCQoSLowContextAction {
  public:
    uint32_t GetType() const override { return kQoSActionLowServer; }
    uint32_t AcquireReceive(uint32_t n) override;
    uint32_t AcquireSend(uint32_t n) override;
    void ReturnReceive(uint32_t n) override;
    void ReturnSend(uint32_t n) override;
};

class cpCQoSLowServerReceiveOnlyContextAction : public cpCQoSLowServerContextAction {
  public:
    uint32_t GetType() const override { return kQoSActionLowServerReceiveOnly; }
    uint32_t AcquireSend(uint32_t n) override { return n; }
    void ReturnSend(uint32_t) override {}
};

class cpCQoSLowServerSendOnlyContextAction : public cpCQoSLowServerContextAction {
  public:
    uint32_t GetType() const override { return kQoSActionLowServerSendOnly; }
    uint32_t AcquireReceive(uint32_t n) override { return n; }
    void ReturnReceive(uint32_t) override {}
};

// Spends a quota of its own, set by SetLimit and refilled by the tick. Until its first tick a
// limit also sets the quota, prorated to what is left of the current second: a new connection
// starts at once instead of idling up to a second, and still keeps to its cap.
class cpCQoSOwnContextAction : public cpCQoSLowContextAction {
  public:
    uint32_t GetType() const override { return kQoSActionOwn; }
    void SetLimit(uint32_t direction, uint32_t bytesPerSecond) override;
    void Tick(cpQoSCounters* counters) override;
    bool GetQuota(uint32_t direction, uint32_t* out) const override;
    void SetQuota(uint32_t direction, uint32_t bytes) override;
    uint32_t AcquireReceive(uint32_t n) override;
    uint32_t AcquireSend(uint32_t n) override;
    void ReturnReceive(uint32_t n) override;
    void ReturnSend(uint32_t n) override;

    uint32_t ReceiveLimit() const { return receiveLimit_; }
    uint32_t SendLimit() const { return sendLimit_; }
    uint32_t ReceiveQuota() const { return receiveQuota_; }
    uint32_t SendQuota() const { return sendQuota_; }

  private:
    uint32_t receiveLimit_ = 0;
    uint32_t sendLimit_ = 0;
    uint32_t receiveQuota_ = 0;
    uint32_t sendQuota_ = 0;
    uint32_t receivedThisTick_ = 0;
    uint32_t sentThisTick_ = 0;
    bool ticked_ = false;
};

class cpCQoSOwnReceiveOnlyContextAction : public cpCQoSOwnContextAction {
  public:
    uint32_t GetType() const override { return kQoSActionOwnReceiveOnly; }
    uint32_t AcquireSend(uint32_t n) override { return n; }
    void ReturnSend(uint32_t) override {}
};

class cpCQoSOwnSendOnlyContextAction : public cpCQoSOwnContextAction {
  public:
    uint32_t GetType() const override { return kQoSActionOwnSendOnly; }
    uint32_t AcquireReceive(uint32_t n) override { return n; }
    void ReturnReceive(uint32_t) override {}
};

// The action factory: a new action of type 1 to 7, null for any other type.
std::unique_ptr<cpCQoSContextAction> cpCreateQoSContextAction(uint32_t type);
