// The direct download of one job's files: one after another, one connection at a time, each
// file written into its folder from where its local copy ends (a stopped download resumes),
// three attempts per URL alternative, redirects followed up to a bound, and the receive rate
// held to the job's speed mode by the connection's own quota.
//
// Runs on the worker thread inside the library mutex. The session is a counted object that
// holds itself across its callbacks, so its listener may let it go from inside one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "direct/platform_connection.h"
#include "foundation/object.h"
#include "foundation/platform/file.h"
#include "http/http_client_layer.h"
#include "http/redirect.h"

// The session's copy of a job file.
struct CPlatformFileRecord {
    int32_t index = 0;
    std::string url;  // the URL text as added: every alternative
    std::string folder;
    std::string name;
    std::string serviceId;
    int64_t expectedSize = -1;  // from the host or the size check; -1 when unknown
    // The size check learnt expectedSize from the server: a file of another size is never done
    // (a size the host gave may be older than a changed file, which is then fetched anew).
    bool sizeLearnt = false;
    int64_t size = 0;       // the whole file's size per the latest 200 or 206
    int64_t received = 0;   // bytes received for it in this session
    int64_t position = 0;   // the local file's size when it was last opened
    int64_t sinceOpen = 0;  // bytes received since it was last opened

    std::string FullPath() const { return folder + name; }
    // What its local file holds, counting received bytes not yet written.
    int64_t PresentBytes() const { return position + sinceOpen; }
};

// What the downloader hears from its session; context is the value given with the listener.
class IPlatFormSessionEventListener {
  public:
    virtual void OnAllFilesDone(uintptr_t context) = 0;
    // The session gave up (file not creatable, alternatives used up); text: the current URL.
    virtual void OnSessionFailed(uintptr_t context, const char* text) = 0;
    virtual void OnFileDone(uintptr_t context, const CPlatformFileRecord& file) = 0;
    virtual void OnDataWritten(uintptr_t context) = 0;
    virtual void OnFileOpened(const char* path, uintptr_t context) = 0;
    // code: JOB_EVENT_DISK_FULL when a write failed.
    virtual void OnSessionEvent(uintptr_t context, int32_t code, const char* text) = 0;

  protected:
    ~IPlatFormSessionEventListener() = default;
};

class CPlatformSession : public vmTObject<vmIUnknown>, public nwIHttpClientExEventListener {
  public:
    static constexpr uint32_t kFastLimit = 104857600;  // 100 MiB per second
    static constexpr uint32_t kLimitedLimit = 393216;  // 384 KiB per second
    static constexpr uint32_t kAttemptsPerAlternative = 3;
    // Received bytes are written in pieces at least this large.
    static constexpr size_t kWriteChunk = 256 * 1024;
    static constexpr size_t kReportServiceIdField = 33;
    static constexpr size_t kReportUrlField = 256;

    CPlatformSession() = default;
    ~CPlatformSession() override;

    void SetListener(IPlatFormSessionEventListener* listener, uintptr_t context);
    // Non-zero fast, 0 limited.
    void SetSpeedMode(int32_t mode) { speedMode_ = mode; }
    // Works through the records that have a URL, a folder and a name, in order.
    void Start(const std::vector<CPlatformFileRecord>& files);
    // Writes what was received, closes the file and the connection; the listener hears nothing
    // more. A later session resumes from what is on disk.
    void Detach();

    // The bytes of the job's files counted as present, for progress.
    int64_t SessionBytes() const { return sessionBytes_; }
    const CPlatformFileRecord* CurrentFile() const;
    // The file progress shows: the current file, or once every file is done the last one.
    const CPlatformFileRecord* ShownFile() const;
    // Stopped for good: given up, or a write failed. The job stays with the downloader until
    // the host stops it; a new session then resumes from what is on disk.
    bool IsStopped() const { return stopped_; }
    // Fills one 298-byte report record per file that received bytes, when records is given;
    // always returns their number.
    uint32_t ReportRecords(uint8_t* records) const;

    void OnResponseHeader(uintptr_t context) override;
    int32_t OnResponseData(uintptr_t context, const uint8_t* data, uint32_t count) override;
    void OnResponseComplete(uintptr_t context) override;
    void OnClosed(uintptr_t context) override;
    void OnConnectTimeout(uintptr_t context) override;
    void OnIdleTimeout(uintptr_t context) override;

  private:
    void Request(bool reset);
    bool OpenCurrentFile();
    // Writes the buffered bytes; false after a failed write (the session is then held).
    bool Flush();
    bool WriteOut(const uint8_t* data, size_t length);
    bool FlushAndCloseFile();
    // Cuts the local file back to nothing: what it holds cannot be continued.
    bool RestartFile();
    void OnWriteFailed(size_t unwritten);
    void ResponseComplete();
    void FileDone();
    // Closes the connection and the file, then the next attempt.
    void CloseAndRetry();
    // After a failed attempt: the next one, the next alternative, or giving up.
    void NextAttempt();
    bool NextAlternative();
    void SelectFile(size_t index);
    void Fail(const std::string& logLine);
    void CloseContext();
    bool Live() const { return listener_ != nullptr && !stopped_; }
    CPlatformFileRecord& File() { return files_[current_]; }

    size_t current_ = 0;  // index into files_; files_.size() when none
    CPlatformConnection connection_;
    uint32_t attempts_ = 0;
    int32_t speedMode_ = 1;
    int64_t sessionBytes_ = 0;
    int64_t completedBytes_ = 0;  // the local sizes of the files done
    cpCFile file_;
    size_t alternative_ = 0;
    std::string currentUrl_;
    std::string path_;
    std::vector<CPlatformFileRecord> files_;
    std::vector<std::string> alternatives_;
    CRedirectChain redirects_;
    IPlatFormSessionEventListener* listener_ = nullptr;
    uintptr_t context_ = 0;

    // The response being received: whether its body goes into the file, and how much of it
    // belongs to it (-1: up to the close).
    bool receiving_ = false;
    int64_t bodyLeft_ = -1;
    std::vector<uint8_t> buffer_;
    bool stopped_ = false;
};

// The 298-byte statistics record of one file: service identifier (33 bytes, NUL-terminated),
// URL text (256 bytes, NUL-terminated, cut to 255 bytes at a character boundary), int64
// little-endian byte count, and 1.
void BuildReportRecord(const std::string& serviceId, const std::string& url, int64_t bytes,
                       uint8_t* record);
