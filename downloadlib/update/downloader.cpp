#include "update/downloader.h"

#include <algorithm>
#include <utility>

#include "engine/binary_execute.h"
#include "engine/engine_paths.h"
#include "foundation/collector.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/platform/connectivity.h"
#include "tev_config.h"
#include "update/version_text.h"

std::string UpdateDescriptorUrl() {
    const std::string base = TevServerBaseUrl(DownloadServer());
    return base.empty() ? base : base + kUpdateDescriptorPath;
}

std::string UpdateManifestUrl(const std::string& descriptorUrl) {
    const size_t slash = descriptorUrl.find_last_of('/');
    return slash == std::string::npos ? std::string()
                                      : descriptorUrl.substr(0, slash + 1) + kUpdateManifestName;
}

CEngineEnvironment DefaultEngineEnvironment() {
    return {GetEngineFolderPath, GetEngineFilePath, GetSecondaryFilePath, GetCurrentEngineVersion,
            [](std::function<void(bool)> done) {
                vmSmartPtr<cpCMutex> mutex;
                if (cpCTimerManager* manager = cpCTimerManager::Instance()) {
                    mutex = vmSmartPtr<cpCMutex>(manager->Mutex());
                }
                return RunEngineWatched(std::move(mutex), std::move(done));
            }};
}

CDownloader::CDownloader(vmSmartPtr<cpCMutex> mutex, CEngineEnvironment environment,
                         std::string descriptorUrl)
    : mutex_(std::move(mutex)),
      environment_(environment),
      descriptorUrl_(std::move(descriptorUrl)),
      fileList_(std::move(environment)) {
    WriteLogLine("[TessloadLib] Initialize Downloader");
}

CDownloader::~CDownloader() {
    cpCLock lock(mutex_.Get());
    StopRetryTimer();
    if (deadlineTimer_) {
        deadlineTimer_->Stop();
    }
    RetireAll();
    engineStart_.reset();
    WriteLogLine("[TessloadLib] Finalize Downloader");
}

size_t CDownloader::BusySessionCount() const {
    return static_cast<size_t>(std::count_if(sessions_.begin(), sessions_.end(),
                                             [](const auto& e) { return e.session->IsBusy(); }));
}

void CDownloader::Start() {
    cpCLock lock(mutex_.Get());
    if (state_ != State::kIdle) {
        return;
    }
    state_ = State::kRunning;
    WriteLogLine("[TessloadLib] Begin Update");
    deadlineTimer_ = vmMakeObject<cpCTimer>();
    if (vmFailed(deadlineTimer_->Start(
            kDeadlineMs, [this] { OnDeadline(); }, kDeadlineTimerId, mutex_))) {
        deadlineTimer_.Reset();  // no timer manager: nothing else would end a stalled run either
    }
    if (descriptorUrl_.empty()) {
        // A build and environment without a download server: nothing to update from.
        WriteLogLine("[TessloadLib] Update Skipped (no download server)");
        succeeded_ = false;
    } else if (fileList_.Trust().required) {
        const std::string manifestUrl = UpdateManifestUrl(descriptorUrl_);
        fileList_.AddManifest(manifestUrl, manifestUrl + kUpdateSignaturesSuffix, descriptorUrl_);
    } else if (IsSecureUrl(descriptorUrl_)) {
        WriteLogLineF("[TessloadLib] Unsigned Update (no trusted key; https only)(URL: %s)",
                      descriptorUrl_.c_str());
        // No name and no folder: its body stays in memory and goes to the descriptor handler.
        fileList_.AddFile(descriptorUrl_, "", "", "");
    } else {
        WriteLogLineF("[TessloadLib] Update Refused (no trusted key and not https)(URL: %s)",
                      descriptorUrl_.c_str());
        succeeded_ = false;
    }
    NextFile(true);
}

