#include "core/job_manager.h"

#include <atomic>
#include <string>
#include <utility>

#include "core/folder_path.h"
#include "foundation/log.h"
#include "foundation/platform/message_loop.h"
#include "foundation/platform/window.h"

namespace {

constexpr uint32_t kTaskMessage = WM_USER + 20;

// Handles travel in the 32-bit notification parameter: one counter for the process, never
// reused, never 0.
std::atomic<uint32_t> gNextHandle{1};
std::atomic<int32_t> gNextIdentity{1};

JobHandle NewHandle() {
    JobHandle handle = 0;
    while (handle == 0) {
        handle = gNextHandle.fetch_add(1);
    }
    return handle;
}

const char* OrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

}  // namespace

CJobManager::CJobManager(vmSmartPtr<cpCMutex> mutex)
    : mutex_(std::move(mutex)),
      factories_(CurrentManagerFactories()),
      identity_(gNextIdentity.fetch_add(1)),
      workerThread_(std::this_thread::get_id()) {
    cpCLock lock(mutex_.Get());
    runtime_ = std::make_unique<CZpn>(mutex_);
    taskWindow_ = cpCreateWindow("TessloadLib Task Window",
                                 [this](uint32_t message, uintptr_t, intptr_t) -> intptr_t {
                                     if (message == kTaskMessage) {
                                         RunPostedTasks();
                                     }
                                     return 0;
                                 });
}

CJobManager::~CJobManager() {
    const vmSmartPtr<cpCMutex> mutex = mutex_;
    {
        cpCLock lock(mutex.Get());
        cpDestroyWindow(taskWindow_);
        taskWindow_ = 0;
        // The downloaders borrow the jobs, so they go first.
        retiredEngine_.reset();
        engine_.reset();
        direct_.reset();
        jobs_.clear();
        data_.reset();
        checker_.reset();
        runtime_.reset();
        std::lock_guard tasks(tasksMutex_);
        tasks_.clear();
    }
    mutex_.Reset();
}

int32_t CJobManager::Setup(uint32_t notifyWindow, DownloadLibCallback callback, void* userData,
                           uint8_t runElevated, std::shared_ptr<CNotifyGate> gate) {
    cpCLock lock(mutex_.Get());
    notify_ = CNotifyTarget{notifyWindow, callback, userData, std::move(gate)};
    SetRunElevated(runElevated);
    if (factories_.engineDownloader) {
        engine_ = factories_.engineDownloader(this, mutex_);
    }
    if (factories_.directDownloader) {
        direct_ = factories_.directDownloader(this, mutex_);
    }
    return DL_OK;
}

int32_t CJobManager::Shutdown() {
    cpCLock lock(mutex_.Get());
    if (runtime_) {
        runtime_->Cleanup();
    }
    return DL_OK;
}

CJob* CJobManager::FindJob(JobHandle handle) const {
    if (handle == 0) {
        return nullptr;
    }
    for (const auto& job : jobs_) {
        if (job->Handle() == handle) {
            return job.get();
        }
    }
    return nullptr;
}

CJobDownloader* CJobManager::DownloaderForStart() const {
    return engine_ ? engine_.get() : direct_.get();
}

CJobDownloader* CJobManager::Owner(const CJob* job) const {
    if (engine_ && engine_->Holds(job)) {
        return engine_.get();
    }
    if (direct_ && direct_->Holds(job)) {
        return direct_.get();
    }
    return nullptr;
}

int32_t CJobManager::SetServiceId(const char* serviceId) {
    cpCLock lock(mutex_.Get());
    if (engine_) {
        engine_->SetServiceId(OrEmpty(serviceId));
    }
    return DL_OK;
}

int32_t CJobManager::CreateJob(JobHandle* handle, const char* code, const char* serviceId) {
    cpCLock lock(mutex_.Get());
    if (handle == nullptr || FindJob(*handle) != nullptr) {
        return DL_E_FAIL;
    }
    auto job = std::make_unique<CJob>(NewHandle(), nextJobNumber_++);
    job->SetCode(code);
    job->SetServiceId(serviceId);
    job->SetNotifyTarget(notify_);
    *handle = job->Handle();
    jobs_.push_back(std::move(job));
    return DL_OK;
}

