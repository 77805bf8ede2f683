#include "stack/qos_action.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "foundation/socket_registry.h"

namespace {

constexpr uint32_t kFirstCapacity = 1024;

}  // namespace

uint8_t* cpReceiveBuffer::Reserve(uint32_t n) {
    if (n > std::numeric_limits<uint32_t>::max() - length) {
        return nullptr;
    }
    const uint32_t needed = length + n;
    if (needed > capacity) {
        uint64_t grown = std::max(capacity, kFirstCapacity);
        while (grown < needed) {
            grown *= 2;
        }
        if (grown > std::numeric_limits<uint32_t>::max()) {
            grown = needed;
        }
        auto bigger = std::make_unique_for_overwrite<uint8_t[]>(grown);
        if (length != 0) {
            std::memcpy(bigger.get(), data.get(), length);
        }
        data = std::move(bigger);
        capacity = static_cast<uint32_t>(grown);
    }
    return data.get() + length;
}

void cpReceiveBuffer::Consume(uint32_t n) {
    if (n >= length) {
        Free();
        return;
    }
    std::memmove(data.get(), data.get() + n, length - n);
    length -= n;
}

void cpReceiveBuffer::Free() {
    data.reset();
    length = 0;
    capacity = 0;
}

uint32_t cpCQoSHighContextAction::Receive() {
    cpSocketRecord* record = Record();
    if (record == nullptr || buffer_ == nullptr) {
        return 0;
    }
    uint32_t total = 0;
    while (total < kQoSReceivePerEvent) {
        const uint32_t want = std::min(kQoSReceiveStep, kQoSReceivePerEvent - total);
        uint8_t* room = buffer_->Reserve(want);
        uint32_t got = 0;
        if (room == nullptr || vmFailed(cpSocketReceive(record, room, want, &got))) {
            break;  // would-block, peer closed (its FD_CLOSE follows) or an error
        }
        buffer_->Commit(got);
        total += got;
    }
    return total;
}

bool cpCQoSHighContextAction::Send(uint32_t* sent) {
    *sent = 0;
    cpSocketRecord* record = Record();
    if (record == nullptr || !HasBlockToSend()) {
        return true;
    }
    while (!block_->Complete()) {
        const uint32_t chunk = std::min(block_->Unsent(), kQoSSendChunk);
        uint32_t n = 0;
        const vmResult r = cpSocketSend(record, block_->data.get() + block_->sent, chunk, &n);
        if (vmFailed(r)) {
            if (vmIsResult(r, CP_E_WOULDBLOCK)) {
                break;  // FD_WRITE continues
            }
            return false;
        }
        if (n == 0) {
            break;
        }
        block_->sent += n;
        *sent += n;
    }
    cpSocketRearm(record);
    return true;
}

uint32_t cpCQoSLowContextAction::Receive() {
    cpSocketRecord* record = Record();
    if (record == nullptr || buffer_ == nullptr) {
        return 0;
    }
    uint32_t total = 0;
    while (total < kQoSReceivePerEvent) {
        const uint32_t granted =
            AcquireReceive(std::min(kQoSReceiveStep, kQoSReceivePerEvent - total));
        if (granted == 0) {
            receiveBlocked_ = true;  // the tick refills and re-arms
            break;
        }
        uint8_t* room = buffer_->Reserve(granted);
        uint32_t got = 0;
        if (room == nullptr || vmFailed(cpSocketReceive(record, room, granted, &got))) {
            ReturnReceive(granted);
            break;
        }
        if (got < granted) {
            ReturnReceive(granted - got);
        }
        buffer_->Commit(got);
        total += got;
    }
    return total;
}

bool cpCQoSLowContextAction::Send(uint32_t* sent) {
    *sent = 0;
    cpSocketRecord* record = Record();
    if (sendBlocked_ || record == nullptr || !HasBlockToSend()) {
        return true;
    }
    while (!block_->Complete()) {
        const uint32_t granted = AcquireSend(std::min(block_->Unsent(), kQoSSendChunk));
        if (granted == 0) {
            sendBlocked_ = true;  // the tick refills and re-arms
            return true;
        }
        uint32_t n = 0;
        const vmResult r = cpSocketSend(record, block_->data.get() + block_->sent, granted, &n);
        if (vmFailed(r) || n == 0) {
            ReturnSend(granted);
            if (vmFailed(r) && !vmIsResult(r, CP_E_WOULDBLOCK)) {
                return false;
            }
            break;
        }
        // A partial send hands back what did not go out, so the second's quota stays exact.
        if (n < granted) {
            ReturnSend(granted - n);
        }
        block_->sent += n;
        *sent += n;
    }
    cpSocketRearm(record);
    return true;
}

