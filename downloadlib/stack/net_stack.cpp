#include "stack/net_stack.h"

vmResult nwIQoSNetStack::GetReceiveRate(uint32_t* out) {
    return context_ != nullptr ? context_->GetReceiveRate(out) : CP_FAIL;
}

vmResult nwIQoSNetStack::GetSendRate(uint32_t* out) {
    return context_ != nullptr ? context_->GetSendRate(out) : CP_FAIL;
}

vmResult nwIQoSNetStack::Close() {
    return context_ != nullptr ? context_->Close() : CP_FAIL;
}

vmResult nwIQoSNetStack::SetFlags(uint32_t flags) {
    return context_ != nullptr ? context_->SetFlags(flags) : CP_FAIL;
}

vmResult nwIQoSNetStack::AddFlags(uint32_t flags) {
    return context_ != nullptr ? context_->AddFlags(flags) : CP_FAIL;
}

vmResult nwIQoSNetStack::RemoveFlags(uint32_t flags) {
    return context_ != nullptr ? context_->RemoveFlags(flags) : CP_FAIL;
}

vmResult nwIQoSNetStack::Connect(const cpAddress* address) {
    return context_ != nullptr ? context_->Connect(address) : CP_FAIL;
}

vmResult nwIQoSNetStack::NotifyConnected() {
    return context_ != nullptr ? context_->NotifyLayerConnected(this) : CP_FAIL;
}

int32_t nwIQoSNetStack::PassUp(const uint8_t* data, uint32_t length) {
    return context_ != nullptr ? context_->PassUp(this, data, length) : 0;
}

vmResult nwIQoSNetStack::SendDown(const void* data, uint32_t length) {
    return context_ != nullptr ? context_->Send(this, data, length) : CP_FAIL;
}

vmResult nwIQoSNetStack::GetLayer(uint32_t classId, vmIUnknown** out) {
    return context_ != nullptr ? context_->GetLayer(classId, out) : CP_FAIL;
}

vmResult nwIQoSNetStack::AddLayer(uint32_t classId, bool atBottom) {
    return context_ != nullptr ? context_->AddLayer(classId, atBottom) : CP_FAIL;
}

vmResult nwIQoSNetStack::GetRemoteAddress(cpAddress* out) {
    return context_ != nullptr ? context_->GetRemoteAddress(out) : CP_FAIL;
}

vmResult nwIQoSNetStack::SetRemoteAddress(const cpAddress* address) {
    return context_ != nullptr ? context_->SetRemoteAddress(address) : CP_FAIL;
}

vmResult nwIQoSNetStack::GetHostName(const char** out) {
    return context_ != nullptr ? context_->GetHostName(out) : CP_FAIL;
}

vmResult nwIQoSNetStack::SetHostName(const char* name) {
    return context_ != nullptr ? context_->SetHostName(name) : CP_FAIL;
}

nwCStreamMessage::nwCStreamMessage(uint32_t payloadLength) {
    if (payloadLength > kStreamMaxLength) {
        return;
    }
    bytes_.assign(static_cast<size_t>(nwStreamMessageSize(payloadLength)), 0);
    payloadLength_ = payloadLength;
}

void nwCStreamMessage::SetHeader(uint16_t category, uint16_t type) {
    if (!Valid()) {
        return;
    }
    nwStreamHeader header;
    header.category = category;
    header.type = type;
    header.length = Size() - kStreamHeaderSize;
    nwWriteStreamHeader(bytes_.data(), header);
}

void nwCApplicationStack::Write(const void* data, uint32_t length) {
    SendDown(data, length);
}

bool nwCApplicationStack::OnEvent(uint32_t event, uint32_t /*argument*/) {
    switch (event) {
        case kQoSEventConnectFailed:
            return OnConnectTimeout();
        case kQoSEventSendQueueEmpty:
            return OnSendQueueEmpty();
        case kQoSEventIdle:
            return OnIdleTimeout();
        case kQoSEventDeadline:
            return OnDeadline();
        default:
            return true;
    }
}

int32_t nwCApplicationStack::OnData(const uint8_t* data, uint32_t length) {
    return dispatcher_.Run(data, length);
}

void nwCApplicationStack::OnClose() {
    dispatcher_.Stop();
    OnClosed();
}

vmResult nwCApplicationStack::SendMessage(uint16_t type, nwCStreamMessage message,
                                          uint16_t category) {
    if (!message.Valid()) {
        return NW_FAIL;
    }
    message.SetHeader(category, type);
    return vmFailed(SendDown(message.Data(), message.Size())) ? NW_FAIL : NW_OK;
}
