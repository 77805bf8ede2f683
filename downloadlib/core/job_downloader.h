// The base of the job downloaders (direct and engine): the jobs it holds, the one-second tick
// that reports their progress, the job-report operations through which a downloader feeds a job,
// and the arithmetic of speed, remaining time and percentages.
//
// Start, Stop and ReplyToResumeQuery are called by the job manager inside the library mutex; the
// tick and every downloader event run on the worker thread inside it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/event_listeners.h"
#include "core/job.h"
#include "foundation/mutex.h"
#include "foundation/object.h"
#include "foundation/timer.h"

class CJobDownloader {
  public:
    // Resets the log and logs the launch line: each downloader begins a fresh log.
    CJobDownloader(IJobDownloadEventListener* listener, vmSmartPtr<cpCMutex> mutex);
    // Stops the tick and forgets the jobs (they belong to the job manager).
    virtual ~CJobDownloader();
    CJobDownloader(const CJobDownloader&) = delete;
    CJobDownloader& operator=(const CJobDownloader&) = delete;

    // What a downloader does with a job it was given, took back, or ticks once a second.
    virtual int32_t BeginJob(CJob* job) = 0;
    virtual void EndJob(CJob* job) = 0;
    virtual void TickJob(CJob* job) = 0;
    // The host's answer to a resume query (DLN_JOB_RESUME_QUERY); DL_OK.
    virtual int32_t ReplyResume(CJob* job, uint8_t answer1, uint8_t answer2);
    // DownloadLib_SetServiceId; only the engine downloader passes it on.
    virtual void SetServiceId(const char* serviceId);

    // DL_E_STARTED when held; otherwise holds the job, sets it running and returns BeginJob.
    int32_t Start(CJob* job);
    // DL_E_NOT_STARTED when not held; otherwise lets it go, sets it idle, EndJob, DL_OK.
    int32_t Stop(CJob* job);
    // DL_E_NOT_STARTED when not held; otherwise ReplyResume and DL_OK.
    int32_t ReplyToResumeQuery(CJob* job, uint8_t answer1, uint8_t answer2);
    bool Holds(const CJob* job) const;
    // Lets the job go without any further action.
    void Drop(CJob* job);
    // Lets every job go and stops the tick: the downloader is retired and about to be destroyed.
    void DropAll();
    // Every held job gets JOB_EVENT_NETWORK_POOR.
    void NetworkLost();
    bool IsNetworkLost() const { return networkLost_ != 0; }
    void ClearNetworkLost() { networkLost_ = 0; }

    // Job reports. Each does nothing for a job this downloader does not hold.
    void StoreProgress(CJob* job, const JobProgress& progress);
    void ReportEvent(CJob* job, int32_t code, const char* text);
    void ReportEventAndDrop(CJob* job, int32_t code, const char* text);
    void ReportCompletion(CJob* job, int32_t value1, int32_t value2);
    void ReportFileDone(CJob* job, const char* path, const char* text, const char* firstPart);
    void ReportFileDone(CJob* job, const char* path, const char* firstPart);
    void ReportSize(CJob* job, int32_t fileCount, int64_t totalBytes);
    void AskResume(CJob* job);

    const std::vector<CJob*>& Jobs() const { return jobs_; }
    bool IsTicking() const { return static_cast<bool>(timer_); }
    IJobDownloadEventListener* Listener() const { return listener_; }
    cpCMutex* Mutex() const { return mutex_.Get(); }

    // Progress arithmetic; integer, divisions truncate.
    static int32_t Percentage(int64_t total, int64_t part);
    static int64_t Elapsed(int64_t startSeconds);
    static int32_t Speed(int64_t received, int64_t atStart, int64_t elapsed);
    static int64_t Remaining(int64_t total, int64_t received, int32_t speed);

    static constexpr uint32_t kTickPeriodMs = 1000;
    static constexpr uint32_t kTickTimerId = 0xFFFFFFFFu;

  private:
    void StartTick();
    void StopTickIfIdle();
    void OnTick();

    uint32_t networkLost_ = 0;
    vmSmartPtr<cpCTimer> timer_;
    std::vector<CJob*> jobs_;  // borrowed, in the order they were started
    IJobDownloadEventListener* listener_;
    vmSmartPtr<cpCMutex> mutex_;
};

// The speed over the last ten samples: the average of the samples within ten seconds of the
// newest one.
class CSpeedSampler {
  public:
    void Clear();
    void Add(int64_t stamp, uint32_t value);
    uint32_t Speed() const;

  private:
    static constexpr int kSamples = 10;
    static constexpr int64_t kWindowSeconds = 10;

    std::array<int64_t, kSamples> stamps_{};
    std::array<uint32_t, kSamples> values_{};
    int32_t newest_ = -1;
};
