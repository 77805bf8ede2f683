#include "direct/platform_reporter.h"

#include "foundation/collector.h"
#include "foundation/host_cache.h"
#include "foundation/paths.h"
#include "stack/qos_action.h"

CPlatformReporter::~CPlatformReporter() {
    if (connection_) {
        if (layer_ != nullptr) {
            layer_->SetListener(nullptr, 0);
        }
        connection_->Close();
        Forget();
    }
}

void CPlatformReporter::Report(const uint8_t* records, uint32_t count) {
    if (records == nullptr || count == 0) {
        return;
    }
    if (queue_.size() >= kMaxQueuedBlocks) {
        queue_.pop_front();
    }
    queue_.push_back(Block{
        count, std::vector<uint8_t>(records, records + size_t{count} * kAgentReportRecordSize)});
    Connect();
}

void CPlatformReporter::Connect() {
    std::string host;
    uint16_t port = 0;
    SplitReportServer(ReportServer(), &host, &port);
    uint32_t address = 0;
    if (!cpCHostCache::Instance().Resolve(host.c_str(), port, &address)) {
        return;  // the blocks wait for the next report
    }
    if (connection_) {
        SendQueue();
        return;
    }
    vmSmartPtr<vmIQoSContext> context;
    vmIUnknown* top = nullptr;
    if (!context.CreateInstance(CLSID_cpCQoSContext) ||
        vmFailed(context->Open(kQoSActionHigh, kQoSFlagConnectFailure | kQoSFlagIdle, nullptr))) {
        return;
    }
    if (vmFailed(context->AddLayer(CLSID_nwCAgentLayer, false)) ||
        vmFailed(context->GetLayer(CLSID_nwCAgentLayer, &top))) {
        context->Close();
        vmCGarbageCollector::Instance()->Add(context);
        return;
    }
    const uint32_t connectTimeout = kConnectTimeoutSeconds;
    const uint32_t idleLimit = kIdleLimitTicks;
    context->SetOption(kQoSOptionConnectTimeout, &connectTimeout);
    context->SetOption(kQoSOptionIdleLimit, &idleLimit);
    layer_ = dynamic_cast<vmIAgentLayer*>(top);
    layer_->SetListener(this, 0);
    connection_ = context;
    awaitingAcks_ = 0;
    const cpAddress remote{address, port, 0};
    context->SetHostName(host.c_str());
    context->SetRemoteAddress(&remote);
    context->Connect(&remote);
}

void CPlatformReporter::SendQueue() {
    while (!queue_.empty() && layer_ != nullptr) {
        const Block block = std::move(queue_.front());
        queue_.pop_front();
        const vmAgentReportBlock report{block.count, block.records.data()};
        if (vmSucceeded(layer_->SendReport(&report))) {
            ++awaitingAcks_;
        }
    }
}

void CPlatformReporter::OnAgentConnected(uint32_t) {
    SendQueue();
}

void CPlatformReporter::OnAgentReceived(uint32_t, uint32_t) {
    if (awaitingAcks_ > 0) {
        --awaitingAcks_;
    }
    if (queue_.empty() && awaitingAcks_ == 0) {
        CloseContext();
    }
}

void CPlatformReporter::OnAgentClosed(uint32_t) {
    if (layer_ != nullptr) {
        layer_->SetListener(nullptr, 0);
    }
    Forget();
}

void CPlatformReporter::OnAgentConnectTimeout(uint32_t) {
    CloseContext();
}

void CPlatformReporter::OnAgentIdleTimeout(uint32_t) {
    CloseContext();
}

void CPlatformReporter::CloseContext() {
    if (vmSmartPtr<vmIQoSContext> context = connection_) {
        context->Close();
    }
}

void CPlatformReporter::Forget() {
    layer_ = nullptr;
    awaitingAcks_ = 0;
    if (vmSmartPtr<vmIQoSContext> context = std::move(connection_)) {
        connection_.Reset();
        if (vmCGarbageCollector* collector = vmCGarbageCollector::Instance()) {
            collector->Add(context);
        }
    }
}
