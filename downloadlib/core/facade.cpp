// The flat interface: every DownloadLib_* function. Each checks that the library is initialised
// and hands the call to the job manager on the library's thread object. No exception leaves.
#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "core/download_lib_thread.h"
#include "core/job_manager.h"
#include "downloadlib.h"
#include "foundation/log.h"
#include "foundation/platform/window.h"

namespace {

std::atomic<void*> gUserData{nullptr};

// Host windows registered through this interface: only these may be unregistered by the host.
std::mutex gHostWindowsMutex;
std::unordered_set<uint32_t> gHostWindows;

template <class F>
int32_t Guarded(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return DL_E_FAIL;
    }
}

// Runs body with the job manager; DL_E_FAIL (and the given diagnostics) when the library is not
// initialised or its thread has no manager.
template <class F>
int32_t WithManager(F&& body, const char* notInitialised = nullptr,
                    const char* noManager = nullptr) noexcept {
    return Guarded([&]() -> int32_t {
        CDownloadLibThread* thread = CDownloadLibThread::Instance();
        if (thread == nullptr) {
            if (notInitialised != nullptr) {
                WriteDiagnosticLine(notInitialised);
            }
            return DL_E_FAIL;
        }
        CJobManager* manager = thread->Manager();
        if (manager == nullptr) {
            if (noManager != nullptr) {
                WriteDiagnosticLine(noManager);
            }
            return DL_E_FAIL;
        }
        return body(*manager);
    });
}

// The same for the functions that name a job: handle 0 is refused before the manager is asked.
template <class F>
int32_t WithJob(JobHandle job, F&& body) noexcept {
    return WithManager([&](CJobManager& manager) -> int32_t {
        if (job == 0) {
            return DL_E_FAIL;
        }
        return body(manager);
    });
}

}  // namespace