void CDownloader::NextFile(bool newSessionsAllowed) {
    if (state_ != State::kRunning) {
        return;
    }
    if (!fileList_.HasFiles()) {
        Finish();
        return;
    }
    SessionEntry* entry = TakeSession(newSessionsAllowed);
    CDownloadFile* file = entry != nullptr ? fileList_.NextFile() : nullptr;
    if (file == nullptr) {
        // Files are left but none can be fetched now. Unless a download still runs or the
        // network is being waited for, nothing would ever move again: the run is over.
        if (BusySessionCount() == 0 && !IsWaitingForNetwork()) {
            Finish();
        }
        return;
    }
    entry->file = file;
    const vmSmartPtr<CDownloadSession> session = entry->session;
    session->SetProgressFile(file);
    // May report an error before it returns, which can end the run: nothing follows it.
    session->Start();
}

CDownloader::SessionEntry* CDownloader::TakeSession(bool newSessionsAllowed) {
    for (SessionEntry& entry : sessions_) {
        if (!entry.session->IsBusy()) {
            return &entry;
        }
    }
    if (!newSessionsAllowed) {
        return nullptr;
    }
    SessionEntry entry{vmMakeObject<CDownloadSession>(mutex_), nullptr};
    entry.session->SetListener(this, reinterpret_cast<uintptr_t>(entry.session.Get()));
    sessions_.push_back(std::move(entry));
    return &sessions_.back();
}

CDownloader::SessionEntry* CDownloader::Find(uintptr_t context) {
    for (SessionEntry& entry : sessions_) {
        if (reinterpret_cast<uintptr_t>(entry.session.Get()) == context) {
            return &entry;
        }
    }
    return nullptr;
}

void CDownloader::Retire(CDownloadSession* session) {
    const auto it = std::find_if(sessions_.begin(), sessions_.end(),
                                 [&](const auto& e) { return e.session.Get() == session; });
    if (it == sessions_.end()) {
        return;
    }
    vmSmartPtr<CDownloadSession> retired = std::move(it->session);
    sessions_.erase(it);
    retired->SetListener(nullptr, 0);
    retired->SetProgressFile(nullptr);
    retired->Stop();
    // It may be reporting right now, further up this very stack.
    vmCGarbageCollector::Instance()->Add(retired);
}

void CDownloader::RetireAll() {
    while (!sessions_.empty()) {
        Retire(sessions_.back().session.Get());
    }
}

void CDownloader::StopRetryTimer() {
    if (retryTimer_) {
        retryTimer_->Stop();
        retryTimer_.Reset();
    }
}

void CDownloader::OnRetryTick() {
    if (state_ == State::kRunning && BusySessionCount() == 0) {
        NextFile(true);
    }
}

void CDownloader::OnDeadline() {
    if (state_ != State::kRunning) {
        return;
    }
    WriteLogLineF("[TessloadLib] Update Deadline (%u ms)", static_cast<unsigned>(kDeadlineMs));
    succeeded_ = false;
    fileList_.Clear();
    Finish();
}

void CDownloader::Finish() {
    state_ = State::kFinished;
    StopRetryTimer();
    if (deadlineTimer_) {
        deadlineTimer_->Stop();  // may be the timer calling: it is let go with the updater
    }
    RetireAll();
    // A copy: the report may end this updater while the start's code still runs.
    const auto run = environment_.runEngine;
    if (!run) {
        ReportFinished(false);
        return;
    }
    const std::weak_ptr<int> alive = life_;
    std::shared_ptr<CEngineStartWatch> watch = run([this, alive](bool started) {
        if (!alive.expired()) {
            ReportFinished(started);
        }
    });
    if (!alive.expired()) {
        engineStart_ = std::move(watch);
    }
}

void CDownloader::ReportFinished(bool engineStarted) {
    if (listener_ != nullptr) {
        listener_->OnUpdateFinished(engineStarted ? 1 : 0, succeeded_ ? 1 : 0,
                                    fileList_.NewVersion());
    }
}

void CDownloader::Fail() {
    state_ = State::kFinished;
    StopRetryTimer();
    if (deadlineTimer_) {
        deadlineTimer_->Stop();
    }
    RetireAll();
    if (listener_ != nullptr) {
        listener_->OnUpdateError(1);
    }
}

