#include <algorithm>
#include <cstring>
#include <limits>

#include "foundation/host_cache.h"
#include "foundation/socket_registry.h"
#include "stack/qos_context_impl.h"

namespace {

using Hold = vmSmartPtr<vmIQoSContext>;

constexpr uint32_t kMaxTimeoutSeconds = std::numeric_limits<uint32_t>::max() / 1000;

}  // namespace

cpCQoSContext::~cpCQoSContext() {
    StopConnectTimer();
    // Anyone still holding a layer must not reach a context that is gone.
    for (Layer& layer : chain_) {
        layer.stack->SetContext(nullptr);
    }
    chain_.clear();
}

vmResult cpCQoSContext::QueryInterface(uint32_t iid, void** out) {
    if (chain_.empty()) {
        return VM_E_NOINTERFACE;
    }
    return chain_.front().object->QueryInterface(iid, out);
}

vmResult cpCQoSContext::Open(uint32_t actionType, uint32_t flags, cpSocketRecordPtr accepted) {
    if (state_ != kQoSStateCreated || actionType < kQoSActionHigh ||
        actionType > kQoSActionOwnSendOnly) {
        return CP_FAIL;
    }
    cpCQoS* qos = cpCQoS::Instance();
    if (qos == nullptr) {
        return CP_FAIL;
    }
    const uint32_t previousFlags = flags_;
    state_ = kQoSStateOpening;
    flags_ = flags;
    const bool wasAccepted = static_cast<bool>(accepted);
    record_ = qos->RegisterContext(this, std::move(accepted));
    if (!record_) {
        // Refused (no socket, or every slot taken): nothing changed, nothing registered.
        state_ = kQoSStateCreated;
        flags_ = previousFlags;
        return CP_FAIL;
    }
    state_ = wasAccepted ? kQoSStateConnected : kQoSStateReady;
    SetAction(actionType);
    return CP_OK;
}

vmResult cpCQoSContext::SetActionLimit(uint32_t direction, uint32_t bytesPerSecond) {
    if (!action_) {
        return CP_FAIL;
    }
    action_->SetLimit(direction, bytesPerSecond);
    return CP_OK;
}

vmResult cpCQoSContext::GetActionQuota(uint32_t direction, uint32_t* out) {
    return action_ && action_->GetQuota(direction, out) ? CP_OK : CP_FAIL;
}

vmResult cpCQoSContext::SetActionQuota(uint32_t direction, uint32_t bytes) {
    if (!action_ || !action_->GetQuota(direction, nullptr)) {
        return CP_FAIL;
    }
    action_->SetQuota(direction, bytes);
    return CP_OK;
}

vmResult cpCQoSContext::SetAction(uint32_t actionType) {
    if (action_ && action_->GetType() == actionType) {
        return CP_OK;
    }
    if (action_) {
        // Its blocked flags die with it; the tick still has to wake the socket.
        const bool receiveBlocked = action_->TakeReceiveBlocked();
        const bool sendBlocked = action_->TakeSendBlocked();
        rearmOnTick_ = rearmOnTick_ || receiveBlocked || sendBlocked;
        action_.reset();
    }
    action_ = cpCreateQoSContextAction(actionType);
    if (!action_) {
        return CP_FAIL;
    }
    action_->Bind(&current_, &receive_, &record_);
    return CP_OK;
}

vmResult cpCQoSContext::SetFlags(uint32_t flags) {
    flags_ = flags;
    return CP_OK;
}

vmResult cpCQoSContext::AddFlags(uint32_t flags) {
    flags_ |= flags;
    return CP_OK;
}

vmResult cpCQoSContext::RemoveFlags(uint32_t flags) {
    flags_ &= ~flags;
    return CP_OK;
}

vmResult cpCQoSContext::SetOption(uint32_t option, const uint32_t* value) {
    if (value == nullptr) {
        return CP_FAIL;
    }
    switch (option) {
        case kQoSOptionConnectTimeout:
            connectTimeout_ = value[0];
            return CP_OK;
        case kQoSOptionIdleLimit:
            idleLimit_ = value[0];
            return CP_OK;
        case kQoSOptionDeadline:
            deadline_[0] = value[0] + tickCount_;
            deadline_[1] = value[1];
            deadline_[2] = value[2];
            deadline_[3] = value[3];
            return CP_OK;
        default:
            return CP_FAIL;
    }
}

