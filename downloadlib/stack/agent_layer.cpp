#include "stack/agent_layer.h"

#include <cstring>

nwCAgentLayer::nwCAgentLayer() {
    Init();
}

nwCAgentLayer::~nwCAgentLayer() {
    listener_ = nullptr;
    cookie_ = 0;
}

void nwCAgentLayer::Init() {
    RegisterHandler(kAgentCategory, kAgentAnswerType, &nwCAgentLayer::OnAnswer, this);
}

vmResult nwCAgentLayer::SetListener(nwIAgentListener* listener, uint32_t cookie) {
    listener_ = listener;
    cookie_ = cookie;
    return NW_OK;
}

vmResult nwCAgentLayer::SendReport(const vmAgentReportBlock* report) {
    if (report == nullptr || (report->count != 0 && report->records == nullptr)) {
        return NW_FAIL;
    }
    const uint64_t payloadLength = uint64_t{report->count} * kAgentReportRecordSize + 4;
    if (payloadLength > kStreamMaxLength) {
        return NW_FAIL;
    }
    nwCStreamMessage message = AllocMessage(static_cast<uint32_t>(payloadLength));
    uint8_t* payload = message.Payload();
    for (int i = 0; i < 4; ++i) {
        payload[i] = static_cast<uint8_t>(report->count >> (8 * i));
    }
    if (report->count != 0) {
        std::memcpy(payload + 4, report->records, payloadLength - 4);
    }
    return SendMessage(kAgentReportType, std::move(message), kAgentCategory);
}

vmResult nwCAgentLayer::SendJobReport(const void* payload, uint32_t length) {
    if (payload == nullptr || length == 0 || length > kAgentMaxJobReport) {
        return NW_FAIL;
    }
    nwCStreamMessage message = AllocMessage(length);
    std::memcpy(message.Payload(), payload, length);
    return SendMessage(kAgentJobReportType, std::move(message), kAgentCategory);
}

void nwCAgentLayer::OnAnswer(const uint8_t* payload, uint32_t length, void* user) {
    auto* self = static_cast<nwCAgentLayer*>(user);
    // An answer without a payload carries no code.
    if (self->listener_ != nullptr && length != 0) {
        self->listener_->OnAgentReceived(self->cookie_, payload[0]);
    }
}

bool nwCAgentLayer::OnConnected() {
    if (listener_ != nullptr) {
        listener_->OnAgentConnected(cookie_);
    }
    return true;
}

void nwCAgentLayer::OnClosed() {
    if (listener_ != nullptr) {
        listener_->OnAgentClosed(cookie_);
    }
}

bool nwCAgentLayer::OnConnectTimeout() {
    if (listener_ != nullptr) {
        listener_->OnAgentConnectTimeout(cookie_);
    }
    return true;
}

bool nwCAgentLayer::OnIdleTimeout() {
    if (listener_ != nullptr) {
        listener_->OnAgentIdleTimeout(cookie_);
    }
    return true;
}
