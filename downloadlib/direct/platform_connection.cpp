#include "direct/platform_connection.h"

#include "foundation/collector.h"
#include "foundation/socket_registry.h"
#include "stack/qos_action.h"

bool CPlatformConnection::SetUp(uint32_t actionType, nwIHttpClientExEventListener* listener,
                                uintptr_t context) {
    Close();
    vmSmartPtr<vmIQoSContext> created;
    if (!created.CreateInstance(CLSID_cpCQoSContext) ||
        vmFailed(created->Open(actionType, kQoSFlagConnectFailure | kQoSFlagIdle, nullptr))) {
        return false;
    }
    const uint32_t connectTimeout = kConnectTimeoutSeconds;
    const uint32_t idleLimit = kIdleLimitTicks;
    created->SetOption(kQoSOptionConnectTimeout, &connectTimeout);
    created->SetOption(kQoSOptionIdleLimit, &idleLimit);
    vmIUnknown* top = nullptr;
    if (vmFailed(created->AddLayer(CLSID_nwCHttpClientExLayer, false)) ||
        vmFailed(created->GetLayer(CLSID_nwCHttpClientExLayer, &top))) {
        created->Close();
        vmCGarbageCollector::Instance()->Add(created);
        return false;
    }
    layer_ = dynamic_cast<vmIHttpClientExLayer*>(top);
    layer_->SetListener(listener, context);
    context_ = std::move(created);
    return true;
}

void CPlatformConnection::Get(const std::string& url, const char* range) {
    if (!context_) {
        return;
    }
    if (vmFailed(layer_->Open(url.c_str()))) {
        context_->PostClose();
        return;
    }
    if (range != nullptr) {
        layer_->SetHeader("Range", range);
    }
    layer_->SendGET();
}

void CPlatformConnection::CarryQuotaOver() {
    const cpCQoS* qos = cpCQoS::Instance();
    if (!context_ || !quotaKept_ || qos == nullptr || qos->TickCount() != keptAtTick_) {
        return;
    }
    context_->SetActionQuota(kQoSDirectionReceive, keptQuota_);
}

void CPlatformConnection::Close() {
    if (!context_) {
        return;
    }
    vmSmartPtr<vmIQoSContext> context = std::move(context_);
    context_.Reset();
    const cpCQoS* qos = cpCQoS::Instance();
    quotaKept_ =
        qos != nullptr && vmSucceeded(context->GetActionQuota(kQoSDirectionReceive, &keptQuota_));
    keptAtTick_ = qos != nullptr ? qos->TickCount() : 0;
    if (layer_ != nullptr) {
        layer_->SetListener(nullptr, 0);
        layer_ = nullptr;
    }
    context->Close();
    if (vmCGarbageCollector* collector = vmCGarbageCollector::Instance()) {
        collector->Add(context);
    }
}