vmResult cpCQoSContext::GetState(uint32_t* state) {
    if (state == nullptr) {
        return CP_FAIL;
    }
    *state = state_;
    return CP_OK;
}

vmResult cpCQoSContext::Connect(const cpAddress* address) {
    if (state_ != kQoSStateReady || address == nullptr || !record_) {
        return CP_FAIL;
    }
    Hold hold(this);
    state_ = kQoSStateConnecting;
    const vmResult r = cpSocketConnect(record_.get(), address);
    if (vmSucceeded(r)) {
        OnConnected();
    } else if (vmIsResult(r, CP_E_WOULDBLOCK)) {
        StartConnectTimer();
    } else {
        state_ = kQoSStateConnectFailed;
        PostClose();
    }
    return CP_OK;
}

void cpCQoSContext::StartConnectTimer() {
    StopConnectTimer();
    connectTimer_ = vmMakeObject<cpCTimer>();
    cpCQoS* qos = cpCQoS::Instance();
    const uint32_t periodMs = std::min(connectTimeout_, kMaxTimeoutSeconds) * 1000;
    connectTimer_->Start(
        periodMs,
        [this] {
            Hold hold(this);
            OnConnectFailed();
        },
        kTimerIdConnectTimeout, qos != nullptr ? qos->Mutex() : nullptr);
}

void cpCQoSContext::StopConnectTimer() {
    if (connectTimer_) {
        connectTimer_->Stop();
        connectTimer_.Reset();
    }
}

void cpCQoSContext::OnConnectFailed() {
    // One report per attempt: a refusal may follow the time-out that already ended it.
    if (connected_ || Closed() || state_ == kQoSStateConnectFailed) {
        return;
    }
    state_ = kQoSStateConnectFailed;
    StopConnectTimer();
    if (record_) {
        PostEvent(kQoSEventConnectFailed);
    }
}

void cpCQoSContext::OnConnected() {
    if (connected_ || Closed() || !record_) {
        return;
    }
    Hold hold(this);
    StopConnectTimer();
    connected_ = true;
    state_ = kQoSStateConnected;
    OfferBottomUp([](nwIQoSNetStack* layer) { return layer->OnConnected(); });
    if (Closed()) {
        return;
    }
    if (!Flush()) {
        PostClose();
    }
}

void cpCQoSContext::OnConnectRefused() {
    Hold hold(this);
    OnConnectFailed();
}

void cpCQoSContext::OnHostUnreachable() {
    if (connected_ || Closed()) {
        return;
    }
    Hold hold(this);
    OnConnectFailed();
    OfferBottomUp([](nwIQoSNetStack* layer) { return layer->OnHostUnreachable(); });
}

void cpCQoSContext::PostEvent(uint32_t event) {
    // Without a socket the event could never come back.
    if (!record_) {
        return;
    }
    events_.push_back(event);
    cpSocketPostEvent(record_.get());
}

vmResult cpCQoSContext::PostClose() {
    PostEvent(kQoSEventClose);
    return CP_OK;
}

void cpCQoSContext::OnPostedEvent(cpSocketRecord* record) {
    if (!record_ || record_.get() != record || events_.empty()) {
        return;
    }
    Hold hold(this);
    const uint32_t event = events_.front();
    events_.pop_front();
    if (event == kQoSEventIdle) {
        // Data that arrived after the event was posted cancels it.
        if (ticksSinceReceive_ < idleLimit_ || (flags_ & kQoSFlagIdle) == 0) {
            return;
        }
        ReportAddressBad();
    } else if (event == kQoSEventConnectFailed) {
        if ((flags_ & kQoSFlagConnectFailure) == 0 || connected_) {
            return;
        }
        ReportAddressBad();
    }
    RaiseEvent(event);
    if (event == kQoSEventConnectFailed || event == kQoSEventClose) {
        Close();
    }
}

