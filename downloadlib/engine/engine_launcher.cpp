#include "engine/engine_launcher.h"

#include <utility>

#include "foundation/log.h"

namespace {

uint32_t Low(int64_t value) {
    return static_cast<uint32_t>(static_cast<uint64_t>(value));
}
uint32_t High(int64_t value) {
    return static_cast<uint32_t>(static_cast<uint64_t>(value) >> 32);
}

}  // namespace

CEngineLauncher::CEngineLauncher(vmSmartPtr<cpCMutex> mutex, CLauncherSettings settings)
    : updater_(std::make_unique<CDownloader>(mutex, std::move(settings.environment),
                                             std::move(settings.descriptorUrl))) {
    updater_->SetListener(this);
    startTimer_ = vmMakeObject<cpCTimer>();
    const vmResult started = startTimer_->Start(
        1,
        [this] {
            // One run per launcher: the timer goes before the run can end in a call that
            // destroys this launcher.
            startTimer_->Stop();
            updater_->Start();
        },
        kStartTimerId, std::move(mutex));
    if (vmFailed(started)) {
        startTimer_.Reset();
        updater_->Start();  // no timer manager: start now, as the only way left
    }
}

CEngineLauncher::~CEngineLauncher() {
    if (startTimer_) {
        startTimer_->Stop();
    }
    updater_.reset();
}

void CEngineLauncher::OnNetworkLost() {
    if (listener_ != nullptr) {
        listener_->OnNetworkDown();
    }
}

void CEngineLauncher::OnUpdateFile(const std::string& url, int64_t size) {
    if (listener_ != nullptr) {
        listener_->OnEngineUpdateFile(url, Low(size), High(size));
    }
}

void CEngineLauncher::OnUpdateProgress(const std::string& url, int64_t bytes) {
    if (listener_ != nullptr) {
        listener_->OnEngineUpdateProgress(url, Low(bytes), High(bytes));
    }
}

void CEngineLauncher::OnUpdateFinished(int32_t engineStarted, int32_t updateSucceeded,
                                       const std::string& newVersion) {
    // An update succeeded only when the engine it installed then started.
    WriteLogLine(updateSucceeded != 0 && engineStarted == 1 && !newVersion.empty()
                     ? "[TessloadLib] Patch Success"
                     : "[TessloadLib] Patch Fail");
    if (listener_ == nullptr) {
        return;
    }
    // Without a started engine there is nothing to talk to, however the update went: the job
    // goes to the direct downloader at once.
    if (engineStarted == 1) {
        listener_->OnEngineReady();
    } else {
        listener_->OnEngineFailed();
    }
}

void CEngineLauncher::OnUpdateError(int32_t kind) {
    if (listener_ != nullptr) {
        listener_->OnEngineError(kind);
    }
}