extern "C" {

uint32_t DownloadLib_RegisterWindow(DownloadLibWindowProc proc, void* context) {
    if (proc == nullptr) {
        return 0;
    }
    try {
        const uint32_t window = cpRegisterHostWindow(
            [proc, context](uint32_t message, uintptr_t wParam, intptr_t lParam) {
                proc(message, wParam, lParam, context);
            });
        if (window != 0) {
            std::lock_guard lock(gHostWindowsMutex);
            gHostWindows.insert(window);
        }
        return window;
    } catch (...) {
        return 0;
    }
}

void DownloadLib_UnregisterWindow(uint32_t window) {
    try {
        {
            std::lock_guard lock(gHostWindowsMutex);
            if (gHostWindows.erase(window) == 0) {
                return;
            }
        }
        cpDestroyWindow(window);
    } catch (...) {
    }
}

int32_t DownloadLib_InitializeEx(uint32_t notifyWindow, DownloadLibCallback callback,
                                 void* userData, uint8_t runElevated) {
    return Guarded([&]() -> int32_t {
        // The thread object's presence is what "initialised" means.
        if (CDownloadLibThread::Instance() != nullptr) {
            return DL_E_INITIALIZED;
        }
        int32_t result = DL_E_FAIL;
        // A worker left running by an earlier finalisation may still use the platform layer.
        if (CDownloadLibThread::StrandedWorkers() == 0) {
            CDownloadLibThread::SetInstance(std::make_unique<CDownloadLibThread>());
            CDownloadLibThread* thread = CDownloadLibThread::Instance();
            // Shared with the worker: a worker that signals after the wait gave up finds it still.
            auto started = std::make_shared<cpCEvent>();
            if (thread->Start(started) && started->Wait(CDownloadLibThread::StartWaitMs())) {
                result = thread->Setup(notifyWindow, callback, userData, runElevated);
            }
        }
        gUserData.store(userData);
        if (result == DL_OK) {
            WriteLogLine("[TessloadLib] Initialize");
        } else {
            WriteLogLineF("[TessloadLib] Initialize Failed : %d", result);
        }
        return result;
    });
}

int32_t DownloadLib_Initialize(uint32_t notifyWindow, DownloadLibCallback callback,
                               void* userData) {
    return DownloadLib_InitializeEx(notifyWindow, callback, userData, 1);
}

int32_t DownloadLib_Finalize(void) {
    try {
        WriteLogLine("[TessloadLib] Finalize Begin");
        // Cleared first: a host callback that calls in while the worker stops finds the library
        // finalised rather than half destroyed.
        std::unique_ptr<CDownloadLibThread> thread = CDownloadLibThread::TakeInstance();
        thread.reset();
        gUserData.store(nullptr);
        WriteLogLine("[TessloadLib] Finalize End");
    } catch (...) {
    }
    return DL_OK;
}

void* DownloadLib_GetUserData(void) {
    return gUserData.load();
}

int32_t DownloadLib_SetServiceId(const char* serviceId) {
    return WithManager([&](CJobManager& m) { return m.SetServiceId(serviceId); });
}

int32_t DownloadLib_CreateJob(JobHandle* job, const char* code, const char* serviceId) {
    return WithManager([&](CJobManager& m) { return m.CreateJob(job, code, serviceId); });
}

int32_t DownloadLib_SetJobEngineOption(JobHandle job) {
    return WithManager([&](CJobManager& m) { return m.SetEngineOption(job); });
}

int32_t DownloadLib_AddJobFileEx(JobHandle job, const char* url, const char* folder,
                                 const char* name, uint32_t sizeLow, uint32_t sizeHigh,
                                 int32_t option1, int32_t option2) {
    const auto size = static_cast<int64_t>((static_cast<uint64_t>(sizeHigh) << 32) | sizeLow);
    return WithJob(job, [&](CJobManager& m) {
        return m.AddFile(job, url, folder, name, size, option1, option2);
    });
}

int32_t DownloadLib_AddJobFile(JobHandle job, const char* url, const char* folder, const char* name,
                               uint32_t sizeLow, uint32_t sizeHigh, int32_t option1) {
    return DownloadLib_AddJobFileEx(job, url, folder, name, sizeLow, sizeHigh, option1, 0);
}

int32_t DownloadLib_StartJob(JobHandle job, uint8_t speedMode) {
    return WithJob(job, [&](CJobManager& m) { return m.StartJob(job, speedMode); });
}

int32_t DownloadLib_StopJob(JobHandle job) {
    return WithJob(job, [&](CJobManager& m) { return m.StopJob(job); });
}

int32_t DownloadLib_RemoveJob(JobHandle job) {
    return WithJob(job, [&](CJobManager& m) { return m.RemoveJob(job); });
}

int32_t DownloadLib_ReplyResume(JobHandle job, uint8_t resume, uint8_t applyToAll) {
    return WithManager([&](CJobManager& m) { return m.ReplyResume(job, resume, applyToAll); });
}

int32_t DownloadLib_GetJobSizeInfo(JobHandle job, JobSizeInfo* info) {
    return WithJob(job, [&](CJobManager& m) { return m.GetSizeInfo(job, info); });
}

int32_t DownloadLib_GetJobProgress(JobHandle job, JobProgress* progress) {
    return WithJob(job, [&](CJobManager& m) { return m.GetProgress(job, progress); });
}

int32_t DownloadLib_GetJobRemainingBytes(JobHandle job, int64_t* bytes) {
    return WithManager([&](CJobManager& m) { return m.GetRemainingBytes(job, bytes); });
}

int32_t DownloadLib_PopJobFileMessage(JobHandle job, JobFileMessage* message) {
    return WithJob(job, [&](CJobManager& m) { return m.PopFileMessage(job, message); });
}

int32_t DownloadLib_GetJobResult(JobHandle job, JobResult* result) {
    return WithJob(job, [&](CJobManager& m) { return m.GetResult(job, result); });
}

int32_t DownloadLib_GetJobEventTextLength(JobHandle job, int32_t* length) {
    return WithJob(job, [&](CJobManager& m) { return m.GetEventTextLength(job, length); });
}

int32_t DownloadLib_PopJobEvent(JobHandle job, JobEvent* event) {
    return WithJob(job, [&](CJobManager& m) { return m.PopEvent(job, event); });
}

int32_t DownloadLib_DownloadData(const char* url) {
    return WithManager([&](CJobManager& m) { return m.DownloadData(url); },
                       "[TessloadLib_D] 0x00A0", "[TessloadLib_D] 0x00A1");
}

int32_t DownloadLib_DownloadDataWithin(const char* url, int64_t maxBytes) {
    if (maxBytes <= 0) {
        return DL_E_SIZE;
    }
    return WithManager([&](CJobManager& m) { return m.DownloadData(url, maxBytes); },
                       "[TessloadLib_D] 0x00A0", "[TessloadLib_D] 0x00A1");
}

int32_t DownloadLib_GetDataStatus(int32_t* status) {
    return WithManager([&](CJobManager& m) { return m.GetDataStatus(status); });
}

int32_t DownloadLib_GetDataSize(int64_t* size) {
    return WithManager([&](CJobManager& m) { return m.GetDataSize(size); });
}

int32_t DownloadLib_GetData(const DataBuffer* buffer) {
    return WithManager([&](CJobManager& m) { return m.GetData(buffer); });
}

int32_t DownloadLib_AddContentLengthCheck(const char* url) {
    return WithManager([&](CJobManager& m) { return m.AddContentLengthCheck(url); },
                       "[TessloadLib_D] 0x00B1", "[TessloadLib_D] 0x00B2");
}

int32_t DownloadLib_StartContentLengthCheck(void) {
    return WithManager([&](CJobManager& m) { return m.StartContentLengthCheck(); },
                       "[TessloadLib_D] 0x0008", "[TessloadLib_D] 0x0007");
}

int32_t DownloadLib_GetTotalContentLength(int64_t* total) {
    return WithManager([&](CJobManager& m) { return m.GetTotalContentLength(total); });
}

}  // extern "C"