void cpCQoSContext::RaiseEvent(uint32_t event) {
    if ((flags_ & event) == 0) {
        return;
    }
    OfferBottomUp([event](nwIQoSNetStack* layer) { return layer->OnEvent(event, 0); });
}

vmResult cpCQoSContext::Close() {
    if (state_ == kQoSStateCreated || Closed()) {
        return CP_OK;
    }
    Hold hold(this);
    StopConnectTimer();
    state_ = kQoSStateClosing;
    if (record_) {
        if (cpCQoS* qos = cpCQoS::Instance()) {
            qos->UnregisterContext(this, std::move(record_));
        }
        record_.reset();
    }
    events_.clear();
    // A closed context may wait seconds in the collector: what it received is of no use now.
    if (!delivering_) {
        receive_.Free();
    }
    OfferBottomUp([](nwIQoSNetStack* layer) {
        layer->OnClose();
        return true;  // every layer hears of the close
    });
    state_ = kQoSStateClosed;
    return CP_OK;
}

void cpCQoSContext::OnRemoteClosed() {
    Close();
}

vmResult cpCQoSContext::Send(nwIQoSNetStack* from, const void* data, uint32_t length) {
    const int index = IndexOf(from);
    if (index < 0) {
        return CP_FAIL;
    }
    if (index == static_cast<int>(chain_.size()) - 1) {
        return SendRaw(data, length);
    }
    Hold hold(this);
    Layer below = chain_[index + 1];
    below.stack->Write(data, length);
    return CP_OK;
}

vmResult cpCQoSContext::SendRaw(const void* data, uint32_t length) {
    if (state_ == kQoSStateConnectFailed || Closed() || (data == nullptr && length != 0)) {
        return CP_FAIL;
    }
    if (length == 0) {
        return CP_OK;
    }
    Hold hold(this);
    cpSendBlock block;
    block.data = std::make_unique_for_overwrite<uint8_t[]>(length);
    std::memcpy(block.data.get(), data, length);
    block.total = length;
    queue_.push_back(std::move(block));
    LoadNextBlock();
    if (!Flush()) {
        PostClose();
    }
    return CP_OK;
}

void cpCQoSContext::LoadNextBlock() {
    if (!current_.Empty()) {
        return;
    }
    if (queue_.empty()) {
        RaiseEvent(kQoSEventSendQueueEmpty);
        return;
    }
    current_ = std::move(queue_.front());
    queue_.pop_front();
}

bool cpCQoSContext::Flush() {
    if (!record_ || current_.Empty() || !action_) {
        return true;
    }
    // Blocks wait for the connection; a flush already running sends what is queued meanwhile.
    if (state_ != kQoSStateConnected && state_ != kQoSStateReceiving && state_ != kQoSStateIdle) {
        return true;
    }
    state_ = kQoSStateSending;
    bool ok = true;
    for (;;) {
        uint32_t sent = 0;
        ok = action_->Send(&sent);
        if ((flags_ & kQoSFlagSendRate) != 0) {
            sendRate_.Add(sent);
        }
        if (!current_.Empty() && current_.Complete()) {
            current_.Reset();
        }
        if (!ok || !current_.Empty()) {
            break;  // an error, or partly sent: FD_WRITE or the tick continues it
        }
        LoadNextBlock();
        // Event 2 may have closed the connection.
        if (state_ != kQoSStateSending || !record_ || current_.Empty()) {
            break;
        }
    }
    if (state_ == kQoSStateSending) {
        state_ = kQoSStateIdle;
    }
    return ok;
}

void cpCQoSContext::OnWritable() {
    if (Closed() || !record_) {
        return;
    }
    Hold hold(this);
    LoadNextBlock();
    if (!Flush()) {
        PostClose();
    }
}

void cpCQoSContext::OnReadable() {
    if (!record_ || !action_ ||
        (state_ != kQoSStateConnected && state_ != kQoSStateSending && state_ != kQoSStateIdle)) {
        return;
    }
    Hold hold(this);
    ticksSinceReceive_ = 0;
    state_ = kQoSStateReceiving;
    const uint32_t n = action_->Receive();
    if (n > 0 && (flags_ & kQoSFlagReceiveRate) != 0) {
        receiveRate_.Add(n);
    }
    if (state_ == kQoSStateReceiving) {
        state_ = kQoSStateIdle;
    }
    if (n > 0) {
        Deliver();
    }
}

