// The direct job downloader: for each job a size check, then one platform session that fetches
// the files over HTTP; their events become job reports. It also watches the network once a
// second and sends statistics when a job ends or is stopped.
//
// BeginJob and EndJob are called by the job manager inside the library mutex; everything else
// runs on the worker thread inside it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/job_downloader.h"
#include "direct/platform_file_size_checker.h"
#include "direct/platform_reporter.h"
#include "direct/platform_session.h"
#include "stack/job_reporter.h"

class CPlatFormDownloader : public CJobDownloader,
                            public IPlatFormSessionEventListener,
                            public ICheckerEventListener {
  public:
    CPlatFormDownloader(IJobDownloadEventListener* listener, vmSmartPtr<cpCMutex> mutex);
    ~CPlatFormDownloader() override;

    int32_t BeginJob(CJob* job) override;
    void EndJob(CJob* job) override;
    void TickJob(CJob* job) override;

    // Jobs being worked on (held, or failed and held).
    size_t WorkCount() const { return entries_.size(); }

    // IPlatFormSessionEventListener
    void OnAllFilesDone(uintptr_t context) override;
    void OnSessionFailed(uintptr_t context, const char* text) override;
    void OnFileDone(uintptr_t context, const CPlatformFileRecord& file) override;
    void OnDataWritten(uintptr_t context) override;
    void OnFileOpened(const char* path, uintptr_t context) override;
    void OnSessionEvent(uintptr_t context, int32_t code, const char* text) override;

    // ICheckerEventListener
    void OnSizeCheckComplete(uintptr_t context, const CFileSizeCheckResult& result) override;
    void OnSizeCheckFailed(uintptr_t context, int32_t code, const char* text) override;

  private:
    struct CWorkEntry {
        vmSmartPtr<CPlatformFileSizeChecker> checker;
        vmSmartPtr<CPlatformSession> session;
        CJob* job = nullptr;
        int64_t totalBytes = 0;
        int64_t presentAtStart = 0;
        int32_t fileCount = 0;
        int32_t completed = 0;
        int64_t startSeconds = 0;
        int64_t startMs = 0;  // for the job report's duration
        std::string failure;  // the session's failure text, for the job report
        uint64_t serial = 0;  // tells an entry from a later one at the same address
    };

    static CWorkEntry* EntryOf(uintptr_t context) { return reinterpret_cast<CWorkEntry*>(context); }
    CWorkEntry* FindEntry(const CJob* job) const;
    // Whether the entry is still in the list (the host may stop a job from a notification).
    bool IsLive(const CWorkEntry* entry, uint64_t serial) const;
    void StartSizeCheck(CWorkEntry* entry);
    void StartSession(CWorkEntry* entry);
    void Snapshot(CWorkEntry* entry);
    void SendReport(CWorkEntry* entry);
    // The job's summary for the report server (stack/job_reporter.h); outcome as vmJobReport's.
    void SendJobReport(const CWorkEntry* entry, uint8_t outcome, const std::string& failure);
    // Takes the entry out of the list and lets its workers go.
    std::unique_ptr<CWorkEntry> TakeEntry(CWorkEntry* entry);
    static void ReleaseWorkers(CWorkEntry* entry);

    std::vector<std::unique_ptr<CWorkEntry>> entries_;
    std::unique_ptr<CPlatformReporter> reporter_;
    std::unique_ptr<CJobReporter> jobReporter_;
    uint64_t nextSerial_ = 1;
};
