#include "direct/data_download_session.h"

#include <cstring>
#include <new>
#include <utility>

#include "foundation/collector.h"
#include "foundation/log.h"
#include "http/uri_codec.h"
#include "stack/qos_action.h"

CDataDownloadSession::CDataDownloadSession(IDataDownloadSessionEventListener* listener,
                                           vmSmartPtr<cpCMutex> mutex)
    : listener_(listener), mutex_(std::move(mutex)) {}

CDataDownloadSession::~CDataDownloadSession() {
    cpCLock lock(mutex_.Get());
    CloseConnection(false);
}

int32_t CDataDownloadSession::Start(const char* url) {
    return StartWithin(url, kMaxDataSize);
}

int32_t CDataDownloadSession::Status(int32_t* status) {
    cpCLock lock(mutex_.Get());
    if (status == nullptr || status_ == 0) {
        return DL_E_FAIL;
    }
    *status = status_;
    return DL_OK;
}

int32_t CDataDownloadSession::StartWithin(const char* url, int64_t limit) {
    cpCLock lock(mutex_.Get());
    limit_ = limit > 0 && limit < kMaxDataSize ? limit : kMaxDataSize;
    status_ = 0;
    // One download at a time: a new start replaces the old one and its data.
    CloseConnection(false);
    buffer_ = {};
    stored_ = 0;
    contentLength_ = 0;
    complete_ = false;
    redirects_.Reset();
    url_ = url != nullptr ? url : "";
    if (url_.empty()) {
        // Nothing to fetch; the host still hears the outcome instead of waiting for it.
        Fail(kReasonUnusableResponse, false, "no URL");
        return DL_E_FAIL;
    }
    return Request(url_) ? DL_OK : DL_E_FAIL;
}

int32_t CDataDownloadSession::Size(int64_t* size) {
    cpCLock lock(mutex_.Get());
    if (!complete_ || contentLength_ <= 0 || size == nullptr) {
        return DL_E_FAIL;
    }
    *size = contentLength_;
    return DL_OK;
}

int32_t CDataDownloadSession::Copy(const DataBuffer* buffer) {
    cpCLock lock(mutex_.Get());
    if (!complete_ || buffer == nullptr || buffer->data == nullptr ||
        buffer->size != contentLength_ || contentLength_ <= 0) {
        return DL_E_FAIL;
    }
    std::memcpy(buffer->data, buffer_.data(), static_cast<size_t>(contentLength_));
    return DL_OK;
}

bool CDataDownloadSession::Request(const std::string& url) {
    cpCLock lock(mutex_.Get());
    redirectUrl_ = url;
    if (!tickTimer_) {
        tickTimer_ = vmMakeObject<cpCTimer>();
        tickTimer_->Start(
            kTickPeriodMs, [this] { listener_->OnDataDownloadTick(); }, kTickTimerId, mutex_);
    }
    if (!connection_.CreateInstance(CLSID_cpCQoSContext) ||
        vmFailed(
            connection_->Open(kQoSActionHigh, kQoSFlagConnectFailure | kQoSFlagIdle, nullptr))) {
        connection_.Reset();  // never registered: nothing can be queued for it
        Fail(kReasonClosedEarly, false, "no connection to be had");
        return false;
    }
    const uint32_t connectTimeout = kConnectTimeoutSeconds;
    const uint32_t idleLimit = kIdleLimitTicks;
    connection_->SetOption(kQoSOptionConnectTimeout, &connectTimeout);
    connection_->SetOption(kQoSOptionIdleLimit, &idleLimit);
    vmIUnknown* top = nullptr;
    if (vmFailed(connection_->AddLayer(CLSID_nwCHttpClientExLayer, false)) ||
        vmFailed(connection_->GetLayer(CLSID_nwCHttpClientExLayer, &top)) ||
        (layer_ = dynamic_cast<vmIHttpClientExLayer*>(top)) == nullptr) {
        Fail(kReasonClosedEarly, false, "no connection to be had");
        return false;
    }
    layer_->SetListener(this, 0);
    if (vmFailed(layer_->Open(url.c_str()))) {
        // A URL the layer cannot use, or a host name that does not resolve.
        HttpUrl parsed;
        const bool usable = ParseHttpUrl(url, &parsed);
        Fail(usable ? kReasonHostUnreachable : kReasonUnusableResponse, false,
             usable ? "host name not resolved" : "not an http or https URL");
        return false;
    }
    // The context queues the request until the connection is up.
    layer_->SendGET();
    return true;
}

