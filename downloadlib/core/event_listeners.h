// What the job manager hears from the parts it owns: the job downloaders, the data download and
// the content-length checker. Listeners are borrowed, never owned.
#pragma once

#include <cstdint>

class CJob;

class IJobDownloadEventListener {
  public:
    virtual void OnEngineUpdateFile(const char* name, uint32_t value1, uint32_t value2) = 0;
    virtual void OnEngineUpdateProgress(uint32_t value1, uint32_t value2) = 0;
    virtual void OnEngineUpdated() = 0;
    virtual void OnEngineUpdateFailed() = 0;
    // The engine downloader gives up for good. It may call this from its own event handlers: the
    // listener must not destroy it before the call returns.
    virtual void OnEngineGiveUp() = 0;
    // The engine downloader gives one job up; it continues on the direct downloader.
    virtual void OnEngineGiveUpJob(CJob* job) = 0;
    // kind: kPathEngineFolder or kPathDownloadFolder.
    virtual void OnPathFailed(int32_t kind) = 0;
    virtual void OnEngineStateChanged(uint32_t value) = 0;

    static constexpr int32_t kPathEngineFolder = 1;
    static constexpr int32_t kPathDownloadFolder = 2;

  protected:
    ~IJobDownloadEventListener() = default;
};

class IDataDownloadSessionEventListener {
  public:
    virtual void OnDataDownloadCompleted(const uint8_t* data, int64_t size) = 0;
    // reason: 3 connect time-out, 4 unusable response, 5 idle time-out, 6 closed early,
    // 7 host unreachable.
    virtual void OnDataDownloadFailed(int32_t reason) = 0;
    // Once a second while the download runs.
    virtual void OnDataDownloadTick() = 0;

  protected:
    ~IDataDownloadSessionEventListener() = default;
};

class IContentLengthCheckerEventListener {
  public:
    virtual void OnContentLengthCheckDone(int64_t total) = 0;
    // A URL used up its attempts.
    virtual void OnContentLengthCheckFailed(const char* url) = 0;
    // A host was unreachable.
    virtual void OnContentLengthCheckHostUnreachable() = 0;
    virtual ~IContentLengthCheckerEventListener() = default;
};