void cpCQoSContext::Deliver() {
    if (Closed() || receive_.length == 0) {
        return;
    }
    Hold hold(this);
    // An answer must fit a signed count; the rest is offered again with the next delivery.
    const uint32_t offered = std::min<uint32_t>(
        receive_.length, static_cast<uint32_t>(std::numeric_limits<int32_t>::max()));
    int32_t consumed = 0;
    const bool outerDelivery = std::exchange(delivering_, true);
    if (!chain_.empty()) {
        Layer bottom = chain_.back();
        consumed = bottom.stack->OnData(receive_.data.get(), offered);
    } else if (dispatcher_) {
        consumed = dispatcher_->Run(receive_.data.get(), offered);
    } else {
        consumed = static_cast<int32_t>(offered);  // nobody can ever read them
    }
    delivering_ = outerDelivery;
    if (Closed()) {
        if (!delivering_) {
            receive_.Free();  // closed by a layer during the delivery
        }
        return;
    }
    if (consumed < 0 || static_cast<uint32_t>(consumed) > offered) {
        receive_.Free();
        Close();
        return;
    }
    receive_.Consume(static_cast<uint32_t>(consumed));
}

void cpCQoSContext::OnTick() {
    Hold hold(this);
    ++tickCount_;
    const uint32_t idleTicks = ticksSinceReceive_++;
    if (idleTicks == idleLimit_ && (flags_ & kQoSFlagIdle) != 0) {
        PostEvent(kQoSEventIdle);
    }
    if (!action_) {
        return;
    }
    action_->Tick(&counters_);
    // Both directions are woken at once: one re-arm notifies every condition that holds.
    const bool receiveBlocked = action_->TakeReceiveBlocked();
    const bool sendBlocked = action_->TakeSendBlocked();
    if (receiveBlocked || sendBlocked || std::exchange(rearmOnTick_, false)) {
        RearmNotifications();
    }
}

vmResult cpCQoSContext::RearmNotifications() {
    if (!record_) {
        return CP_FAIL;
    }
    return cpSocketRearm(record_.get());
}

vmResult cpCQoSContext::AddLayer(uint32_t classId, bool atBottom) {
    Layer layer;
    if (!layer.object.CreateInstance(classId)) {
        return CP_FAIL;
    }
    void* stack = nullptr;
    if (vmFailed(layer.object->QueryInterface(IID_nwIQoSNetStack, &stack)) || stack == nullptr) {
        return CP_FAIL;
    }
    layer.stack = static_cast<nwIQoSNetStack*>(stack);
    layer.stack->SetContext(this);
    layer.classId = classId;
    if (atBottom) {
        chain_.push_back(std::move(layer));
    } else {
        chain_.insert(chain_.begin(), std::move(layer));
    }
    return CP_OK;
}

vmResult cpCQoSContext::GetLayer(uint32_t classId, vmIUnknown** out) {
    for (const Layer& layer : chain_) {
        if (layer.classId == classId) {
            if (out != nullptr) {
                *out = layer.object.Get();
            }
            return CP_OK;
        }
    }
    return CP_FAIL;
}

vmIUnknown* cpCQoSContext::GetTopLayer() {
    return chain_.empty() ? nullptr : chain_.front().object.Get();
}

