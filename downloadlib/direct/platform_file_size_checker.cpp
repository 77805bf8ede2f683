#include "direct/platform_file_size_checker.h"

#include <algorithm>
#include <utility>

#include "direct/answer_rules.h"
#include "downloadlib.h"
#include "foundation/log.h"
#include "foundation/platform/disk.h"
#include "foundation/platform/file.h"
#include "http/redirect.h"
#include "http/uri_codec.h"
#include "stack/qos_action.h"

CPlatformFileSizeCheckSession::CPlatformFileSizeCheckSession(
    IPlatformFileSizeCheckSessionEventListener* listener, CJobFile* item)
    : item_(item), alternatives_(SplitAlternatives(item->url)), listener_(listener) {
    if (!alternatives_.empty()) {
        currentUrl_ = alternatives_.front();
    }
}

CPlatformFileSizeCheckSession::~CPlatformFileSizeCheckSession() {
    Detach();
}

void CPlatformFileSizeCheckSession::Detach() {
    listener_ = nullptr;
    connection_.Close();
}

void CPlatformFileSizeCheckSession::Attempt() {
    if (listener_ == nullptr) {
        return;
    }
    for (;;) {
        if (attempts_ >= kAttemptsPerAlternative) {
            attempts_ = 0;
            redirectUrl_.clear();
            if (++alternative_ >= alternatives_.size()) {
                Fail(JOB_EVENT_FAILED, lastFailure_.c_str());
                return;
            }
            currentUrl_ = alternatives_[alternative_];
        }
        if (connection_.IsOpen()) {
            return;
        }
        ++attempts_;
        if (connection_.SetUp(kQoSActionHigh, this, reinterpret_cast<uintptr_t>(this))) {
            connection_.Get(redirectUrl_.empty() ? currentUrl_ : redirectUrl_);
            return;
        }
        // No connection to be had: that attempt failed at once.
    }
}

void CPlatformFileSizeCheckSession::OnResponseHeader(uintptr_t) {
    vmSmartPtr<CPlatformFileSizeCheckSession> hold(this);
    vmIHttpClientExLayer* layer = connection_.Layer();
    if (layer == nullptr) {
        return;
    }
    int32_t status = 0;
    int64_t contentLength = 0;
    std::string location;
    layer->GetStatusCode(&status);
    layer->GetContentLength(&contentLength);
    layer->GetHeader("Location:", &location);
    connection_.Close();

    if (status == eNWHSC_HTTP_OK) {
        const int64_t existing = cpFileSize(item_->FullPath());
        const eSizeVerdict verdict =
            SizeCheckVerdict(contentLength, existing, cpFreeBytesOfDrive(item_->folder));
        if (verdict == eSizeVerdict::kFits) {
            item_->size = contentLength;
            // What the session will continue from: bytes present at the start, not moved.
            item_->presentBytes = KeptBytes(existing, contentLength);
            if (listener_ != nullptr) {
                listener_->OnItemDone(this);
            }
        } else if (verdict == eSizeVerdict::kTooLarge) {
            Fail(JOB_EVENT_DISK_FULL, "NoSpace");
        } else {
            Fail(JOB_EVENT_FAILED, contentLength > 0 ? "NoSpace" : "NoContentLength");
        }
        return;
    }
    if (status == eNWHSC_HTTP_FOUND || status == eNWHSC_HTTP_SEEOTHER) {
        std::string ansi;
        Utf8ToAnsi(location, &ansi);
        // A relative Location is resolved against the URL it answered; an unusable or refused
        // one leaves the next attempt on the URL as it was.
        std::string resolved;
        const std::string& base = redirectUrl_.empty() ? currentUrl_ : redirectUrl_;
        const eRedirectVerdict verdict = JudgeRedirect(base, ansi, &resolved);
        lastFailure_ = verdict == eRedirectVerdict::kRefused ? "RedirectRefused"
                                                             : "ResCode:" + std::to_string(status);
        redirectUrl_ = verdict == eRedirectVerdict::kFollow ? resolved : std::string();
        Attempt();
        return;
    }
    Fail(JOB_EVENT_FAILED, ("ResCode:" + std::to_string(status)).c_str());
}

int32_t CPlatformFileSizeCheckSession::OnResponseData(uintptr_t, const uint8_t*, uint32_t count) {
    connection_.Close();
    return static_cast<int32_t>(count);
}

void CPlatformFileSizeCheckSession::OnClosed(uintptr_t) {
    vmSmartPtr<CPlatformFileSizeCheckSession> hold(this);
    if (!std::exchange(timedOut_, false) && connection_.IsOpen()) {
        lastFailure_ = "Closed";
    }
    connection_.Close();
    Attempt();
}

