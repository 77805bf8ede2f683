// The library's worker thread. It builds the library mutex and the job manager, then runs the
// message loop through which every socket, timer and task of the library arrives. The thread
// object starts it, waits for it, and stops it again.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "core/notify_target.h"
#include "downloadlib.h"
#include "foundation/platform/event.h"

class CJobManager;

class CDownloadLibThread {
  public:
    static constexpr uint32_t kStartWaitMs = 3000;
    static constexpr uint32_t kStopWaitMs = 3000;

    // Clears the run flag.
    CDownloadLibThread();
    // The stop sequence: close the notifications (none is sent after it), quit the loop, wait
    // for the worker, destroy the job manager. A worker that does not end in time is left
    // running with its job manager; it frees both itself.
    virtual ~CDownloadLibThread();
    CDownloadLibThread(const CDownloadLibThread&) = delete;
    CDownloadLibThread& operator=(const CDownloadLibThread&) = delete;

    // Sets the run flag and starts the worker; it sets the event once its job manager exists.
    // False when no thread could be started.
    bool Start(std::shared_ptr<cpCEvent> started);
    // DL_E_FAIL while there is no job manager, else the manager's Setup.
    int32_t Setup(uint32_t notifyWindow, DownloadLibCallback callback, void* userData,
                  uint8_t runElevated);
    CJobManager* Manager() const;
    void* UserData() const { return userData_; }

    // The process-wide thread object of the flat interface; null while not initialised. Only
    // the host's initialising and finalising calls replace it.
    static CDownloadLibThread* Instance();
    static void SetInstance(std::unique_ptr<CDownloadLibThread> thread);
    static std::unique_ptr<CDownloadLibThread> TakeInstance();

    // Workers that were left running by a stop sequence and have not ended yet. While there is
    // one, the library cannot be initialised again.
    static int StrandedWorkers();

    // Test seams: how long start and stop wait, and code the worker runs before it builds its
    // job manager.
    static void SetWaitsForTests(uint32_t startWaitMs, uint32_t stopWaitMs);
    static uint32_t StartWaitMs();
    static void SetWorkerStartHookForTests(std::function<void()> hook);

  private:
    struct Shared;
    static void Run(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
    void* userData_ = nullptr;
    // The notifications of this initialisation; closed first by the stop sequence.
    std::shared_ptr<CNotifyGate> gate_ = std::make_shared<CNotifyGate>();
};
