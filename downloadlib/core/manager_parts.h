// The parts the job manager owns besides its jobs, and where it gets them: the engine and direct
// downloaders, the data download (the host's file list) and the content-length checker. Each
// module that provides a part installs its factory at start-up; a part without a factory does
// not exist, and the manager's operations that need it answer DL_E_FAIL.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "core/event_listeners.h"
#include "core/job_downloader.h"
#include "downloadlib.h"
#include "foundation/mutex.h"
#include "foundation/object.h"

// The data download, as the job manager drives it.
class IDataDownload {
  public:
    virtual ~IDataDownload() = default;
    // Fetches the URL into memory; the outcome arrives through the listener.
    virtual int32_t Start(const char* url) = 0;
    // DL_E_FAIL until data of a size above 0 has arrived.
    virtual int32_t Size(int64_t* size) = 0;
    // DL_E_FAIL unless the buffer is there and its size equals the data's exactly.
    virtual int32_t Copy(const DataBuffer* buffer) = 0;
    // Start, refusing an answer longer than limit bytes at its head.
    virtual int32_t StartWithin(const char* url, int64_t limit) {
        (void)limit;
        return Start(url);
    }
    // The HTTP status of the last download's final answer; DL_E_FAIL when none arrived.
    virtual int32_t Status(int32_t* status) {
        (void)status;
        return DL_E_FAIL;
    }
};

// The content-length check, as the job manager drives it.
class IContentLengthCheck {
  public:
    virtual ~IContentLengthCheck() = default;
    virtual int32_t Add(const char* url) = 0;
    // The outcome arrives through the listener (at once when nothing was added).
    virtual int32_t Start() = 0;
    // The sum of the sizes learnt so far, over every check made.
    virtual int64_t Total() const = 0;
};

struct CJobManagerFactories {
    using Downloader = std::function<std::unique_ptr<CJobDownloader>(
        IJobDownloadEventListener* listener, vmSmartPtr<cpCMutex> mutex)>;
    using DataDownload = std::function<std::unique_ptr<IDataDownload>(
        IDataDownloadSessionEventListener* listener, vmSmartPtr<cpCMutex> mutex)>;
    using ContentLengthCheck = std::function<std::unique_ptr<IContentLengthCheck>(
        IContentLengthCheckerEventListener* listener, vmSmartPtr<cpCMutex> mutex)>;

    Downloader engineDownloader;
    Downloader directDownloader;
    DataDownload dataDownload;
    ContentLengthCheck contentLengthCheck;
};

// The factories the modules install, at start-up.
void SetDefaultManagerFactories(const CJobManagerFactories& factories);
// Tests: while set, these are used instead of the defaults (an empty one means "none").
void SetManagerFactoriesForTests(std::optional<CJobManagerFactories> factories);
// What a job manager being set up uses.
CJobManagerFactories CurrentManagerFactories();

// The host's run-elevated choice of DownloadLib_InitializeEx, read when the engine is started.
// Kept as the byte the host gave: only 1 asks for elevation.
void SetRunElevated(uint8_t flag);
bool RunElevated();