int cpCQoSContext::IndexOf(const nwIQoSNetStack* layer) const {
    if (layer == nullptr) {
        return -1;
    }
    for (size_t i = 0; i < chain_.size(); ++i) {
        if (chain_[i].stack == layer) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

vmResult cpCQoSContext::NotifyLayerConnected(nwIQoSNetStack* layer) {
    const int index = IndexOf(layer);
    if (index <= 0) {
        return CP_FAIL;
    }
    Hold hold(this);
    Layer above = chain_[index - 1];
    above.stack->OnConnected();
    return CP_OK;
}

int32_t cpCQoSContext::PassUp(nwIQoSNetStack* layer, const uint8_t* data, uint32_t length) {
    const int index = IndexOf(layer);
    if (index <= 0) {
        return 0;
    }
    Hold hold(this);
    Layer above = chain_[index - 1];
    return above.stack->OnData(data, length);
}

vmResult cpCQoSContext::RegisterHandler(uint16_t category, uint16_t type, nwStreamHandler callback,
                                        void* user) {
    if (callback == nullptr) {
        return CP_FAIL;
    }
    if (!dispatcher_) {
        dispatcher_ = vmMakeObject<nwCStreamDispatcher>();
    }
    return dispatcher_->RegisterHandler(category, type, callback, user);
}

vmResult cpCQoSContext::SetRemoteAddress(const cpAddress* address) {
    if (address == nullptr) {
        return CP_FAIL;
    }
    remote_ = *address;
    return CP_OK;
}

vmResult cpCQoSContext::GetRemoteAddress(cpAddress* out) {
    if (out == nullptr) {
        return CP_FAIL;
    }
    *out = remote_;
    return CP_OK;
}

vmResult cpCQoSContext::GetLocalAddress(cpAddress* out) {
    if (out == nullptr || !record_) {
        return CP_FAIL;
    }
    return cpSocketLocalAddress(record_.get(), out);
}

vmResult cpCQoSContext::GetSendBlock(const uint8_t** data, uint32_t* length) {
    if (data != nullptr) {
        *data = current_.data.get();
    }
    if (length != nullptr) {
        *length = current_.total;
    }
    return CP_OK;
}

vmResult cpCQoSContext::GetQueuedSendBytes(uint32_t* out) {
    if (out == nullptr) {
        return CP_FAIL;
    }
    uint64_t total = 0;
    for (const cpSendBlock& block : queue_) {
        total += block.Unsent();
    }
    *out = static_cast<uint32_t>(std::min<uint64_t>(total, std::numeric_limits<uint32_t>::max()));
    return CP_OK;
}

void cpCQoSContext::RateMeter::Add(uint32_t n) {
    if (n == 0) {
        return;
    }
    if (count == 0) {
        stamp = cpGetTime();
    }
    count += n;
}

uint32_t cpCQoSContext::RateMeter::Take() {
    const int64_t elapsed = cpElapsedMs(stamp);
    uint64_t rate = 0;
    if (count != 0 && elapsed > 0) {
        rate = uint64_t{count} * 1000 / static_cast<uint64_t>(elapsed);
    }
    stamp = {};
    count = 0;
    return static_cast<uint32_t>(std::min<uint64_t>(rate, std::numeric_limits<uint32_t>::max()));
}

vmResult cpCQoSContext::GetReceiveRate(uint32_t* out) {
    if (out == nullptr || (flags_ & kQoSFlagReceiveRate) == 0) {
        return CP_FAIL;
    }
    *out = receiveRate_.Take();
    return CP_OK;
}

vmResult cpCQoSContext::GetSendRate(uint32_t* out) {
    if (out == nullptr || (flags_ & kQoSFlagSendRate) == 0) {
        return CP_FAIL;
    }
    *out = sendRate_.Take();
    return CP_OK;
}

vmResult cpCQoSContext::GetHostName(const char** out) {
    if (out == nullptr) {
        return CP_FAIL;
    }
    *out = hostName_;
    return CP_OK;
}

vmResult cpCQoSContext::SetHostName(const char* name) {
    if (name == nullptr) {
        return CP_FAIL;
    }
    const size_t length = strnlen(name, kQoSHostNameSize - 1);
    std::memcpy(hostName_, name, length);
    hostName_[length] = '\0';
    return CP_OK;
}

vmResult cpCQoSContext::ReportAddressGood() {
    if (hostName_[0] == '\0' || remote_.ip == 0 || remote_.port == 0) {
        return CP_FAIL;
    }
    cpCHostCache::Instance().MarkGood(hostName_, remote_.port, remote_.ip);
    return CP_OK;
}

vmResult cpCQoSContext::ReportAddressBad() {
    if (hostName_[0] == '\0' || remote_.ip == 0 || remote_.port == 0) {
        return CP_FAIL;
    }
    cpCHostCache::Instance().MarkBad(hostName_, remote_.port, remote_.ip);
    return CP_OK;
}