int32_t CJobManager::SetEngineOption(JobHandle handle) {
    cpCLock lock(mutex_.Get());
    CJob* job = FindJob(handle);
    if (job == nullptr) {
        return DL_E_FAIL;
    }
    job->SetEngineOption(1);
    return DL_OK;
}

int32_t CJobManager::AddFile(JobHandle handle, const char* url, const char* folder,
                             const char* name, int64_t size, int32_t option1, int32_t option2) {
    if (size != -1 && size <= 0) {
        return DL_E_SIZE;
    }
    cpCLock lock(mutex_.Get());
    CJob* job = FindJob(handle);
    if (job == nullptr) {
        return DL_E_FAIL;
    }
    if (folder == nullptr || folder[0] == '\0') {
        OnPathFailed(kPathDownloadFolder);
        return DL_E_PATH;
    }
    const std::string normalised = NormaliseFolder(folder);
    if (normalised.size() > kMaxJobFolderLength) {
        return DL_E_PATH;  // refused whole rather than cut to a different folder
    }
    if (!CreateFolderPath(normalised)) {
        OnPathFailed(kPathDownloadFolder);
        return DL_E_PATH;
    }
    return job->AddFile(url, folder, name, size, option1, option2);
}

int32_t CJobManager::StartJob(JobHandle handle, uint8_t speedMode) {
    cpCLock lock(mutex_.Get());
    CJobDownloader* downloader = DownloaderForStart();
    CJob* job = FindJob(handle);
    if (job == nullptr || job->FileCount() == 0 || downloader == nullptr) {
        return DL_E_FAIL;
    }
    job->SetSpeedMode(speedMode);
    return downloader->Start(job);
}

int32_t CJobManager::StopJob(JobHandle handle) {
    cpCLock lock(mutex_.Get());
    CJob* job = FindJob(handle);
    if (job == nullptr) {
        return DL_E_FAIL;
    }
    CJobDownloader* owner = Owner(job);
    if (owner == nullptr) {
        return DL_E_FAIL;
    }
    return owner->Stop(job);
}

int32_t CJobManager::RemoveJob(JobHandle handle) {
    cpCLock lock(mutex_.Get());
    auto it = std::find_if(jobs_.begin(), jobs_.end(),
                           [&](const auto& job) { return job->Handle() == handle; });
    if (handle == 0 || it == jobs_.end()) {
        return DL_E_FAIL;
    }
    std::unique_ptr<CJob> job = std::move(*it);
    jobs_.erase(it);
    if (CJobDownloader* owner = Owner(job.get())) {
        owner->Stop(job.get());
    }
    return DL_OK;
}

int32_t CJobManager::ReplyResume(JobHandle handle, uint8_t answer1, uint8_t answer2) {
    cpCLock lock(mutex_.Get());
    CJobDownloader* downloader = DownloaderForStart();
    CJob* job = FindJob(handle);
    if (job == nullptr || downloader == nullptr) {
        return DL_E_FAIL;
    }
    return downloader->ReplyToResumeQuery(job, answer1, answer2);
}

int32_t CJobManager::GetSizeInfo(JobHandle handle, JobSizeInfo* out) {
    cpCLock lock(mutex_.Get());
    CJob* job = FindJob(handle);
    if (job == nullptr || out == nullptr) {
        return DL_E_FAIL;
    }
    job->HandOverSizeInfo(out);
    return DL_OK;
}

int32_t CJobManager::GetProgress(JobHandle handle, JobProgress* out) {
    cpCLock lock(mutex_.Get());
    CJob* job = FindJob(handle);
    if (job == nullptr || out == nullptr) {
        return DL_E_FAIL;
    }
    job->CopyProgress(out);
    return DL_OK;
}

