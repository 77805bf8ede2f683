// Starting the engine program: the four ways in their order, each logged, then the wait until
// the program is ready for the library.
//
// Linux has no elevation prompt: "runas" is a plain start like "open", and both, like the
// plain process creation, start the program detached (foundation/platform/process/
// detached_start.h) with TEV_READY_FD naming its readiness pipe. The way each start is made is
// a seam, so tests can make a way fail with any code (1223: the user declined elevation).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "detached_start.h"
#include "foundation/mutex.h"
#include "foundation/object.h"
#include "foundation/timer.h"

// The host's run-elevated flag from DownloadLib_InitializeEx; only 1 asks for elevation.
void SetRunElevatedFlag(uint8_t flag);
uint8_t RunElevatedFlag();

// How long the start waits for the engine's readiness byte.
constexpr int kEngineReadyTimeoutMs = 10000;
constexpr char kEngineReadyVariable[] = "TEV_READY_FD";
// The code of a refused elevation prompt, which the starter answers with an unelevated start.
constexpr uint32_t kErrorCancelled = 1223;

class CEngineStartWatch;

class CBinaryExecBase {
  public:
    // The engine path in out and true when a file is there; false and out untouched otherwise.
    virtual bool LocateExecutable(std::string* out) = 0;
    virtual void CopyExecutablePath(std::string* out, const std::string& in) = 0;

  protected:
    ~CBinaryExecBase() = default;
};

// One way of starting the program at path: with a verb ("runas", "open") as the shell would,
// or with an empty verb as a plain process creation. 0 and the started process, or the last
// error (an errno here).
using EngineStartWay =
    std::function<uint32_t(const std::string& verb, const std::string& path, cpDetachedProcess*)>;

// The real way: a detached start with the caller's environment and the readiness pipe.
uint32_t StartEngineDetached(const std::string& verb, const std::string& path,
                             cpDetachedProcess* started);

class CBinaryExecute_V3 : public CBinaryExecBase {
  public:
    explicit CBinaryExecute_V3(EngineStartWay startWay = StartEngineDetached,
                               int readyTimeoutMs = kEngineReadyTimeoutMs);
    virtual ~CBinaryExecute_V3() = default;

    bool LocateExecutable(std::string* out) override;
    void CopyExecutablePath(std::string* out, const std::string& in) override;
    // True when a process was started and did not fail its readiness: one that does not signal
    // in time is ended by its pid and counts as not started. Blocks its caller for at most the
    // readiness time-out after the start: for tools and tests without a worker loop.
    bool RunEngine();
    // The same start, with the readiness looked for on the worker loop's timer ticks (time on the
    // clock seam) instead of waited for: the caller returns at once and the library mutex is free
    // while the engine starts up. done(started) runs once: at once when no process started (and
    // null is returned), else from a tick inside the library mutex while the caller keeps the
    // watch. Dropping the watch before then gives up the start.
    std::shared_ptr<CEngineStartWatch> RunEngineWatched(vmSmartPtr<cpCMutex> mutex,
                                                        std::function<void(bool)> done);

    int ReadyTimeoutMs() const { return readyTimeoutMs_; }

    static constexpr uint32_t kReadyPollMs = 100;
    static constexpr uint32_t kReadyTimerId = 0x7000003;

  private:
    friend class CEngineStartWatch;
    // The ways in their order, logged; true with the started process.
    bool Launch(std::string* path, cpDetachedProcess* process);
    // Logs how the readiness ended and acts on it; true when the engine counts as started.
    bool Settle(const std::string& path, const cpDetachedProcess& process, cpReadiness readiness);

    EngineStartWay startWay_;
    int readyTimeoutMs_;
};

// A started engine whose readiness byte is looked for, without waiting, on every timer tick.
class CEngineStartWatch {
  public:
    CEngineStartWatch(CBinaryExecute_V3* executor, std::string path, cpDetachedProcess process,
                      std::function<void(bool)> done);
    // Before the answer came: the engine is ended unless it has signalled by now.
    ~CEngineStartWatch();
    CEngineStartWatch(const CEngineStartWatch&) = delete;
    CEngineStartWatch& operator=(const CEngineStartWatch&) = delete;

  private:
    friend class CBinaryExecute_V3;
    bool Watch(vmSmartPtr<cpCMutex> mutex);
    void Look();

    CBinaryExecute_V3* executor_;
    std::string path_;
    cpDetachedProcess process_;
    std::function<void(bool)> done_;
    cpTimeStamp started_;
    vmSmartPtr<cpCTimer> timer_;
};

// The process's one starter, and the plain functions the updater calls.
CBinaryExecute_V3& EngineExecutor();
bool RunEngine();
std::shared_ptr<CEngineStartWatch> RunEngineWatched(vmSmartPtr<cpCMutex> mutex,
                                                    std::function<void(bool)> done);
