#include "foundation/socket_registry.h"

#include <algorithm>
#include <atomic>

#include "foundation/platform/async_select.h"
#include "foundation/platform/window.h"

namespace {
std::atomic<cpCQoS*> gQoS{nullptr};
}

cpCQoS::cpCQoS() {
    gQoS.store(this, std::memory_order_release);
}

cpCQoS::~cpCQoS() {
    Stop();
    cpCQoS* self = this;
    gQoS.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
}

cpCQoS* cpCQoS::Instance() {
    return gQoS.load(std::memory_order_acquire);
}

vmResult cpCQoS::Start(vmSmartPtr<cpCMutex> mutex) {
    mutex_ = std::move(mutex);
    for (auto& slot : slots_) {
        slot.Reset();
    }
    nextFree_ = 0;
    tickCount_ = 0;
    sendBudget_ = sendUsed_ = receiveBudget_ = receiveUsed_ = 0;
    sendLimit_ = receiveLimit_ = kBandwidthLimit;

    const uint32_t window =
        cpCreateWindow(kWindowName, [this](uint32_t message, uintptr_t wParam, intptr_t lParam) {
            return WindowProc(message, wParam, lParam);
        });
    if (window == 0) {
        return CP_FAIL;
    }
    windowRecord_ = std::make_unique<cpWindowRecord>(cpWindowRecord{window, 0});
    lastTick_ = cpGetTime();
    tickTimer_ = vmMakeObject<cpCTimer>();
    tickTimer_->Start(
        1000, [this] { Tick(); }, kTimerIdQoSTick, nullptr);
    return CP_OK;
}

void cpCQoS::Stop() {
    if (tickTimer_) {
        tickTimer_->Stop();
        tickTimer_.Reset();
    }
    if (windowRecord_) {
        cpDestroyWindow(windowRecord_->window);
        windowRecord_.reset();
    }
}

intptr_t cpCQoS::WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    cpCLock lock(mutex_.Get());
    const bool slotMessage =
        message >= kFirstSlotMessage && message < kFirstSlotMessage + kSlotCount;
    if (!windowRecord_ && slotMessage) {
        return 0;
    }
    if (message == kPostedEventMessage) {
        DispatchPostedEvent(static_cast<int>(wParam), reinterpret_cast<cpSocketRecord*>(lParam));
        return 0;
    }
    if (!slotMessage || static_cast<intptr_t>(wParam) == -1) {
        return 0;
    }
    const int slot = static_cast<int>(message - kFirstSlotMessage);
    const uint32_t error = cpSelectError(lParam);
    switch (cpSelectEvent(lParam)) {
        case FD_READ:
            DispatchSocketEvent(slot, kContextReadable, error);
            break;
        case FD_WRITE:
            DispatchSocketEvent(slot, kContextWritable, error);
            break;
        case FD_ACCEPT:
            DispatchSocketEvent(slot, kContextAccept, error);
            break;
        case FD_CLOSE:
            DispatchSocketEvent(slot, kContextRemoteClosed, error);
            break;
        case FD_CONNECT:
            if (error == 0) {
                DispatchSocketEvent(slot, kContextConnected, error);
            } else if (error == WSAECONNREFUSED) {
                DispatchSocketEvent(slot, kContextConnectRefused, error);
            } else if (error == WSAEHOSTUNREACH) {
                DispatchSocketEvent(slot, kContextHostUnreachable, error);
            }
            // Any other connect error: the context's connect timeout ends the attempt.
            break;
        default:
            break;
    }
    return 0;
}

cpSocketRecordPtr cpCQoS::RegisterContext(cpIQoSHandler* handler, cpSocketRecordPtr accepted) {
    if (handler == nullptr || !windowRecord_) {
        return nullptr;
    }
    cpSocketRecordPtr record = std::move(accepted);
    if (!record && vmFailed(cpSocketCreate(&record, 0))) {
        return nullptr;
    }
    cpSocketSetBlocking(record.get(), 0);
    cpCLock lock(mutex_.Get());
    if (slots_[nextFree_]) {
        AdvanceNextFree();
        if (slots_[nextFree_]) {
            return nullptr;  // every slot is taken; the record closes as it goes
        }
    }
    cpSocketSelect(windowRecord_.get(), record.get(), nextFree_);
    slots_[nextFree_] = handler;
    AdvanceNextFree();
    return record;
}

