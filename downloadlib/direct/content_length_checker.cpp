#include "direct/content_length_checker.h"

#include <utility>

#include "foundation/clock.h"
#include "foundation/collector.h"
#include "foundation/log.h"
#include "http/redirect.h"
#include "http/uri_codec.h"
#include "stack/qos_action.h"

using SessionPtr = vmSmartPtr<CContentLengthCheckSession>;

CContentLengthCheckSession::CContentLengthCheckSession(
    IContentLengthCheckSessionEventListener* checker, int32_t fileIndex, const std::string& url,
    vmSmartPtr<cpCMutex> mutex)
    : fileIndex_(fileIndex),
      url_(url.substr(0, url.find('|'))),
      checker_(checker),
      mutex_(std::move(mutex)) {}

CContentLengthCheckSession::~CContentLengthCheckSession() {
    cpCLock lock(mutex_.Get());
    CloseConnection();
}

void CContentLengthCheckSession::Attempt() {
    cpCLock lock(mutex_.Get());
    const SessionPtr keep(this);
    if (attempts_++ < kMaxAttempts) {
        if (connection_) {
            return;
        }
        switch (Request(redirectUrl_.empty() ? url_ : redirectUrl_)) {
            case RequestResult::kSent:
                return;
            case RequestResult::kUnusableUrl:
                // Asking again cannot help: the check fails now, as for an unreachable host.
                HostUnreachable();
                return;
            case RequestResult::kNoConnection:
                failureReason_ = "Closed";
                Attempt();  // bounded by the attempt count
                return;
        }
        return;
    }
    WriteLogLineF("[TessloadLib] ContentLength Check Failed reason:%s file:%d url:%s",
                  failureReason_.c_str(), fileIndex_, url_.c_str());
    if (checker_ != nullptr) {
        checker_->OnSessionFailed(fileIndex_, url_);
    }
}

CContentLengthCheckSession::RequestResult CContentLengthCheckSession::Request(
    const std::string& url) {
    if (!connection_.CreateInstance(CLSID_cpCQoSContext) ||
        vmFailed(
            connection_->Open(kQoSActionHigh, kQoSFlagConnectFailure | kQoSFlagIdle, nullptr))) {
        connection_.Reset();  // never registered: nothing can be queued for it
        return RequestResult::kNoConnection;
    }
    const uint32_t idleLimit = kIdleLimitTicks;
    connection_->SetOption(kQoSOptionIdleLimit, &idleLimit);
    vmIUnknown* top = nullptr;
    if (vmFailed(connection_->AddLayer(CLSID_nwCHttpClientExLayer, false)) ||
        vmFailed(connection_->GetLayer(CLSID_nwCHttpClientExLayer, &top)) ||
        (layer_ = dynamic_cast<vmIHttpClientExLayer*>(top)) == nullptr) {
        CloseConnection();
        return RequestResult::kNoConnection;
    }
    layer_->SetListener(this, 0);
    if (vmFailed(layer_->Open(url.c_str()))) {
        CloseConnection();
        return RequestResult::kUnusableUrl;
    }
    // The context queues the request until the connection is up.
    layer_->SendGET();
    return RequestResult::kSent;
}

