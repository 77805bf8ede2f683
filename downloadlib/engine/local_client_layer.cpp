#include "engine/local_client_layer.h"

#include <cstring>
#include <type_traits>
#include <utility>
#include <variant>

namespace ep = engine_protocol;

namespace {

// Keeps the layer alive across a listener call, which may close the connection and let it go.
class LayerHold {
  public:
    explicit LayerHold(vmIUnknown* layer) : layer_(layer) { layer_->AddRef(); }
    ~LayerHold() { layer_->Release(); }
    LayerHold(const LayerHold&) = delete;
    LayerHold& operator=(const LayerHold&) = delete;

  private:
    vmIUnknown* layer_;
};

}  // namespace

nwCCDNLocalClientLayer::nwCCDNLocalClientLayer() {
    Init();
}

nwCCDNLocalClientLayer::~nwCCDNLocalClientLayer() {
    listener_ = nullptr;
    context_ = 0;
}

void nwCCDNLocalClientLayer::Init() {
    // In this order; any other message of the engine has no handler and ends the connection.
    RegisterHandler(ep::kCategory, ep::kJobAccepted, &Handle<ep::JobAccepted>, this);
    RegisterHandler(ep::kCategory, ep::kJobFailed, &Handle<ep::JobFailed>, this);
    RegisterHandler(ep::kCategory, ep::kJobProgress, &Handle<ep::JobProgress>, this);
    RegisterHandler(ep::kCategory, ep::kJobFinished, &Handle<ep::JobFinished>, this);
    RegisterHandler(ep::kCategory, ep::kFileCompleted, &Handle<ep::FileCompleted>, this);
    RegisterHandler(ep::kCategory, ep::kJobDiskStatus, &Handle<ep::JobDiskStatus>, this);
    RegisterHandler(ep::kCategory, ep::kNetworkPoor, &Handle<ep::NetworkPoor>, this);
    RegisterHandler(ep::kCategory, ep::kNetworkBack, &Handle<ep::NetworkBack>, this);
    RegisterHandler(ep::kCategory, ep::kFileCompletedAt, &Handle<ep::FileCompletedAt>, this);
    RegisterHandler(ep::kCategory, ep::kResumeQuery, &Handle<ep::ResumeQuery>, this);
    RegisterHandler(ep::kCategory, ep::kEngineState, &Handle<ep::EngineState>, this);
}

vmResult nwCCDNLocalClientLayer::SetListener(nwICDNLocalClientEventListener* listener,
                                             uintptr_t context) {
    listener_ = listener;
    context_ = context;
    return NW_OK;
}

template <class Record>
vmResult nwCCDNLocalClientLayer::Send(const Record& record) {
    ep::Bytes payload;
    if (!ep::Encode(record, &payload) || payload.size() > kStreamMaxLength) {
        return NW_FAIL;
    }
    nwCStreamMessage message = AllocMessage(static_cast<uint32_t>(payload.size()));
    if (!message.Valid()) {
        return NW_FAIL;
    }
    if (!payload.empty()) {
        std::memcpy(message.Payload(), payload.data(), payload.size());
    }
    return SendMessage(Record::kType, std::move(message), ep::CategoryOf<Record>());
}

vmResult nwCCDNLocalClientLayer::SendJobMode(const ep::JobMode& record) {
    return Send(record);
}
vmResult nwCCDNLocalClientLayer::SendJobCode(const ep::JobCode& record) {
    return Send(record);
}
vmResult nwCCDNLocalClientLayer::SendFileList(const ep::FileList& record) {
    return Send(record);
}
vmResult nwCCDNLocalClientLayer::SendFileListBegin(const ep::FileListBegin& record) {
    return Send(record);
}
vmResult nwCCDNLocalClientLayer::SendFileListEntry(const ep::FileListEntry& record) {
    return Send(record);
}
vmResult nwCCDNLocalClientLayer::SendFileListEnd(const ep::FileListEnd& record) {
    return Send(record);
}
vmResult nwCCDNLocalClientLayer::SendStopJob(const ep::StopJob& record) {
    return Send(record);
}
vmResult nwCCDNLocalClientLayer::SendServiceId(const ep::ServiceId& record) {
    return Send(record);
}
vmResult nwCCDNLocalClientLayer::SendJobFlag(const ep::JobFlag& record) {
    return Send(record);
}
vmResult nwCCDNLocalClientLayer::SendEngineOption(const ep::EngineOption& record) {
    return Send(record);
}
vmResult nwCCDNLocalClientLayer::SendResumeReply(const ep::ResumeReply& record) {
    return Send(record);
}
vmResult nwCCDNLocalClientLayer::SendStateRequest() {
    return Send(ep::StateRequest{});
}