void CDataDownloadSession::CloseConnection(bool markBad) {
    cpCLock lock(mutex_.Get());
    if (tickTimer_) {
        tickTimer_->Stop();
        tickTimer_.Reset();
    }
    if (!connection_) {
        return;
    }
    if (markBad) {
        connection_->ReportAddressBad();
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

void CDataDownloadSession::Fail(int32_t reason, bool markBad, const std::string& why) {
    // The host learns only that the list failed: the log is where the reason is read.
    WriteLogLineF("[TessloadLib] DataDownload Failed reason:%d (%s) url:%s", reason, why.c_str(),
                  redirectUrl_.empty() ? url_.c_str() : redirectUrl_.c_str());
    CloseConnection(markBad);
    listener_->OnDataDownloadFailed(reason);
}

void CDataDownloadSession::OnResponseHeader(uintptr_t) {
    int32_t status = 0;
    layer_->GetStatusCode(&status);
    status_ = status;
    if (status == eNWHSC_HTTP_OK) {
        int64_t length = 0;
        layer_->GetContentLength(&length);
        if (length <= 0 || length > limit_) {
            Fail(kReasonUnusableResponse, true,
                 length <= 0 ? "no usable Content-Length"
                             : "Content-Length " + std::to_string(length) + " above the limit");
            return;
        }
        try {
            buffer_.assign(static_cast<size_t>(length), 0);
        } catch (const std::bad_alloc&) {
            Fail(kReasonUnusableResponse, false, "no memory for the data");
            return;
        }
        stored_ = 0;
        contentLength_ = length;
        return;
    }
    if (status == eNWHSC_HTTP_FOUND || status == eNWHSC_HTTP_SEEOTHER) {
        std::string location;
        std::string ansi;
        std::string next;
        layer_->GetHeader("Location:", &location);
        Utf8ToAnsi(location, &ansi);
        const eRedirectVerdict verdict = JudgeRedirect(redirectUrl_, ansi, &next);
        CloseConnection(false);
        // A redirect without a usable Location, from https to http, or one hop too many, ends
        // the download.
        if (verdict != eRedirectVerdict::kFollow) {
            Fail(kReasonUnusableResponse, false,
                 verdict == eRedirectVerdict::kRefused ? "redirect from https to http refused"
                                                       : "redirect without a usable Location");
            return;
        }
        if (!redirects_.Follow()) {
            Fail(kReasonUnusableResponse, false, "too many redirects");
            return;
        }
        Request(next);
        return;
    }
    Fail(kReasonUnusableResponse, true, "status " + std::to_string(status));
}

int32_t CDataDownloadSession::OnResponseData(uintptr_t, const uint8_t* data, uint32_t count) {
    if (!connection_) {
        return 0;
    }
    const auto room = static_cast<int64_t>(buffer_.size()) - stored_;
    const int64_t copied = count < room ? count : room;
    if (copied > 0) {
        std::memcpy(buffer_.data() + stored_, data, static_cast<size_t>(copied));
        stored_ += copied;
    }
    return static_cast<int32_t>(count);
}

void CDataDownloadSession::OnResponseComplete(uintptr_t) {
    if (!connection_ || complete_) {
        return;
    }
    complete_ = true;
    CloseConnection(false);
    listener_->OnDataDownloadCompleted(buffer_.data(), contentLength_);
}

void CDataDownloadSession::OnClosed(uintptr_t) {
    // Completion detaches first, so any close seen here came before the whole body.
    Fail(kReasonClosedEarly, true,
         contentLength_ > 0 ? "closed after " + std::to_string(stored_) + " of " +
                                  std::to_string(contentLength_) + " bytes"
                            : std::string("closed before an answer"));
}

void CDataDownloadSession::OnConnectTimeout(uintptr_t) {
    Fail(kReasonConnectTimeout, false, "connect timed out");
}

void CDataDownloadSession::OnIdleTimeout(uintptr_t) {
    Fail(kReasonIdleTimeout, false,
         contentLength_ > 0 ? "no data for a while after " + std::to_string(stored_) + " of " +
                                  std::to_string(contentLength_) + " bytes"
                            : std::string("no answer"));
}

void CDataDownloadSession::OnHostUnreachable(uintptr_t) {
    Fail(kReasonHostUnreachable, false, "host unreachable");
}