void CContentLengthCheckSession::CloseConnection() {
    cpCLock lock(mutex_.Get());
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

void CContentLengthCheckSession::HostUnreachable() {
    failureReason_ = "HostUnreach";
    CloseConnection();
    WriteLogLineF("[TessloadLib] CLCS HU(file:%d)", fileIndex_);
    if (checker_ != nullptr) {
        checker_->OnSessionHostUnreachable(fileIndex_);
    }
}

void CContentLengthCheckSession::OnResponseHeader(uintptr_t) {
    const SessionPtr keep(this);
    int32_t status = 0;
    int64_t length = 0;
    std::string location;
    layer_->GetStatusCode(&status);
    layer_->GetContentLength(&length);
    layer_->GetHeader("Location:", &location);
    // The layer refuses a malformed length, so one that is there is usable.
    const bool hasLength = vmSucceeded(layer_->GetHeader("Content-Length", nullptr));
    const std::string requested = redirectUrl_.empty() ? url_ : redirectUrl_;
    CloseConnection();
    if (status == eNWHSC_HTTP_OK && hasLength) {
        contentLength_ = length;
        if (checker_ != nullptr) {
            checker_->OnSessionSize(fileIndex_, contentLength_);
        }
        return;
    }
    // A 200 without a length tells no size: counted as 0 it would make the total a lie.
    failureReason_ = status == eNWHSC_HTTP_OK ? std::string("NoContentLength")
                                              : "ResCode:" + std::to_string(status);
    if (status == eNWHSC_HTTP_FOUND || status == eNWHSC_HTTP_SEEOTHER) {
        // Followed on the next attempt; without a usable Location, or from https to http, the
        // URL itself is asked again.
        std::string ansi;
        std::string next;
        Utf8ToAnsi(location, &ansi);
        const eRedirectVerdict verdict = JudgeRedirect(requested, ansi, &next);
        if (verdict == eRedirectVerdict::kRefused) {
            failureReason_ = "RedirectRefused";
        }
        redirectUrl_ = verdict == eRedirectVerdict::kFollow ? next : std::string();
    }
    Attempt();
}

void CContentLengthCheckSession::OnClosed(uintptr_t) {
    const SessionPtr keep(this);
    failureReason_ = "Closed";
    CloseConnection();
    Attempt();
}

void CContentLengthCheckSession::OnConnectTimeout(uintptr_t) {
    const SessionPtr keep(this);
    failureReason_ = "ConnectTimeout";
    CloseConnection();
    WriteLogLineF("[TessloadLib] CLCS CT(file:%d)", fileIndex_);
    Attempt();
}

void CContentLengthCheckSession::OnIdleTimeout(uintptr_t) {
    const SessionPtr keep(this);
    failureReason_ = "RecvTimeout";
    CloseConnection();
    WriteLogLineF("[TessloadLib] CLCS RT(file:%d)", fileIndex_);
    Attempt();
}

void CContentLengthCheckSession::OnHostUnreachable(uintptr_t) {
    const SessionPtr keep(this);
    HostUnreachable();
}

CContentLengthChecker::CContentLengthChecker(IContentLengthCheckerEventListener* listener,
                                             vmSmartPtr<cpCMutex> mutex)
    : listener_(listener), mutex_(std::move(mutex)) {}

CContentLengthChecker::~CContentLengthChecker() {
    cpCLock lock(mutex_.Get());
    Release();
}

int32_t CContentLengthChecker::Add(const char* url) {
    cpCLock lock(mutex_.Get());
    const auto fileIndex = static_cast<int32_t>(sessions_.size());
    IContentLengthCheckSessionEventListener* self = this;
    sessions_.push_back(vmMakeObject<CContentLengthCheckSession>(
        self, fileIndex, std::string(url != nullptr ? url : ""), mutex_));
    return DL_OK;
}

int32_t CContentLengthChecker::Start() {
    cpCLock lock(mutex_.Get());
    startSeconds_ = cpGetSeconds();
    WriteLogLineF("[TessloadLib] Start ContentLength Check file:%d",
                  static_cast<int32_t>(sessions_.size()));
    if (sessions_.empty()) {
        listener_->OnContentLengthCheckDone(total_);
        return DL_OK;
    }
    // A check already running goes on from where it is: no session starts twice.
    StartMore();
    return DL_OK;
}

void CContentLengthChecker::StartMore() {
    while (nextIndex_ < sessions_.size() && inFlight_ < kMaxInFlight) {
        const SessionPtr session = sessions_[nextIndex_];
        ++inFlight_;
        ++nextIndex_;
        // May end the whole check (and empty the array) before it returns.
        session->Attempt();
    }
}

void CContentLengthChecker::Release() {
    std::vector<SessionPtr> released;
    released.swap(sessions_);
    inFlight_ = 0;
    nextIndex_ = 0;
    completed_ = 0;
    for (auto it = released.rbegin(); it != released.rend(); ++it) {
        (*it)->CloseConnection();
        (*it)->Detach();
    }
}

void CContentLengthChecker::OnSessionSize(int32_t, int64_t size) {
    total_ += size;
    ++completed_;
    if (inFlight_ > 0) {
        --inFlight_;
    }
    if (completed_ < sessions_.size()) {
        StartMore();
        return;
    }
    WriteLogLineF("[TessloadLib] ContentLength Check Complete file:%d sec:%d",
                  static_cast<int32_t>(completed_),
                  static_cast<int32_t>(cpGetSeconds() - startSeconds_));
    Release();
    listener_->OnContentLengthCheckDone(total_);
}

void CContentLengthChecker::OnSessionFailed(int32_t, const std::string& url) {
    const std::string failed = url;
    Release();
    listener_->OnContentLengthCheckFailed(failed.c_str());
}

void CContentLengthChecker::OnSessionHostUnreachable(int32_t) {
    Release();
    listener_->OnContentLengthCheckHostUnreachable();
}