int32_t CJobManager::GetResult(JobHandle handle, JobResult* out) {
    cpCLock lock(mutex_.Get());
    CJob* job = FindJob(handle);
    if (job == nullptr || out == nullptr) {
        return DL_E_FAIL;
    }
    job->HandOverResult(out);
    return DL_OK;
}

int32_t CJobManager::PopFileMessage(JobHandle handle, JobFileMessage* out) {
    cpCLock lock(mutex_.Get());
    CJob* job = FindJob(handle);
    if (job == nullptr || out == nullptr) {
        return DL_E_FAIL;
    }
    job->PopFileMessage(out);
    return DL_OK;
}

int32_t CJobManager::GetEventTextLength(JobHandle handle, int32_t* out) {
    cpCLock lock(mutex_.Get());
    CJob* job = FindJob(handle);
    if (job == nullptr || out == nullptr) {
        return DL_E_FAIL;
    }
    *out = job->EventTextLength();
    return DL_OK;
}

int32_t CJobManager::PopEvent(JobHandle handle, JobEvent* inOut) {
    cpCLock lock(mutex_.Get());
    CJob* job = FindJob(handle);
    if (job == nullptr || inOut == nullptr) {
        return DL_E_FAIL;
    }
    job->PopEvent(inOut);
    return DL_OK;
}

int32_t CJobManager::GetRemainingBytes(JobHandle handle, int64_t* out) {
    cpCLock lock(mutex_.Get());
    if (out == nullptr) {
        return DL_E_FAIL;
    }
    JobProgress progress{};
    if (const CJob* job = FindJob(handle)) {
        progress = job->Progress();
    }
    if (progress.totalBytes != 0) {
        *out = progress.totalBytes - progress.presentBytes;
        return DL_OK;
    }
    return GetTotalContentLength(out);
}

int32_t CJobManager::DownloadData(const char* url, int64_t limit) {
    cpCLock lock(mutex_.Get());
    if (!data_ && factories_.dataDownload) {
        data_ = factories_.dataDownload(this, mutex_);
    }
    if (!data_) {
        return DL_E_FAIL;  // no data download in this build
    }
    if (limit > 0) {
        data_->StartWithin(OrEmpty(url), limit);
    } else {
        data_->Start(OrEmpty(url));
    }
    return DL_OK;
}

int32_t CJobManager::GetDataStatus(int32_t* status) {
    cpCLock lock(mutex_.Get());
    if (!data_ || status == nullptr) {
        return DL_E_FAIL;
    }
    return data_->Status(status);
}

int32_t CJobManager::GetDataSize(int64_t* out) {
    cpCLock lock(mutex_.Get());
    if (!data_ || out == nullptr) {
        return DL_E_FAIL;
    }
    return data_->Size(out);
}

int32_t CJobManager::GetData(const DataBuffer* buffer) {
    cpCLock lock(mutex_.Get());
    if (!data_ || buffer == nullptr) {
        return DL_E_FAIL;
    }
    return data_->Copy(buffer);
}

// The content-length operations take the mutex as well: the checker's events run on the worker.
int32_t CJobManager::AddContentLengthCheck(const char* url) {
    cpCLock lock(mutex_.Get());
    if (!checker_ && factories_.contentLengthCheck) {
        checker_ = factories_.contentLengthCheck(this, mutex_);
    }
    if (!checker_) {
        return DL_E_FAIL;  // no content-length check in this build
    }
    checker_->Add(OrEmpty(url));
    return DL_OK;
}

int32_t CJobManager::StartContentLengthCheck() {
    cpCLock lock(mutex_.Get());
    if (!checker_) {
        WriteDiagnosticLine("[TessloadLib_D] 0x0003");
        return DL_E_FAIL;
    }
    checker_->Start();
    return DL_OK;
}

int32_t CJobManager::GetTotalContentLength(int64_t* out) {
    cpCLock lock(mutex_.Get());
    if (!checker_ || out == nullptr) {
        return DL_E_FAIL;
    }
    *out = checker_->Total();
    return DL_OK;
}

