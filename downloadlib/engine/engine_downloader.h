// The engine downloader: the job downloader that hands jobs to the local engine program instead
// of downloading them itself. It keeps the engine up to date and running through a launcher (a new
// one for every attempt), keeps one connection to it through the local engine client layer, sends
// every job it holds as protocol messages, and turns the engine's messages back into job reports.
// When the engine cannot be used it gives up and the job manager moves its jobs to the direct
// downloader; a single job the engine gives up (or cannot be told about) moves on its own.
//
// Worker thread, inside the library mutex; the job manager's calls come inside it too.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/job_downloader.h"
#include "engine/engine_job_report.h"
#include "engine/engine_launcher.h"
#include "engine/engine_protocol.h"
#include "engine/local_client_layer.h"
#include "foundation/clock.h"
#include "stack/qos_context.h"

// Where the engine downloader finds the engine: the update run of its launchers, and the port.
struct CEngineDownloaderSettings {
    CLauncherSettings launcher;
    uint16_t port = engine_protocol::kDefaultPort;
};

// The engine port: TEV_ENGINE_PORT when it holds a port number, else 38006.
uint16_t EnginePort();
// The library's own: the engine folder and program of engine/engine_paths.h, its start by
// engine/binary_execute.h, the descriptor on the download server, and the port above.
CEngineDownloaderSettings DefaultEngineDownloaderSettings();

// The progress snapshot of a type-5 message. Sizes of 0, unknown sizes and bytes present above
// the total give 0 % or 100 % and no remaining time; nothing divides by zero.
JobProgress BuildEngineProgress(const engine_protocol::JobProgress& message, const CJob& job,
                                CSpeedSampler* jobSampler, CSpeedSampler* fileSampler);

// Whether the engine can take the job: the full local path must fit the 260-byte path field of
// the completion messages, and the URLs the engine's budget (each, and the list's together).
bool EngineCanCarry(const CJob& job);

class CEngineDownloader final : public CJobDownloader,
                                private ILauncherEventListener,
                                private nwICDNLocalClientEventListener {
  public:
    static constexpr uint32_t kUnknownEngineJob = 0xFFFFFFFFu;
    static constexpr uint32_t kConnectTimeoutSeconds = 1;
    // A connection that lasted longer than this resets the restart counter.
    static constexpr uint32_t kLongConnectionSeconds = 30;
    static constexpr uint32_t kMaxRestarts = 5;
    // A job that lost more connections than this goes to the direct downloader, however long
    // each of them lasted.
    static constexpr uint32_t kMaxLostConnectionsPerJob = 5;
    // Silence while the engine holds a job: after this long the library asks for the engine's
    // state (type 22), which a live engine answers at once...
    static constexpr int64_t kSilenceMs = 10000;
    // ...and without an answer this long after the question, the connection goes (a restart).
    static constexpr int64_t kStateAnswerMs = 10000;
    // Beyond this payload a file list travels file by file.
    static constexpr uint64_t kMaxFileListPayload = 130047;

    CEngineDownloader(IJobDownloadEventListener* listener, vmSmartPtr<cpCMutex> mutex,
                      CEngineDownloaderSettings settings = DefaultEngineDownloaderSettings());
    ~CEngineDownloader() override;

    int32_t BeginJob(CJob* job) override;
    void EndJob(CJob* job) override;
    void TickJob(CJob* job) override;
    int32_t ReplyResume(CJob* job, uint8_t answer1, uint8_t answer2) override;
    void SetServiceId(const char* serviceId) override;
    // Type 13 for the job when connected; its value means what the engine makes of it.
    void SetJobFlag(CJob* job, uint8_t value);

    // For tests and diagnostics.
    uint32_t RestartCount() const { return restarts_; }
    // Connected and the listener checked: only then does anything go to the engine.
    bool IsConnected() const { return connection_ && layer_ != nullptr && connectTime_ > 0; }
    size_t PendingCount() const { return pending_.size(); }

  private:
    struct PendingJob {
        uint32_t engineJob = kUnknownEngineJob;
        uint32_t job = 0;
        CJob* jobObject = nullptr;
    };

    PendingJob* FindPending(uint32_t job);
    PendingJob* FindPending(uint32_t job, uint32_t engineJob);
    // The job of a record, when this downloader still holds it.
    CJob* HeldJob(const PendingJob* record) const;
    void RemovePending(const PendingJob* record);
    void SendFiles(CJob* job);
    // A job the engine cannot take or gave up: event 518 and on to the direct downloader.
    void MoveToDirect(CJob* job);
    void MakeLauncher();
    void DestroyLauncher();
    void Connect();
    // Algorithm of a closed connection: forget it, then restart or give up.
    void ConnectionClosed();
    void ReleaseConnection(bool close);
    void GiveUp();
    bool EngineIsOurs() const;
    // A message came from the engine: it lives.
    void Heard();
    // Once a second while the engine holds a job: ask a silent engine, restart a mute one.
    void CheckSilence();

    // ILauncherEventListener
    void OnEngineUpdateFile(const std::string& url, uint32_t low, uint32_t high) override;
    void OnEngineUpdateProgress(const std::string& url, uint32_t low, uint32_t high) override;
    void OnEngineReady() override;
    void OnEngineFailed() override;
    void OnNetworkDown() override;
    void OnEngineError(int32_t kind) override;

    // nwICDNLocalClientEventListener
    void OnConnected(uintptr_t context) override;
    void OnJobAccepted(const engine_protocol::JobAccepted& record, uintptr_t context) override;
    void OnJobFailed(const engine_protocol::JobFailed& record, uintptr_t context) override;
    void OnJobProgress(const engine_protocol::JobProgress& record, uintptr_t context) override;
    void OnFileCompleted(const engine_protocol::FileCompleted& record, uintptr_t context) override;
    void OnFileCompletedAt(const engine_protocol::FileCompletedAt& record,
                           uintptr_t context) override;
    void OnJobFinished(const engine_protocol::JobFinished& record, uintptr_t context) override;
    void OnJobDiskStatus(const engine_protocol::JobDiskStatus& record, uintptr_t context) override;
    void OnNetworkPoor(uintptr_t context) override;
    void OnNetworkBack(uintptr_t context) override;
    void OnClosed(uintptr_t context) override;
    void OnConnectTimeout(uintptr_t context) override;
    void OnResumeQuery(uint32_t job, uintptr_t context) override;
    void OnEngineState(uint32_t value, uintptr_t context) override;

    CEngineDownloaderSettings settings_;
    CEngineJobReports reports_;  // one job report per job the engine accepted, at its end
    std::unique_ptr<CEngineLauncher> launcher_;
    std::unique_ptr<CEngineLauncher> retiredLauncher_;  // silenced, kept until the next restart
    vmSmartPtr<vmIQoSContext> connection_;
    vmICDNLocalClientLayer* layer_ = nullptr;  // the connection's top layer, owned by it
    std::string serviceId_;
    uint32_t restarts_ = 0;
    uint32_t connectTime_ = 0;  // seconds of the clock at the last OnConnected, 0 when none
    CSpeedSampler jobSampler_;
    CSpeedSampler fileSampler_;
    std::vector<PendingJob> pending_;
    bool givenUp_ = false;
    cpTimeStamp lastHeard_{};
    bool stateAsked_ = false;
    cpTimeStamp stateAskedAt_{};
    std::map<uint32_t, uint32_t> lostConnections_;  // by job number, for jobs still held
};