void CDownloader::OnSessionConnected(uintptr_t) {
    if (state_ != State::kRunning) {
        return;
    }
    if (IsWaitingForNetwork()) {
        StopRetryTimer();
    }
    fileList_.SetAllPersistent(false);
}

void CDownloader::OnSessionCompleted(uintptr_t context, const CDownloadResult& result) {
    SessionEntry* entry = Find(context);
    if (state_ != State::kRunning || entry == nullptr) {
        return;
    }
    entry->file = nullptr;
    entry->session->SetProgressFile(nullptr);
    const bool success = result.code == kFileOk || result.code == kFileUnpackFailedOther;
    if (result.code == kFileUnpackFailed || result.code == kFileNoEngineFolder) {
        WriteLogLineF("[TessloadLib] 엔진 다운로드 실패 result : %d", result.code);
        Fail();
        return;
    }
    if (result.code == kFileRefused) {
        // Nothing more of this update goes in: the run ends and what is installed starts.
        WriteLogLineF("[TessloadLib] Update Refused (URL: %s)", result.url.c_str());
        succeeded_ = false;
        fileList_.Clear();
        Finish();
        return;
    }
    if (result.code >= 1 && result.code <= 6) {
        succeeded_ = false;
    }
    if (fileList_.Finish(result.url, success)) {
        succeeded_ = false;
    }
    WriteLogLineF("[TessloadLib] Download Completed (URL: %s)(Code: %d)", result.url.c_str(),
                  result.code);
    if (result.kind != kUrlKindDescriptor) {
        NextFile(false);
        return;
    }
    if (!fileList_.HasFiles()) {
        Finish();
        return;
    }
    // Every file of the update at once, each on its own session.
    const std::weak_ptr<int> alive = life_;
    const size_t count = fileList_.FileCount();
    for (size_t i = 0; i < count && !alive.expired() && state_ == State::kRunning; ++i) {
        NextFile(true);
    }
}

void CDownloader::OnSessionError(uintptr_t context, int32_t reason) {
    SessionEntry* entry = Find(context);
    if (state_ != State::kRunning || entry == nullptr) {
        return;
    }
    const vmSmartPtr<CDownloadSession> session = entry->session;
    const std::string url = session->Url();
    // A file that runs out of tries this way fails the update as a bad completion does.
    if (entry->file != nullptr && fileList_.Finish(url, false)) {
        succeeded_ = false;
    }
    WriteLogLineF("[TessloadLib] Session Error (URL: %s)(Code: %d)", url.c_str(), reason);
    Retire(session.Get());

    if (reason == CDownloadSession::kReasonHostUnreachable && !cpInternetConnected()) {
        // Offline: wait for the network without using up tries, one attempt a second.
        if (IsWaitingForNetwork()) {
            return;
        }
        fileList_.SetAllPersistent(true);
        retryTimer_ = vmMakeObject<cpCTimer>();
        retryTimer_->Start(
            kRetryPeriodMs, [this] { OnRetryTick(); }, kRetryTimerId, mutex_);
        if (listener_ != nullptr) {
            listener_->OnNetworkLost();
        }
        return;
    }
    if (reason == CDownloadSession::kReasonHostUnreachable && IsWaitingForNetwork()) {
        // Online again, yet the server cannot be reached: no more waiting, tries count again.
        StopRetryTimer();
        fileList_.SetAllPersistent(false);
    }
    NextFile(true);
}

void CDownloader::OnSessionFileInfo(uintptr_t, const std::string& url, int64_t size) {
    if (state_ == State::kRunning && listener_ != nullptr) {
        listener_->OnUpdateFile(url, size);
    }
}

void CDownloader::OnSessionProgress(uintptr_t, const std::string& url, int64_t bytes) {
    if (state_ == State::kRunning && listener_ != nullptr) {
        listener_->OnUpdateProgress(url, bytes);
    }
}
