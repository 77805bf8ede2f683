#include "stack/job_reporter.h"

#include <algorithm>

#include "foundation/collector.h"
#include "foundation/host_cache.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "stack/qos_action.h"

namespace {

void Append(std::vector<uint8_t>& out, uint64_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

void AppendText(std::vector<uint8_t>& out, const std::string& text, size_t limit) {
    const size_t length = std::min(text.size(), limit);
    Append(out, length, 2);
    for (size_t i = 0; i < length; ++i) {
        out.push_back(text[i] == '\0' ? static_cast<uint8_t>(' ') : static_cast<uint8_t>(text[i]));
    }
}

}  // namespace

std::vector<uint8_t> EncodeJobReport(const vmJobReport& report) {
    std::vector<uint8_t> out;
    Append(out, 1, 2);
    out.push_back(report.path);
    out.push_back(report.outcome);
    Append(out, report.files, 4);
    Append(out, report.filesCompleted, 4);
    Append(out, report.connections, 4);
    Append(out, report.durationMs, 8);
    Append(out, static_cast<uint64_t>(std::max<int64_t>(report.bytesFromServers, 0)), 8);
    Append(out, static_cast<uint64_t>(std::max<int64_t>(report.bytesFromPeers, 0)), 8);
    Append(out, static_cast<uint64_t>(std::max<int64_t>(report.totalBytes, 0)), 8);
    AppendText(out, report.serviceId, 32);
    AppendText(out, report.url, 2048);
    AppendText(out, report.mirror, 255);
    AppendText(out, report.engineVersion, 32);
    AppendText(out, report.failure, 1024);
    return out;
}

CJobReporter::~CJobReporter() {
    if (connection_) {
        if (layer_ != nullptr) {
            layer_->SetListener(nullptr, 0);
        }
        connection_->Close();
        Forget();
    }
}

void CJobReporter::Report(const vmJobReport& report) {
    if (queue_.size() >= kMaxQueued) {
        queue_.pop_front();
        WriteLogLine("[TessloadLib] Job report dropped: too many waiting for the report server");
    }
    queue_.push_back(EncodeJobReport(report));
    Connect();
}

void CJobReporter::Connect() {
    if (connection_) {
        SendQueue();
        return;
    }
    std::string host;
    uint16_t port = 0;
    SplitReportServer(ReportServer(), &host, &port);
    uint32_t address = 0;
    if (!cpCHostCache::Instance().Resolve(host.c_str(), port, &address)) {
        WriteLogLineF("[TessloadLib] Job report server %s not resolved: %zu report(s) dropped",
                      host.c_str(), queue_.size());
        queue_.clear();
        return;
    }
    vmSmartPtr<vmIQoSContext> context;
    vmIUnknown* top = nullptr;
    if (!context.CreateInstance(CLSID_cpCQoSContext) ||
        vmFailed(context->Open(kQoSActionHigh, kQoSFlagConnectFailure | kQoSFlagIdle, nullptr))) {
        queue_.clear();
        return;
    }
    if (vmFailed(context->AddLayer(CLSID_nwCAgentLayer, false)) ||
        vmFailed(context->GetLayer(CLSID_nwCAgentLayer, &top))) {
        context->Close();
        vmCGarbageCollector::Instance()->Add(context);
        queue_.clear();
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
    server_ = host + ":" + std::to_string(port);
    const cpAddress remote{address, port, 0};
    context->SetHostName(host.c_str());
    context->SetRemoteAddress(&remote);
    context->Connect(&remote);
}

void CJobReporter::SendQueue() {
    while (!queue_.empty() && layer_ != nullptr) {
        const std::vector<uint8_t> payload = std::move(queue_.front());
        queue_.pop_front();
        if (vmSucceeded(
                layer_->SendJobReport(payload.data(), static_cast<uint32_t>(payload.size())))) {
            ++awaitingAcks_;
        } else {
            WriteLogLine("[TessloadLib] Job report dropped: the connection did not take it");
        }
    }
}

void CJobReporter::OnAgentConnected(uint32_t) {
    SendQueue();
}

void CJobReporter::OnAgentReceived(uint32_t, uint32_t) {
    if (awaitingAcks_ > 0) {
        --awaitingAcks_;
    }
    if (queue_.empty() && awaitingAcks_ == 0) {
        if (vmSmartPtr<vmIQoSContext> context = connection_) {
            context->Close();
        }
    }
}

void CJobReporter::OnAgentClosed(uint32_t) {
    if (layer_ != nullptr) {
        layer_->SetListener(nullptr, 0);
    }
    const size_t lost = queue_.size() + awaitingAcks_;
    if (lost > 0) {
        // A collector that does not know job reports closes here, after answering the rest.
        WriteLogLineF(
            "[TessloadLib] Job report server %s closed the connection: %zu report(s) "
            "dropped",
            server_.c_str(), lost);
    }
    queue_.clear();
    Forget();
}

void CJobReporter::OnAgentConnectTimeout(uint32_t) {
    GiveUp("not reached");
}

void CJobReporter::OnAgentIdleTimeout(uint32_t) {
    GiveUp("did not answer");
}

void CJobReporter::GiveUp(const char* why) {
    const size_t lost = queue_.size() + awaitingAcks_;
    WriteLogLineF("[TessloadLib] Job report server %s %s: %zu report(s) dropped", server_.c_str(),
                  why, lost);
    queue_.clear();
    awaitingAcks_ = 0;
    if (layer_ != nullptr) {
        layer_->SetListener(nullptr, 0);
    }
    if (vmSmartPtr<vmIQoSContext> context = connection_) {
        context->Close();
    }
    Forget();
}

void CJobReporter::Forget() {
    layer_ = nullptr;
    awaitingAcks_ = 0;
    if (vmSmartPtr<vmIQoSContext> context = std::move(connection_)) {
        connection_.Reset();
        if (vmCGarbageCollector* collector = vmCGarbageCollector::Instance()) {
            collector->Add(context);
        }
    }
}
