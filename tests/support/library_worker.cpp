#include "support/library_worker.h"

#include <memory>

#include "core/download_lib_thread.h"
#include "core/job_manager.h"
#include "foundation/clock.h"
#include "foundation/platform/event.h"
#include "foundation/timer.h"

namespace LibraryWorker {

CJobManager* Manager() {
    CDownloadLibThread* thread = CDownloadLibThread::Instance();
    return thread != nullptr ? thread->Manager() : nullptr;
}

bool Post(std::function<void()> fn) {
    CJobManager* manager = Manager();
    if (manager == nullptr) {
        return false;
    }
    manager->PostTask(std::move(fn));
    return true;
}

bool Run(const std::function<void()>& fn, int timeoutMs) {
    auto done = std::make_shared<cpCEvent>();
    if (!Post([fn, done] {
            fn();
            done->Set();
        })) {
        return false;
    }
    return done->Wait(static_cast<uint32_t>(timeoutMs));
}

void StepClock(int64_t ms) {
    for (int64_t stepped = 0; stepped < ms; stepped += 100) {
        Run([] {
            cpTestClock::Advance(100);
            if (cpCTimerManager* manager = cpCTimerManager::Instance()) {
                manager->Tick();
            }
        });
    }
}

}  // namespace LibraryWorker