void cpCQoS::UnregisterContext(cpIQoSHandler* handler, cpSocketRecordPtr record) {
    {
        cpCLock lock(mutex_.Get());
        int slot = -1;
        cpSocketUnselect(windowRecord_.get(), record.get(), &slot);
        if (slot >= 0 && slot < kSlotCount && slots_[slot].Get() == handler) {
            slots_[slot].Reset();
        }
    }
    cpSocketClose(&record);
}

void cpCQoS::AdvanceNextFree() {
    for (int i = nextFree_ + 1; i < kSlotCount; ++i) {
        if (!slots_[i]) {
            nextFree_ = i;
            return;
        }
    }
    for (int i = 0; i < nextFree_; ++i) {
        if (!slots_[i]) {
            nextFree_ = i;
            return;
        }
    }
}

cpIQoSHandler* cpCQoS::HandlerInSlot(int slot) const {
    return slot >= 0 && slot < kSlotCount ? slots_[slot].Get() : nullptr;
}

int cpCQoS::RegisteredCount() const {
    return static_cast<int>(std::count_if(
        slots_.begin(), slots_.end(), [](const auto& slot) { return static_cast<bool>(slot); }));
}

void cpCQoS::DispatchSocketEvent(int slot, int event, uint32_t /*error*/) {
    cpCLock lock(mutex_.Get());
    // A reference for the call: the handler may close and leave its slot while it runs.
    vmSmartPtr<cpIQoSHandler> handler(HandlerInSlot(slot));
    if (!handler) {
        return;
    }
    switch (event) {
        case kContextReadable:
            handler->OnReadable();
            break;
        case kContextWritable:
            handler->OnWritable();
            break;
        case kContextConnected:
            handler->OnConnected();
            break;
        case kContextRemoteClosed:
            handler->OnRemoteClosed();
            break;
        case kContextConnectRefused:
            handler->OnConnectRefused();
            break;
        case kContextHostUnreachable:
            handler->OnHostUnreachable();
            break;
        default:
            break;  // accept: contexts take no incoming connections
    }
}

void cpCQoS::DispatchPostedEvent(int slot, cpSocketRecord* record) {
    cpCLock lock(mutex_.Get());
    vmSmartPtr<cpIQoSHandler> handler(HandlerInSlot(slot));
    if (handler) {
        handler->OnPostedEvent(record);
    }
}

uint32_t cpCQoS::AcquireSend(uint32_t n) {
    if (sendUsed_ == sendBudget_) {
        return 0;
    }
    const uint32_t granted = std::min(n, sendBudget_ - sendUsed_);
    sendUsed_ += granted;
    return granted;
}

uint32_t cpCQoS::AcquireReceive(uint32_t n) {
    if (receiveUsed_ == receiveBudget_) {
        return 0;
    }
    const uint32_t granted = std::min(n, receiveBudget_ - receiveUsed_);
    receiveUsed_ += granted;
    return granted;
}

uint32_t cpCQoS::MsLeftInSecond() const {
    const int64_t elapsed = cpElapsedMs(lastTick_);
    return elapsed <= 0 ? 1000 : elapsed >= 1000 ? 0 : static_cast<uint32_t>(1000 - elapsed);
}

void cpCQoS::Tick() {
    lastTick_ = cpGetTime();
    sendBudget_ = sendLimit_;
    receiveBudget_ = receiveLimit_;
    sendUsed_ = 0;
    receiveUsed_ = 0;
    {
        cpCLock lock(mutex_.Get());
        for (int slot = 0; slot < kSlotCount; ++slot) {
            vmSmartPtr<cpIQoSHandler> handler(slots_[slot]);
            if (handler) {
                handler->OnTick();
            }
        }
    }
    ++tickCount_;
}
