// The direct download's size check: learns the size of every job file the host did not size,
// at most five at a time, and checks that each fits on its drive.
//
// Runs on the worker thread inside the library mutex. Checker and sessions are counted objects
// that hold themselves across their callbacks, so a listener may let them go from inside one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/job.h"
#include "direct/platform_connection.h"
#include "foundation/object.h"
#include "http/http_client_layer.h"

struct CFileSizeCheckResult {
    int64_t totalBytes = 0;
    int64_t presentBytes = 0;
    int32_t fileCount = 0;
};

// What the downloader hears from a checker; context is the value given at creation.
class ICheckerEventListener {
  public:
    virtual void OnSizeCheckComplete(uintptr_t context, const CFileSizeCheckResult& result) = 0;
    // code: JOB_EVENT_DISK_FULL or JOB_EVENT_FAILED; text: the file's URL text.
    virtual void OnSizeCheckFailed(uintptr_t context, int32_t code, const char* text) = 0;

  protected:
    ~ICheckerEventListener() = default;
};

class CPlatformFileSizeCheckSession;

class IPlatformFileSizeCheckSessionEventListener {
  public:
    virtual void OnItemDone(CPlatformFileSizeCheckSession* session) = 0;
    virtual void OnItemFailed(CPlatformFileSizeCheckSession* session, int32_t code,
                              const char* text) = 0;

  protected:
    ~IPlatformFileSizeCheckSessionEventListener() = default;
};

// The check of one file: a GET whose head tells the size, three attempts per URL alternative,
// redirects counted as attempts.
class CPlatformFileSizeCheckSession : public vmTObject<vmIUnknown>,
                                      public nwIHttpClientExEventListener {
  public:
    static constexpr uint32_t kAttemptsPerAlternative = 3;
    static constexpr size_t kMaxFailureText = 1023;

    CPlatformFileSizeCheckSession(IPlatformFileSizeCheckSessionEventListener* listener,
                                  CJobFile* item);
    ~CPlatformFileSizeCheckSession() override;

    // Starts the next attempt, moving to the next alternative after three.
    void Attempt();
    // Closes the connection; the listener hears nothing more.
    void Detach();
    CJobFile* Item() const { return item_; }

    void OnResponseHeader(uintptr_t context) override;
    int32_t OnResponseData(uintptr_t context, const uint8_t* data, uint32_t count) override;
    void OnClosed(uintptr_t context) override;
    void OnConnectTimeout(uintptr_t context) override;
    void OnIdleTimeout(uintptr_t context) override;

  private:
    // Logs why (the reason and the URL) and reports the code.
    void Fail(int32_t code, const char* reason);
    void CloseContext();

    CPlatformConnection connection_;
    CJobFile* item_;  // owned by the checker
    uint32_t attempts_ = 0;
    size_t alternative_ = 0;
    std::string currentUrl_;
    std::string redirectUrl_;
    // Why the latest attempt failed, for the log when the check gives up.
    std::string lastFailure_ = "Closed";
    bool timedOut_ = false;
    std::vector<std::string> alternatives_;
    IPlatformFileSizeCheckSessionEventListener* listener_;
};

class CPlatformFileSizeChecker : public vmTObject<vmIUnknown>,
                                 public IPlatformFileSizeCheckSessionEventListener {
  public:
    static constexpr size_t kMaxSessions = 5;

    CPlatformFileSizeChecker(ICheckerEventListener* listener, uintptr_t context);
    ~CPlatformFileSizeChecker() override;

    // Checks the files of size -1; the others count as known. The outcome reaches the listener,
    // at once when there is nothing to check.
    void Start(const std::vector<std::unique_ptr<CJobFile>>& files);
    // Stops every check; the listener hears nothing more.
    void Detach();
    // The size learnt for the file of that index, or -1.
    int64_t LearnedSize(int32_t index) const;
    size_t ActiveSessions() const { return active_.size(); }

    void OnItemDone(CPlatformFileSizeCheckSession* session) override;
    void OnItemFailed(CPlatformFileSizeCheckSession* session, int32_t code,
                      const char* text) override;

  private:
    void StartItems();
    void Complete();
    void Remove(CPlatformFileSizeCheckSession* session);

    uint32_t done_ = 0;
    std::vector<CJobFile> pending_;  // fixed once started: sessions point into it
    size_t next_ = 0;
    std::vector<vmSmartPtr<CPlatformFileSizeCheckSession>> active_;
    int64_t knownTotal_ = 0;
    int64_t knownPresent_ = 0;
    int32_t knownCount_ = 0;
    bool completed_ = false;
    ICheckerEventListener* listener_;
    uintptr_t context_;
};
