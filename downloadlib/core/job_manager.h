// The job manager: the one object behind the flat interface. It owns the jobs, the downloaders,
// the data download, the content-length checker and the network runtime, turns what they report
// into host notifications, and chooses the downloader of a job: the engine downloader while it
// exists, the direct one after it gave up.
//
// Created on the worker thread; its operations run on the host's thread inside the library
// mutex, its listener calls on the worker thread inside it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/event_listeners.h"
#include "core/job.h"
#include "core/job_downloader.h"
#include "core/manager_parts.h"
#include "core/notify_target.h"
#include "downloadlib.h"
#include "foundation/mutex.h"
#include "foundation/network_runtime.h"

class CJobManager : public IJobDownloadEventListener,
                    public IDataDownloadSessionEventListener,
                    public IContentLengthCheckerEventListener {
  public:
    // On the worker thread: starts the network runtime and the manager's task window there.
    explicit CJobManager(vmSmartPtr<cpCMutex> mutex);
    ~CJobManager() override;
    CJobManager(const CJobManager&) = delete;
    CJobManager& operator=(const CJobManager&) = delete;

    // gate: closed by the finalisation, after which no notification of this set-up is sent.
    int32_t Setup(uint32_t notifyWindow, DownloadLibCallback callback, void* userData,
                  uint8_t runElevated, std::shared_ptr<CNotifyGate> gate = nullptr);
    // On the worker thread once its loop has ended.
    int32_t Shutdown();

    int32_t SetServiceId(const char* serviceId);
    int32_t CreateJob(JobHandle* handle, const char* code, const char* serviceId);
    int32_t SetEngineOption(JobHandle handle);
    int32_t AddFile(JobHandle handle, const char* url, const char* folder, const char* name,
                    int64_t size, int32_t option1, int32_t option2);
    int32_t StartJob(JobHandle handle, uint8_t speedMode);
    int32_t StopJob(JobHandle handle);
    int32_t RemoveJob(JobHandle handle);
    int32_t ReplyResume(JobHandle handle, uint8_t answer1, uint8_t answer2);

    int32_t GetSizeInfo(JobHandle handle, JobSizeInfo* out);
    int32_t GetProgress(JobHandle handle, JobProgress* out);
    int32_t GetResult(JobHandle handle, JobResult* out);
    int32_t PopFileMessage(JobHandle handle, JobFileMessage* out);
    int32_t GetEventTextLength(JobHandle handle, int32_t* out);
    int32_t PopEvent(JobHandle handle, JobEvent* inOut);
    // What is still missing of the job, else the content-length total.
    int32_t GetRemainingBytes(JobHandle handle, int64_t* out);

    int32_t DownloadData(const char* url, int64_t limit = 0);
    int32_t GetDataStatus(int32_t* status);
    int32_t GetDataSize(int64_t* out);
    int32_t GetData(const DataBuffer* buffer);
    int32_t AddContentLengthCheck(const char* url);
    int32_t StartContentLengthCheck();
    int32_t GetTotalContentLength(int64_t* out);

    // Runs the task on the worker thread, inside the library mutex, after the messages already
    // queued there. Any thread. Tasks still queued when the manager goes are dropped.
    void PostTask(std::function<void()> task);

    // IJobDownloadEventListener
    void OnEngineUpdateFile(const char* name, uint32_t value1, uint32_t value2) override;
    void OnEngineUpdateProgress(uint32_t value1, uint32_t value2) override;
    void OnEngineUpdated() override;
    void OnEngineUpdateFailed() override;
    void OnEngineGiveUp() override;
    void OnEngineGiveUpJob(CJob* job) override;
    void OnPathFailed(int32_t kind) override;
    void OnEngineStateChanged(uint32_t value) override;

    // IDataDownloadSessionEventListener
    void OnDataDownloadCompleted(const uint8_t* data, int64_t size) override;
    void OnDataDownloadFailed(int32_t reason) override;
    void OnDataDownloadTick() override;

    // IContentLengthCheckerEventListener
    void OnContentLengthCheckDone(int64_t total) override;
    void OnContentLengthCheckFailed(const char* url) override;
    void OnContentLengthCheckHostUnreachable() override;

    // For tests and diagnostics, inside the mutex.
    CJobDownloader* EngineDownloader() const { return engine_.get(); }
    CJobDownloader* DirectDownloader() const { return direct_.get(); }
    CJob* FindJob(JobHandle handle) const;
    size_t JobCount() const { return jobs_.size(); }

  private:
    CJobDownloader* DownloaderForStart() const;
    CJobDownloader* Owner(const CJob* job) const;
    void Notify(int32_t code, int32_t parameter = 0) const { notify_.Notify(code, parameter); }
    // The data download's and the content-length check's notifications reach the host from the
    // worker only: one that arises inside the host's own call is posted to the worker.
    void NotifyFromWorker(int32_t code);
    void RunPostedTasks();

    std::unique_ptr<CJobDownloader> direct_;
    std::unique_ptr<CJobDownloader> engine_;
    // An engine downloader that gave up, kept until its own call into the manager has returned.
    std::unique_ptr<CJobDownloader> retiredEngine_;
    vmSmartPtr<cpCMutex> mutex_;
    std::unique_ptr<CZpn> runtime_;
    std::unique_ptr<IDataDownload> data_;
    std::unique_ptr<IContentLengthCheck> checker_;
    std::vector<std::unique_ptr<CJob>> jobs_;
    uint32_t nextJobNumber_ = 0;
    CNotifyTarget notify_;
    CJobManagerFactories factories_;
    // The opaque non-zero parameter of the path notifications.
    const int32_t identity_;

    const std::thread::id workerThread_;  // the manager is built on the worker thread
    uint32_t taskWindow_ = 0;
    std::mutex tasksMutex_;  // guards tasks_ only; never held while a task runs
    std::deque<std::function<void()>> tasks_;
};
