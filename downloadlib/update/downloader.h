// One update run of the engine program: the descriptor from the update server, then the archives
// of the engine files that are out of date, side by side on sessions of their own, checked and
// unpacked into the engine folder by the file list; then the engine is started and the outcome
// reported. Network loss is waited out with a retry once a second.
//
// A run ends with exactly one OnUpdateFinished or one OnUpdateError, after which the listener
// hears nothing more. The listener may destroy the updater from within those two calls.
//
// Worker thread, inside the library mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "direct/download_session.h"
#include "foundation/mutex.h"
#include "foundation/object.h"
#include "foundation/timer.h"
#include "update/descriptor.h"
#include "update/download_file.h"

// What the updater tells its owner (the engine launcher).
class IDownloaderEventListener {
  public:
    // The update server cannot be reached while the machine is offline; retrying every second.
    virtual void OnNetworkLost() = 0;
    virtual void OnUpdateFile(const std::string& url, int64_t size) = 0;
    virtual void OnUpdateProgress(const std::string& url, int64_t bytes) = 0;
    // engineStarted and updateSucceeded are 1 or 0.
    virtual void OnUpdateFinished(int32_t engineStarted, int32_t updateSucceeded,
                                  const std::string& newVersion) = 0;
    // kind 1: the engine's files cannot be placed.
    virtual void OnUpdateError(int32_t kind) = 0;

  protected:
    ~IDownloaderEventListener() = default;
};

constexpr char kUpdateDescriptorPath[] = "/velmor/tevdownload/update/v3_32/tevdownload_updater.xml";
// Beside the descriptor: its signed manifest and the manifest's signatures.
constexpr char kUpdateManifestName[] = "tevdownload_updater.manifest";
constexpr char kUpdateSignaturesSuffix[] = ".sig";

// The descriptor's address on the download server: https when the server is given as an
// "https://" address, else http.
std::string UpdateDescriptorUrl();
// The manifest's address: the descriptor's folder and kUpdateManifestName.
std::string UpdateManifestUrl(const std::string& descriptorUrl);

// The installed engine as the library finds and starts it: the engine paths, the installed
// program's version block and RunEngine.
CEngineEnvironment DefaultEngineEnvironment();

class CDownloader final : private IDownloadSessionEventListener {
  public:
    static constexpr uint32_t kRetryPeriodMs = 1000;
    static constexpr uint32_t kRetryTimerId = 0x7000001;
    // A run ends at this deadline (on the library's clock) whatever it waits for: an update
    // served slowly must not hold the job; the engine already present starts instead.
    static constexpr uint32_t kDeadlineMs = 60000;
    static constexpr uint32_t kDeadlineTimerId = 0x7000003;

    CDownloader(vmSmartPtr<cpCMutex> mutex,
                CEngineEnvironment environment = DefaultEngineEnvironment(),
                std::string descriptorUrl = UpdateDescriptorUrl());
    ~CDownloader();
    CDownloader(const CDownloader&) = delete;
    CDownloader& operator=(const CDownloader&) = delete;

    void SetListener(IDownloaderEventListener* listener) { listener_ = listener; }
    // Begins the run: with the signed manifest when a trusted key is known, else (a build and
    // environment without any key) with the descriptor, over https only.
    void Start();

    CDownloadFileList& FileList() { return fileList_; }
    bool IsFinished() const { return state_ == State::kFinished; }
    bool IsWaitingForNetwork() const { return retryTimer_ && retryTimer_->IsRunning(); }
    // Sessions of the run, and how many of them are fetching now.
    size_t SessionCount() const { return sessions_.size(); }
    size_t BusySessionCount() const;

  private:
    enum class State { kIdle, kRunning, kFinished };
    struct SessionEntry {
        vmSmartPtr<CDownloadSession> session;
        CDownloadFile* file = nullptr;  // the file it fetches for; owned by the file list
    };

    // Gives the next file to a free session; finishes when nothing is left to fetch.
    void NextFile(bool newSessionsAllowed);
    SessionEntry* TakeSession(bool newSessionsAllowed);
    SessionEntry* Find(uintptr_t context);
    void Retire(CDownloadSession* session);
    void RetireAll();
    void StopRetryTimer();
    void OnRetryTick();
    void OnDeadline();
    // The two ends of a run; the listener is called last.
    void Finish();
    void ReportFinished(bool engineStarted);
    void Fail();

    void OnSessionConnected(uintptr_t context) override;
    void OnSessionCompleted(uintptr_t context, const CDownloadResult& result) override;
    void OnSessionError(uintptr_t context, int32_t reason) override;
    void OnSessionFileInfo(uintptr_t context, const std::string& url, int64_t size) override;
    void OnSessionProgress(uintptr_t context, const std::string& url, int64_t bytes) override;

    vmSmartPtr<cpCMutex> mutex_;
    CEngineEnvironment environment_;
    std::string descriptorUrl_;
    IDownloaderEventListener* listener_ = nullptr;
    CDownloadFileList fileList_;
    bool succeeded_ = true;  // cleared by any completion that failed
    std::vector<SessionEntry> sessions_;
    vmSmartPtr<cpCTimer> retryTimer_;
    vmSmartPtr<cpCTimer> deadlineTimer_;
    std::shared_ptr<CEngineStartWatch>
        engineStart_;  // while the engine started at the end starts up
    State state_ = State::kIdle;
    // Expires with the updater: a loop that called out checks it before going on, since the
    // listener may have destroyed the updater meanwhile.
    std::shared_ptr<int> life_ = std::make_shared<int>(0);
};
