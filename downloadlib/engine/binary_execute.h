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
#include <string>

#include "detached_start.h"

// The host's run-elevated flag from DownloadLib_InitializeEx; only 1 asks for elevation.
void SetRunElevatedFlag(uint8_t flag);
uint8_t RunElevatedFlag();

// How long the start waits for the engine's readiness byte.
constexpr int kEngineReadyTimeoutMs = 10000;
constexpr char kEngineReadyVariable[] = "TEV_READY_FD";
// The code of a refused elevation prompt, which the starter answers with an unelevated start.
constexpr uint32_t kErrorCancelled = 1223;

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
    // readiness time-out after the start.
    bool RunEngine();

  private:
    EngineStartWay startWay_;
    int readyTimeoutMs_;
};

// The process's one starter, and the plain function the updater calls.
CBinaryExecute_V3& EngineExecutor();
bool RunEngine();
