#include "direct/download_session.h"

#include <new>
#include <utility>

#include "foundation/collector.h"
#include "stack/qos_action.h"

CDownloadSession::CDownloadSession(vmSmartPtr<cpCMutex> mutex) : mutex_(std::move(mutex)) {}

CDownloadSession::~CDownloadSession() {
    cpCLock lock(mutex_.Get());
    CloseConnection();
}

void CDownloadSession::SetListener(IDownloadSessionEventListener* listener, uintptr_t context) {
    listener_ = listener;
    context_ = context;
}

int64_t CDownloadSession::MaxBodySize(int32_t kind) {
    return kind == kUrlKindMain   ? kMaxDataFileSize
           : kind == kUrlKindHash ? kMaxHashDocumentSize
                                  : kMaxDescriptorSize;
}

void CDownloadSession::Start() {
    cpCLock lock(mutex_.Get());
    const vmSmartPtr<CDownloadSession> self(this);  // the listener may let go of the session
    CloseConnection();
    std::string url;
    if (progressFile_ == nullptr || !progressFile_->NextUrl(&url) || url.empty()) {
        return;
    }
    url_ = url;
    busy_ = true;
    urlKind_ = progressFile_->UrlKind(url_);
    bodyLimit_ = progressFile_->BodyLimit(url_);
    contentLength_ = 0;
    body_ = {};

    if (!connection_.CreateInstance(CLSID_cpCQoSContext) ||
        vmFailed(
            connection_->Open(kQoSActionHigh, kQoSFlagConnectFailure | kQoSFlagIdle, nullptr))) {
        connection_.Reset();  // never registered: nothing can be queued for it
        Fail(kReasonClosedEarly);
        return;
    }
    const uint32_t connectTimeout = kConnectTimeoutSeconds;
    const uint32_t idleLimit = kIdleLimitTicks;
    connection_->SetOption(kQoSOptionConnectTimeout, &connectTimeout);
    connection_->SetOption(kQoSOptionIdleLimit, &idleLimit);
    vmIUnknown* top = nullptr;
    if (vmFailed(connection_->AddLayer(CLSID_nwCHttpClientExLayer, false)) ||
        vmFailed(connection_->GetLayer(CLSID_nwCHttpClientExLayer, &top)) ||
        (layer_ = dynamic_cast<vmIHttpClientExLayer*>(top)) == nullptr) {
        Fail(kReasonClosedEarly);
        return;
    }
    layer_->SetListener(this, 0);
    if (vmFailed(layer_->Open(url_.c_str()))) {
        // A name that does not resolve is an unreachable host; a URL the layer cannot speak is
        // an unusable answer. Either way the request is over and is reported, never left open.
        HttpUrl parsed;
        const bool usable = ParseHttpUrl(url_, &parsed) && !parsed.secure;
        Fail(usable ? kReasonHostUnreachable : kReasonUnusableResponse);
        return;
    }
    layer_->SendGET();
}

void CDownloadSession::Stop() {
    cpCLock lock(mutex_.Get());
    busy_ = false;
    CloseConnection();
}

void CDownloadSession::CloseConnection() {
    if (!connection_) {
        return;
    }
    if (layer_ != nullptr) {
        layer_->SetListener(nullptr, 0);
        layer_ = nullptr;
    }
    connection_->Close();
    // Events already queued for the connection must still find it.
    vmCGarbageCollector::Instance()->Add(connection_);
    connection_.Reset();
}

void CDownloadSession::Fail(int32_t reason) {
    busy_ = false;
    CloseConnection();
    body_ = {};
    if (listener_ != nullptr) {
        listener_->OnSessionError(context_, reason);
    }
}

void CDownloadSession::OnConnected(uintptr_t) {
    const vmSmartPtr<CDownloadSession> self(this);
    contentLength_ = 0;
    if (listener_ != nullptr) {
        listener_->OnSessionConnected(context_);
    }
}

void CDownloadSession::OnResponseHeader(uintptr_t) {
    const vmSmartPtr<CDownloadSession> self(this);
    int32_t status = 0;
    int64_t length = 0;
    layer_->GetStatusCode(&status);
    layer_->GetContentLength(&length);
    if (status != eNWHSC_HTTP_OK || length <= 0 || length > MaxBodySize(urlKind_) ||
        (bodyLimit_ > 0 && length > bodyLimit_)) {
        Fail(kReasonUnusableResponse);
        return;
    }
    try {
        // Reserved, not filled: pages are touched only as bytes arrive.
        body_.reserve(static_cast<size_t>(length));
    } catch (const std::bad_alloc&) {
        Fail(kReasonUnusableResponse);
        return;
    }
    contentLength_ = length;
    if (urlKind_ == kUrlKindMain && listener_ != nullptr) {
        listener_->OnSessionFileInfo(context_, url_, length);
    }
}

int32_t CDownloadSession::OnResponseData(uintptr_t, const uint8_t* data, uint32_t count) {
    if (!connection_ || contentLength_ <= 0) {
        return 0;
    }
    const vmSmartPtr<CDownloadSession> self(this);
    const int64_t room = contentLength_ - static_cast<int64_t>(body_.size());
    const int64_t taken = count < room ? count : room;
    body_.insert(body_.end(), data, data + taken);
    if (urlKind_ == kUrlKindMain && listener_ != nullptr) {
        listener_->OnSessionProgress(context_, url_, static_cast<int64_t>(body_.size()));
    }
    return static_cast<int32_t>(count);
}

void CDownloadSession::OnResponseComplete(uintptr_t) {
    if (!connection_ || contentLength_ <= 0 ||
        static_cast<int64_t>(body_.size()) != contentLength_) {
        return;
    }
    const vmSmartPtr<CDownloadSession> self(this);
    CDownloadResult result{url_, kUrlKindNone, 0, contentLength_};
    CloseConnection();
    const std::vector<uint8_t> body = std::exchange(body_, {});
    if (progressFile_ != nullptr) {
        result.code = progressFile_->Deliver(url_, body.data(), contentLength_, &result.kind);
    }
    if (progressFile_ == nullptr || progressFile_->IsFinished()) {
        busy_ = false;
        if (listener_ != nullptr) {
            listener_->OnSessionCompleted(context_, result);
        }
        return;
    }
    // The hash document is in; the file's data follows on a new request.
    Start();
}

void CDownloadSession::OnClosed(uintptr_t) {
    // A completed request has let go of its connection, so a close seen here came before the
    // whole body: whether or not the head arrived, the request failed.
    if (connection_) {
        const vmSmartPtr<CDownloadSession> self(this);
        Fail(kReasonClosedEarly);
    }
}

void CDownloadSession::OnConnectTimeout(uintptr_t) {
    const vmSmartPtr<CDownloadSession> self(this);
    Fail(kReasonConnectTimeout);
}

void CDownloadSession::OnIdleTimeout(uintptr_t) {
    const vmSmartPtr<CDownloadSession> self(this);
    Fail(kReasonIdleTimeout);
}

void CDownloadSession::OnHostUnreachable(uintptr_t) {
    const vmSmartPtr<CDownloadSession> self(this);
    Fail(kReasonHostUnreachable);
}
