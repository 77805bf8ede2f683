// Fixtures of the core tests: a job downloader, data download and content-length check of the
// test's own that the job manager is given instead of the real ones, a record of what the host
// was notified of, and the library's log lines.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/job_downloader.h"
#include "core/manager_parts.h"
#include "downloadlib.h"

// Records what the manager asks of it; the test drives the reports.
class CTestDownloader : public CJobDownloader {
  public:
    CTestDownloader(IJobDownloadEventListener* listener, vmSmartPtr<cpCMutex> mutex,
                    CTestDownloader** slot);
    ~CTestDownloader() override;

    int32_t BeginJob(CJob* job) override;
    void EndJob(CJob* job) override;
    void TickJob(CJob* job) override;
    int32_t ReplyResume(CJob* job, uint8_t answer1, uint8_t answer2) override;
    void SetServiceId(const char* serviceId) override { serviceId_ = serviceId; }

    int32_t beginResult = DL_OK;
    std::vector<JobHandle> begun;
    std::vector<JobHandle> ended;
    std::vector<JobHandle> ticked;
    std::vector<std::pair<uint8_t, uint8_t>> replies;
    std::string serviceId_;

  private:
    CTestDownloader** slot_;  // cleared when destroyed, so the test sees it go
};

class CTestDataDownload : public IDataDownload {
  public:
    explicit CTestDataDownload(IDataDownloadSessionEventListener* listener) : listener(listener) {}
    int32_t Start(const char* url) override;
    int32_t Size(int64_t* size) override;
    int32_t Copy(const DataBuffer* buffer) override;

    IDataDownloadSessionEventListener* listener;
    std::vector<std::string> urls;
    std::string data;  // what "arrived"
};

class CTestContentLengthCheck : public IContentLengthCheck {
  public:
    explicit CTestContentLengthCheck(IContentLengthCheckerEventListener* listener)
        : listener(listener) {}
    int32_t Add(const char* url) override;
    int32_t Start() override;
    int64_t Total() const override { return total; }

    IContentLengthCheckerEventListener* listener;
    std::vector<std::string> urls;
    int starts = 0;
    int64_t total = 0;
};

// What the factories made for the running library (null before, and after it went).
struct TestParts {
    static inline CTestDownloader* engine = nullptr;
    static inline CTestDownloader* direct = nullptr;
    static inline CTestDataDownload* data = nullptr;
    static inline CTestContentLengthCheck* check = nullptr;
};

struct TestPartsWanted {
    bool engine = false;
    bool direct = true;
    bool data = false;
    bool check = false;
};
void InstallTestParts(TestPartsWanted wanted);

// Every notification as the host received it, in order, window and callback apart.
struct Notification {
    char via;  // 'w' window, 'c' callback
    int32_t code;
    int32_t parameter;
    std::thread::id thread;
    bool operator==(const Notification& o) const {
        return via == o.via && code == o.code && parameter == o.parameter;
    }
};

class NotificationRecord {
  public:
    // Registers a host window whose procedure records (and only records).
    uint32_t RegisterWindow();
    void UnregisterWindow();
    static void Callback(int32_t code, int32_t parameter, void* userData);

    std::vector<Notification> Take();
    // The codes, in order, of one channel (Take not needed).
    std::vector<int32_t> Codes(char via);

  private:
    static void WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam, void* context);
    void Add(Notification n);

    std::mutex mutex_;
    std::vector<Notification> notes_;
    uint32_t window_ = 0;
};

// The messages of the log file, without their time stamps.
std::vector<std::string> LogMessages();
bool LogContains(const std::string& message);

// Installs the test clock and the test parts; finalises the library at the end.
class CoreTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Initialises with a recording window and callback.
    void InitialiseRecorded();
    // A job with one file of the given size in a folder below the test root.
    JobHandle JobWithFiles(int count = 1);
    std::string Folder(const std::string& name) const;

    NotificationRecord record_;  // also the user data of InitialiseRecorded
};