void CJobManager::NotifyFromWorker(int32_t code) {
    if (std::this_thread::get_id() == workerThread_) {
        Notify(code);
        return;
    }
    PostTask([this, code] { Notify(code); });
}

void CJobManager::PostTask(std::function<void()> task) {
    {
        std::lock_guard lock(tasksMutex_);
        tasks_.push_back(std::move(task));
    }
    cpPostMessage(taskWindow_, kTaskMessage, 0, 0);
}

void CJobManager::RunPostedTasks() {
    // One task per message: a task posted while another runs waits behind the messages posted
    // before it (socket events, closes), so work keeps the order in which it was posted.
    cpCLock lock(mutex_.Get());
    std::function<void()> task;
    {
        std::lock_guard tasks(tasksMutex_);
        if (tasks_.empty()) {
            return;
        }
        task = std::move(tasks_.front());
        tasks_.pop_front();
    }
    task();
}

void CJobManager::OnEngineUpdateFile(const char*, uint32_t, uint32_t) {
    Notify(DLN_ENGINE_UPDATE_FILE);
}

void CJobManager::OnEngineUpdateProgress(uint32_t, uint32_t) {
    Notify(DLN_ENGINE_UPDATE_PROGRESS);
}

void CJobManager::OnEngineUpdated() {
    Notify(DLN_ENGINE_UPDATED);
}

void CJobManager::OnEngineUpdateFailed() {
    Notify(DLN_ENGINE_UPDATE_FAILED);
}

void CJobManager::OnEngineGiveUp() {
    cpCLock lock(mutex_.Get());
    if (!engine_) {
        return;
    }
    // The engine downloader is still on the stack of this call: it is retired now (holding no
    // job, no tick) and destroyed by a task once its call has returned.
    retiredEngine_ = std::move(engine_);
    retiredEngine_->DropAll();
    PostTask([this] { retiredEngine_.reset(); });
    if (!direct_) {
        return;
    }
    for (const auto& job : jobs_) {
        if (job->GetState() == CJob::kRunning) {
            direct_->Start(job.get());
        }
    }
}

void CJobManager::OnEngineGiveUpJob(CJob* job) {
    cpCLock lock(mutex_.Get());
    for (const auto& held : jobs_) {
        if (held.get() == job) {
            if (direct_) {
                direct_->Start(job);
            }
            return;
        }
    }
}

void CJobManager::OnPathFailed(int32_t kind) {
    if (kind == kPathEngineFolder) {
        if (notify_.window != 0) {
            WriteLogLine("[TessloadLib] engine path access failed");
        }
        Notify(DLN_ENGINE_PATH_FAILED, identity_);
    } else if (kind == kPathDownloadFolder) {
        if (notify_.window != 0) {
            WriteLogLine("[TessloadLib] download path access failed");
        }
        Notify(DLN_DOWNLOAD_PATH_FAILED, identity_);
    }
}

void CJobManager::OnEngineStateChanged(uint32_t) {
    Notify(DLN_ENGINE_STATE);
}

void CJobManager::OnDataDownloadCompleted(const uint8_t*, int64_t) {
    NotifyFromWorker(DLN_DATA_DONE);
}

void CJobManager::OnDataDownloadFailed(int32_t) {
    NotifyFromWorker(DLN_DATA_FAILED);
}

void CJobManager::OnDataDownloadTick() {
    Notify(DLN_DATA_TICK);
}

void CJobManager::OnContentLengthCheckDone(int64_t) {
    NotifyFromWorker(DLN_CHECK_DONE);
}

void CJobManager::OnContentLengthCheckFailed(const char*) {
    WriteDiagnosticLine("[TessloadLib_D] File Size Check Failed. 0x0011");
    NotifyFromWorker(DLN_CHECK_FAILED);
}

void CJobManager::OnContentLengthCheckHostUnreachable() {
    WriteDiagnosticLine("[TessloadLib_D] File Size Check Failed. 0x0012");
    NotifyFromWorker(DLN_CHECK_FAILED);
}
