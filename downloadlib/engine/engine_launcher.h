// The engine launcher: one update run of the engine (update/downloader.h) on behalf of the engine
// downloader, which makes a new launcher for every attempt to reach the engine. It logs the
// patch outcome and passes the updater's events on, reduced to what the engine downloader needs.
//
// Worker thread, inside the library mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/mutex.h"
#include "foundation/object.h"
#include "foundation/timer.h"
#include "update/descriptor.h"
#include "update/downloader.h"

// What the launcher tells the engine downloader.
class ILauncherEventListener {
  public:
    // The size and byte counts travel as their low and high 32-bit halves.
    virtual void OnEngineUpdateFile(const std::string& url, uint32_t low, uint32_t high) = 0;
    virtual void OnEngineUpdateProgress(const std::string& url, uint32_t low, uint32_t high) = 0;
    // The engine can be used (it was started, or its update went through).
    virtual void OnEngineReady() = 0;
    // The update failed and the engine did not start.
    virtual void OnEngineFailed() = 0;
    virtual void OnNetworkDown() = 0;
    // kind 1: the engine's files cannot be placed.
    virtual void OnEngineError(int32_t kind) = 0;

  protected:
    ~ILauncherEventListener() = default;
};

// Where a launcher's update run looks and what it starts; the library's own is
// DefaultLauncherSettings, tests give their own.
struct CLauncherSettings {
    CEngineEnvironment environment;
    std::string descriptorUrl;
};

class CEngineLauncher final : private IDownloaderEventListener {
  public:
    static constexpr uint32_t kStartTimerId = 0x7000002;

    // Makes the updater and starts its run from the next timer tick: the run may end at once (an
    // address that cannot be opened) and its owner must be ready to hear that.
    CEngineLauncher(vmSmartPtr<cpCMutex> mutex, CLauncherSettings settings);
    // Destroys the updater, which stops its downloads.
    ~CEngineLauncher();
    CEngineLauncher(const CEngineLauncher&) = delete;
    CEngineLauncher& operator=(const CEngineLauncher&) = delete;

    // Null silences every relay; the patch line is still logged.
    void SetListener(ILauncherEventListener* listener) { listener_ = listener; }

  private:
    void OnNetworkLost() override;
    void OnUpdateFile(const std::string& url, int64_t size) override;
    void OnUpdateProgress(const std::string& url, int64_t bytes) override;
    void OnUpdateFinished(int32_t engineStarted, int32_t updateSucceeded,
                          const std::string& newVersion) override;
    void OnUpdateError(int32_t kind) override;

    std::unique_ptr<CDownloader> updater_;
    ILauncherEventListener* listener_ = nullptr;
    vmSmartPtr<cpCTimer> startTimer_;
};
