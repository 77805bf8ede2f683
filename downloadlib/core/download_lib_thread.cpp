#include "core/download_lib_thread.h"

#include <condition_variable>
#include <mutex>

#include "core/job_manager.h"
#include "core/registration.h"
#include "foundation/log.h"
#include "foundation/mutex.h"
#include "foundation/object.h"
#include "foundation/platform/message_loop.h"

// What the worker and the thread object share; it outlives whichever of them ends last.
struct CDownloadLibThread::Shared {
    std::shared_ptr<cpCEvent> started;
    std::function<void()> startHook;
    std::atomic<CJobManager*> manager{nullptr};
    std::unique_ptr<CJobManager> ownedManager;

    std::mutex loopMutex;
    std::weak_ptr<cpCMessageLoop> loop;
    bool quitRequested = false;

    std::mutex endMutex;
    std::condition_variable endChanged;
    bool finished = false;
    bool stranded = false;
};

namespace {

std::unique_ptr<CDownloadLibThread> gInstanceOwner;
std::atomic<CDownloadLibThread*> gInstance{nullptr};

// The run flag: the loop ends at the first message it fetches while the flag is clear.
std::atomic<int> gRunFlag{0};
std::atomic<int> gStrandedWorkers{0};
std::atomic<uint32_t> gStartWaitMs{CDownloadLibThread::kStartWaitMs};
std::atomic<uint32_t> gStopWaitMs{CDownloadLibThread::kStopWaitMs};
std::mutex gHookMutex;
std::function<void()> gStartHook;

}  // namespace

CDownloadLibThread::CDownloadLibThread() : shared_(std::make_shared<Shared>()) {
    gRunFlag.store(0);
}

bool CDownloadLibThread::Start(std::shared_ptr<cpCEvent> started) {
    shared_->started = std::move(started);
    {
        std::lock_guard lock(gHookMutex);
        shared_->startHook = gStartHook;
    }
    gRunFlag.store(1);
    try {
        thread_ = std::thread(&CDownloadLibThread::Run, shared_);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

int32_t CDownloadLibThread::Setup(uint32_t notifyWindow, DownloadLibCallback callback,
                                  void* userData, uint8_t runElevated) {
    CJobManager* manager = Manager();
    if (manager == nullptr) {
        return DL_E_FAIL;
    }
    userData_ = userData;
    return manager->Setup(notifyWindow, callback, userData, runElevated, gate_);
}

CJobManager* CDownloadLibThread::Manager() const {
    return shared_->manager.load(std::memory_order_acquire);
}

void CDownloadLibThread::Run(std::shared_ptr<Shared> shared) {
    RegisterLibraryClasses();
    std::shared_ptr<cpCMessageLoop> loop = cpCMessageLoop::CreateForCurrentThread();
    {
        // A stop that came before the loop existed still ends it.
        std::lock_guard lock(shared->loopMutex);
        shared->loop = loop;
        if (shared->quitRequested) {
            loop->PostQuit(0);
        }
    }
    if (shared->startHook) {
        shared->startHook();
    }

    vmSmartPtr<cpCMutex> mutex;
    if (mutex.CreateInstance(CLSID_cpCMutex)) {
        cpCLock lock(mutex.Get());
        try {
            shared->ownedManager = std::make_unique<CJobManager>(mutex);
            shared->manager.store(shared->ownedManager.get(), std::memory_order_release);
        } catch (const std::exception&) {
            // No manager: the initialisation answers DL_E_FAIL.
        }
    }
    // The initialising thread takes the mutex in Setup, so Setup runs after the lock above.
    shared->started->Set();

    cpMessage message;
    while (loop->GetMessage(&message)) {
        if (gRunFlag.load() == 0) {
            break;  // a message fetched after the stop began is dropped
        }
        loop->Dispatch(message);
    }
    WriteLogLine("[TessloadLib] Exit GetMessage Loop");

    CJobManager* manager = shared->manager.load();
    if (manager != nullptr) {
        manager->Shutdown();
        // Let go of the worker's reference inside the lock; the manager keeps the mutex alive.
        cpCMutex* raw = mutex.Get();
        cpCLock lock(raw);
        mutex.Reset();
    }
    mutex.Reset();
    loop.reset();
    cpCMessageLoop::ReleaseCurrent();

    std::unique_ptr<CJobManager> orphan;
    bool stranded = false;
    {
        std::lock_guard lock(shared->endMutex);
        shared->finished = true;
        stranded = shared->stranded;
        if (stranded) {
            // Nobody waits for this worker any more: what it used is freed here, now unused.
            shared->manager.store(nullptr);
            orphan = std::move(shared->ownedManager);
        }
        shared->endChanged.notify_all();
    }
    if (stranded) {
        orphan.reset();
        gStrandedWorkers.fetch_sub(1);
    }
}

CDownloadLibThread::~CDownloadLibThread() {
    // Once finalisation returns the host may free what its window and callback use: nothing of
    // this initialisation reaches them after this, and a call under way is waited for.
    if (!gate_->Close(gStopWaitMs.load())) {
        WriteLogLine("[TessloadLib] Notification still running at Finalize");
    }
    gRunFlag.store(0);
    {
        std::lock_guard lock(shared_->loopMutex);
        shared_->quitRequested = true;
        if (auto loop = shared_->loop.lock()) {
            loop->PostQuit(0);
        }
    }
    if (!thread_.joinable()) {
        return;
    }
    // A finalisation from the worker itself (a host callback) cannot wait for the worker.
    const bool onWorker = std::this_thread::get_id() == thread_.get_id();
    bool ended = false;
    {
        std::unique_lock lock(shared_->endMutex);
        if (!onWorker) {
            ended =
                shared_->endChanged.wait_for(lock, std::chrono::milliseconds(gStopWaitMs.load()),
                                             [this] { return shared_->finished; });
        }
        if (!ended) {
            shared_->stranded = true;
            gStrandedWorkers.fetch_add(1);
        }
    }
    if (!ended) {
        // Never killed: it may hold the library mutex. It frees its job manager when it ends.
        WriteLogLine("[TessloadLib] Force TerminateThread");
        thread_.detach();
        WriteLogLine("[TessloadLib] Destroy JobManager");
        return;
    }
    thread_.join();
    WriteLogLine("[TessloadLib] Destroy JobManager");
    shared_->manager.store(nullptr);
    shared_->ownedManager.reset();
}

CDownloadLibThread* CDownloadLibThread::Instance() {
    return gInstance.load(std::memory_order_acquire);
}

void CDownloadLibThread::SetInstance(std::unique_ptr<CDownloadLibThread> thread) {
    gInstance.store(thread.get(), std::memory_order_release);
    gInstanceOwner = std::move(thread);
}

std::unique_ptr<CDownloadLibThread> CDownloadLibThread::TakeInstance() {
    gInstance.store(nullptr, std::memory_order_release);
    return std::move(gInstanceOwner);
}

int CDownloadLibThread::StrandedWorkers() {
    return gStrandedWorkers.load();
}

void CDownloadLibThread::SetWaitsForTests(uint32_t startWaitMs, uint32_t stopWaitMs) {
    gStartWaitMs.store(startWaitMs);
    gStopWaitMs.store(stopWaitMs);
}

uint32_t CDownloadLibThread::StartWaitMs() {
    return gStartWaitMs.load();
}

void CDownloadLibThread::SetWorkerStartHookForTests(std::function<void()> hook) {
    std::lock_guard lock(gHookMutex);
    gStartHook = std::move(hook);
}