uint32_t cpCQoSLowServerContextAction::AcquireReceive(uint32_t n) {
    cpCQoS* qos = cpCQoS::Instance();
    return qos != nullptr ? qos->AcquireReceive(n) : 0;
}

uint32_t cpCQoSLowServerContextAction::AcquireSend(uint32_t n) {
    cpCQoS* qos = cpCQoS::Instance();
    return qos != nullptr ? qos->AcquireSend(n) : 0;
}

void cpCQoSLowServerContextAction::ReturnReceive(uint32_t n) {
    if (cpCQoS* qos = cpCQoS::Instance()) {
        qos->ReturnReceive(n);
    }
}

void cpCQoSLowServerContextAction::ReturnSend(uint32_t n) {
    if (cpCQoS* qos = cpCQoS::Instance()) {
        qos->ReturnSend(n);
    }
}

void cpCQoSOwnContextAction::SetLimit(uint32_t direction, uint32_t bytesPerSecond) {
    uint32_t* limit = direction == kQoSDirectionReceive ? &receiveLimit_
                      : direction == kQoSDirectionSend  ? &sendLimit_
                                                        : nullptr;
    if (limit == nullptr) {
        return;
    }
    *limit = bytesPerSecond;
    if (!ticked_) {
        const cpCQoS* qos = cpCQoS::Instance();
        const uint64_t left = qos != nullptr ? qos->MsLeftInSecond() : 0;
        SetQuota(direction, static_cast<uint32_t>(uint64_t{bytesPerSecond} * left / 1000));
    }
}

bool cpCQoSOwnContextAction::GetQuota(uint32_t direction, uint32_t* out) const {
    if (direction != kQoSDirectionReceive && direction != kQoSDirectionSend) {
        return false;
    }
    if (out != nullptr) {
        *out = direction == kQoSDirectionReceive ? receiveQuota_ : sendQuota_;
    }
    return true;
}

void cpCQoSOwnContextAction::SetQuota(uint32_t direction, uint32_t bytes) {
    if (direction == kQoSDirectionReceive) {
        receiveQuota_ = bytes;
    } else if (direction == kQoSDirectionSend) {
        sendQuota_ = bytes;
    }
}

void cpCQoSOwnContextAction::Tick(cpQoSCounters* counters) {
    if (counters != nullptr) {
        counters->received += receivedThisTick_;
        counters->sent += sentThisTick_;
    }
    receivedThisTick_ = 0;
    sentThisTick_ = 0;
    ticked_ = true;
    receiveQuota_ = receiveLimit_;
    sendQuota_ = sendLimit_;
}

uint32_t cpCQoSOwnContextAction::AcquireReceive(uint32_t n) {
    const uint32_t granted = std::min(n, receiveQuota_);
    receiveQuota_ -= granted;
    receivedThisTick_ += granted;
    return granted;
}

uint32_t cpCQoSOwnContextAction::AcquireSend(uint32_t n) {
    const uint32_t granted = std::min(n, sendQuota_);
    sendQuota_ -= granted;
    sentThisTick_ += granted;
    return granted;
}

void cpCQoSOwnContextAction::ReturnReceive(uint32_t n) {
    receiveQuota_ += n;
    receivedThisTick_ -= n;
}

void cpCQoSOwnContextAction::ReturnSend(uint32_t n) {
    sendQuota_ += n;
    sentThisTick_ -= n;
}

std::unique_ptr<cpCQoSContextAction> cpCreateQoSContextAction(uint32_t type) {
    switch (type) {
        case kQoSActionHigh:
            return std::make_unique<cpCQoSHighContextAction>();
        case kQoSActionLowServer:
            return std::make_unique<cpCQoSLowServerContextAction>();
        case kQoSActionLowServerReceiveOnly:
            return std::make_unique<cpCQoSLowServerReceiveOnlyContextAction>();
        case kQoSActionLowServerSendOnly:
            return std::make_unique<cpCQoSLowServerSendOnlyContextAction>();
        case kQoSActionOwn:
            return std::make_unique<cpCQoSOwnContextAction>();
        case kQoSActionOwnReceiveOnly:
            return std::make_unique<cpCQoSOwnReceiveOnlyContextAction>();
        case kQoSActionOwnSendOnly:
            return std::make_unique<cpCQoSOwnSendOnlyContextAction>();
        default:
            return nullptr;
    }
}
