// A job: one download order of the host. It holds the files, the latest progress snapshot, the
// one-shot size and result records and the two queues the host drains, and it sends its own
// notifications. A job downloader holds it while it runs and reports into it; the job manager
// reads it for the host. Every access is on the worker thread or inside the library mutex.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/notify_target.h"
#include "downloadlib.h"

// One file of a job. The downloaders read it; the direct downloader works on copies.
struct CJobFile {
    static constexpr int32_t kStateDone = 2;

    int32_t index = 0;   // position in the job, from 0
    std::string url;     // trimmed
    std::string folder;  // normalised, ends in '/'
    std::string name;
    std::string serviceId;
    int64_t size = -1;  // as the host gave it; -1 when unknown
    int64_t presentBytes = 0;
    int32_t option1 = 0;
    int32_t option2 = 0;
    int32_t state = 0;  // kStateDone once complete and its message queued

    std::string FullPath() const { return folder + name; }
};

class CJob {
  public:
    enum State : int32_t { kIdle = 0, kRunning = 1, kDone = 2 };

    static constexpr size_t kMaxCodeLength = 3;
    static constexpr size_t kMaxServiceIdLength = 32;

    CJob(JobHandle handle, uint32_t number);
    virtual ~CJob();
    CJob(const CJob&) = delete;
    CJob& operator=(const CJob&) = delete;

    JobHandle Handle() const { return handle_; }
    uint32_t Number() const { return number_; }

    // Set by the job manager.
    void SetCode(const char* code);
    void SetServiceId(const char* serviceId);
    void SetNotifyTarget(const CNotifyTarget& target) { notify_ = target; }
    // DL_OK, DL_E_URL, DL_E_PATH, or DL_E_FAIL when the job is not idle or the file is there.
    int32_t AddFile(const char* url, const char* folder, const char* name, int64_t size,
                    int32_t option1, int32_t option2);
    void SetSpeedMode(int32_t mode) { speedMode_ = mode; }
    void SetEngineOption(uint8_t flag) { engineOption_ = flag; }

    const std::string& Code() const { return code_; }
    const std::string& ServiceId() const { return serviceId_; }
    const std::vector<std::unique_ptr<CJobFile>>& Files() const { return files_; }
    size_t FileCount() const { return files_.size(); }
    State GetState() const { return state_; }
    int32_t SpeedMode() const { return speedMode_; }
    uint8_t EngineOption() const { return engineOption_; }
    const std::string& DownloadFolder() const { return downloadFolder_; }
    // The engine's number for this job; only the engine downloader uses it.
    uint32_t EngineNumber() const { return engineNumber_; }
    void SetEngineNumber(uint32_t number) { engineNumber_ = number; }

    // Host queries (through the job manager). The records are handed over once; the queues are
    // first in, first out.
    void CopyProgress(JobProgress* out) const;
    const JobProgress& Progress() const { return progress_; }
    void HandOverSizeInfo(JobSizeInfo* out);
    void HandOverResult(JobResult* out);
    void PopFileMessage(JobFileMessage* out);
    int32_t EventTextLength() const;
    void PopEvent(JobEvent* inOut);

    // Reports of the job downloaders.
    void SetRunning() { state_ = kRunning; }
    void SetIdle() { state_ = kIdle; }
    void StoreProgress(const JobProgress& progress) { progress_ = progress; }
    // 514 while running with bytes present.
    void ReportProgress();
    // 513 while running and before any bytes are present.
    void ReportSize(int32_t fileCount, int64_t totalBytes);
    // A last 514 under its rule, then done and 516.
    void ReportCompletion(int32_t value1, int32_t value2);
    // 515 once per file: the message text is "firstPart,text" (the path when text is empty).
    void ReportFileDone(const char* path, const char* text, const char* firstPart);
    void ReportFileDone(const char* path, const char* firstPart) {
        ReportFileDone(path, nullptr, firstPart);
    }
    void ReportEvent(int32_t code, const char* text);
    void AskResume();
    CJobFile* FindFile(const char* path) const;

  private:
    struct QueuedEvent {
        int32_t code;
        std::string text;
    };

    void Notify(int32_t code) const { notify_.Notify(code, static_cast<int32_t>(handle_)); }

    const JobHandle handle_;
    const uint32_t number_;
    std::vector<std::unique_ptr<CJobFile>> files_;
    std::unordered_map<std::string, CJobFile*> fileMap_;  // lower-cased full path
    State state_ = kIdle;
    int32_t speedMode_ = 1;
    JobProgress progress_{};
    std::string code_;
    std::string serviceId_;
    CNotifyTarget notify_;
    std::optional<JobSizeInfo> sizeInfo_;
    std::optional<JobResult> result_;
    uint32_t engineNumber_ = 0;
    std::deque<JobFileMessage> fileMessages_;
    std::deque<QueuedEvent> events_;
    int32_t fileMessageSequence_ = 0;
    uint8_t engineOption_ = 0;
    std::string downloadFolder_;
};