template <class Record>
void nwCCDNLocalClientLayer::Handle(const uint8_t* payload, uint32_t length, void* user) {
    auto* self = static_cast<nwCCDNLocalClientLayer*>(user);
    if (self->broken_) {
        return;
    }
    Record record;
    if (!ep::Decode(payload, length, &record)) {
        self->broken_ = true;
        self->dispatcher_.Stop();
        return;
    }
    self->Deliver(ep::EngineMessage{std::move(record)});
}

void nwCCDNLocalClientLayer::Deliver(const ep::EngineMessage& message) {
    if (listener_ == nullptr) {
        return;
    }
    nwICDNLocalClientEventListener* listener = listener_;
    const uintptr_t context = context_;
    std::visit(
        [&](const auto& record) {
            using Record = std::decay_t<decltype(record)>;
            if constexpr (std::is_same_v<Record, ep::JobAccepted>) {
                listener->OnJobAccepted(record, context);
            } else if constexpr (std::is_same_v<Record, ep::JobFailed>) {
                listener->OnJobFailed(record, context);
            } else if constexpr (std::is_same_v<Record, ep::JobProgress>) {
                listener->OnJobProgress(record, context);
            } else if constexpr (std::is_same_v<Record, ep::JobFinished>) {
                listener->OnJobFinished(record, context);
            } else if constexpr (std::is_same_v<Record, ep::FileCompleted>) {
                listener->OnFileCompleted(record, context);
            } else if constexpr (std::is_same_v<Record, ep::JobDiskStatus>) {
                listener->OnJobDiskStatus(record, context);
            } else if constexpr (std::is_same_v<Record, ep::NetworkPoor>) {
                listener->OnNetworkPoor(context);
            } else if constexpr (std::is_same_v<Record, ep::NetworkBack>) {
                listener->OnNetworkBack(context);
            } else if constexpr (std::is_same_v<Record, ep::FileCompletedAt>) {
                listener->OnFileCompletedAt(record, context);
            } else if constexpr (std::is_same_v<Record, ep::ResumeQuery>) {
                listener->OnResumeQuery(record.job, context);
            } else if constexpr (std::is_same_v<Record, ep::EngineState>) {
                listener->OnEngineState(record.value, context);
            }
        },
        message);
}

int32_t nwCCDNLocalClientLayer::OnData(const uint8_t* data, uint32_t length) {
    const LayerHold hold(static_cast<vmICDNLocalClientLayer*>(this));
    const int32_t consumed = nwCApplicationStack::OnData(data, length);
    return broken_ ? -1 : consumed;
}

bool nwCCDNLocalClientLayer::OnConnected() {
    if (listener_ != nullptr) {
        const LayerHold hold(static_cast<vmICDNLocalClientLayer*>(this));
        listener_->OnConnected(context_);
    }
    return true;
}

void nwCCDNLocalClientLayer::OnClosed() {
    if (listener_ != nullptr) {
        const LayerHold hold(static_cast<vmICDNLocalClientLayer*>(this));
        listener_->OnClosed(context_);
    }
}

bool nwCCDNLocalClientLayer::OnConnectTimeout() {
    if (listener_ != nullptr) {
        const LayerHold hold(static_cast<vmICDNLocalClientLayer*>(this));
        listener_->OnConnectTimeout(context_);
    }
    return true;
}

void vmRegisterEngineClasses() {
    vmRegisterClass(CLSID_nwCCDNLocalClientLayer,
                    &vmNewObject<nwCCDNLocalClientLayer, vmICDNLocalClientLayer>);
}