void CPlatformFileSizeCheckSession::OnConnectTimeout(uintptr_t) {
    lastFailure_ = "ConnectTimeout";
    timedOut_ = true;
    CloseContext();
}

void CPlatformFileSizeCheckSession::OnIdleTimeout(uintptr_t) {
    lastFailure_ = "RecvTimeout";
    timedOut_ = true;
    CloseContext();
}

void CPlatformFileSizeCheckSession::CloseContext() {
    // Closing reports OnClosed, which sets up the next attempt: keep this one's context.
    vmSmartPtr<CPlatformFileSizeCheckSession> hold(this);
    if (vmSmartPtr<vmIQoSContext> context = connection_.Context()) {
        context->Close();
    }
}

void CPlatformFileSizeCheckSession::Fail(int32_t code, const char* reason) {
    if (listener_ == nullptr) {
        return;
    }
    WriteLogLineF("[TessloadLib] FileSize Check Failed reason:%s url:%s", reason,
                  currentUrl_.c_str());
    const std::string text = item_->url.substr(0, kMaxFailureText);
    listener_->OnItemFailed(this, code, text.c_str());
}

CPlatformFileSizeChecker::CPlatformFileSizeChecker(ICheckerEventListener* listener,
                                                   uintptr_t context)
    : listener_(listener), context_(context) {}

CPlatformFileSizeChecker::~CPlatformFileSizeChecker() {
    Detach();
}

void CPlatformFileSizeChecker::Detach() {
    listener_ = nullptr;
    // Moved out first: a session's own call may be on the stack and hold it.
    std::vector<vmSmartPtr<CPlatformFileSizeCheckSession>> sessions = std::move(active_);
    active_.clear();
    for (const auto& session : sessions) {
        session->Detach();
    }
}

void CPlatformFileSizeChecker::Start(const std::vector<std::unique_ptr<CJobFile>>& files) {
    vmSmartPtr<CPlatformFileSizeChecker> hold(this);
    knownTotal_ = 0;
    knownPresent_ = 0;
    knownCount_ = 0;
    pending_.clear();
    for (const auto& file : files) {
        if (file->size != -1) {
            ++knownCount_;
            knownTotal_ += file->size;
            // The local copy the session continues from is present at the start.
            knownPresent_ += KeptBytes(cpFileSize(file->FullPath()), file->size);
        } else {
            pending_.push_back(*file);
        }
    }
    if (pending_.empty()) {
        Complete();
    } else {
        StartItems();
    }
}

int64_t CPlatformFileSizeChecker::LearnedSize(int32_t index) const {
    for (const CJobFile& item : pending_) {
        if (item.index == index) {
            return item.size;
        }
    }
    return -1;
}

void CPlatformFileSizeChecker::StartItems() {
    while (listener_ != nullptr && next_ < pending_.size() && active_.size() < kMaxSessions) {
        auto session = vmMakeObject<CPlatformFileSizeCheckSession>(this, &pending_[next_]);
        ++next_;
        active_.push_back(session);
        session->Attempt();
    }
    if (listener_ != nullptr && done_ == pending_.size()) {
        Complete();
    }
}

void CPlatformFileSizeChecker::Complete() {
    if (completed_ || listener_ == nullptr) {
        return;
    }
    completed_ = true;
    CFileSizeCheckResult result{knownTotal_, knownPresent_,
                                knownCount_ + static_cast<int32_t>(pending_.size())};
    for (const CJobFile& item : pending_) {
        result.totalBytes += item.size;
        result.presentBytes += item.presentBytes;
    }
    listener_->OnSizeCheckComplete(context_, result);
}

void CPlatformFileSizeChecker::Remove(CPlatformFileSizeCheckSession* session) {
    const auto it = std::find(active_.begin(), active_.end(), session);
    if (it != active_.end()) {
        vmSmartPtr<CPlatformFileSizeCheckSession> gone = std::move(*it);
        active_.erase(it);
        gone->Detach();
    }
}

void CPlatformFileSizeChecker::OnItemDone(CPlatformFileSizeCheckSession* session) {
    vmSmartPtr<CPlatformFileSizeChecker> hold(this);
    Remove(session);
    ++done_;
    StartItems();
}

void CPlatformFileSizeChecker::OnItemFailed(CPlatformFileSizeCheckSession*, int32_t code,
                                            const char* text) {
    vmSmartPtr<CPlatformFileSizeChecker> hold(this);
    if (listener_ != nullptr) {
        listener_->OnSizeCheckFailed(context_, code, text);
    }
}
