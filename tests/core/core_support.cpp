#include "core_support.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>

#include "foundation/clock.h"
#include "foundation/log.h"

CTestDownloader::CTestDownloader(IJobDownloadEventListener* listener, vmSmartPtr<cpCMutex> mutex,
                                 CTestDownloader** slot)
    : CJobDownloader(listener, std::move(mutex)), slot_(slot) {
    *slot_ = this;
}

CTestDownloader::~CTestDownloader() {
    *slot_ = nullptr;
}

int32_t CTestDownloader::BeginJob(CJob* job) {
    begun.push_back(job->Handle());
    return beginResult;
}

void CTestDownloader::EndJob(CJob* job) {
    ended.push_back(job->Handle());
}

void CTestDownloader::TickJob(CJob* job) {
    ticked.push_back(job->Handle());
}

int32_t CTestDownloader::ReplyResume(CJob*, uint8_t answer1, uint8_t answer2) {
    replies.emplace_back(answer1, answer2);
    return DL_OK;
}

int32_t CTestDataDownload::Start(const char* url) {
    urls.emplace_back(url);
    return DL_OK;
}

int32_t CTestDataDownload::Size(int64_t* size) {
    if (data.empty()) {
        return DL_E_FAIL;
    }
    *size = static_cast<int64_t>(data.size());
    return DL_OK;
}

int32_t CTestDataDownload::Copy(const DataBuffer* buffer) {
    if (buffer->data == nullptr || buffer->size != static_cast<int64_t>(data.size())) {
        return DL_E_FAIL;
    }
    std::memcpy(buffer->data, data.data(), data.size());
    return DL_OK;
}

int32_t CTestContentLengthCheck::Add(const char* url) {
    urls.emplace_back(url);
    return DL_OK;
}

int32_t CTestContentLengthCheck::Start() {
    ++starts;
    return DL_OK;
}

void InstallTestParts(TestPartsWanted wanted) {
    CJobManagerFactories factories;
    if (wanted.engine) {
        factories.engineDownloader = [](IJobDownloadEventListener* listener,
                                        vmSmartPtr<cpCMutex> mutex) {
            return std::make_unique<CTestDownloader>(listener, std::move(mutex),
                                                     &TestParts::engine);
        };
    }
    if (wanted.direct) {
        factories.directDownloader = [](IJobDownloadEventListener* listener,
                                        vmSmartPtr<cpCMutex> mutex) {
            return std::make_unique<CTestDownloader>(listener, std::move(mutex),
                                                     &TestParts::direct);
        };
    }
    if (wanted.data) {
        factories.dataDownload = [](IDataDownloadSessionEventListener* listener,
                                    vmSmartPtr<cpCMutex>) {
            auto data = std::make_unique<CTestDataDownload>(listener);
            TestParts::data = data.get();
            return data;
        };
    }
    if (wanted.check) {
        factories.contentLengthCheck = [](IContentLengthCheckerEventListener* listener,
                                          vmSmartPtr<cpCMutex>) {
            auto check = std::make_unique<CTestContentLengthCheck>(listener);
            TestParts::check = check.get();
            return check;
        };
    }
    SetManagerFactoriesForTests(factories);
}

uint32_t NotificationRecord::RegisterWindow() {
    window_ = DownloadLib_RegisterWindow(&NotificationRecord::WindowProc, this);
    return window_;
}

void NotificationRecord::UnregisterWindow() {
    DownloadLib_UnregisterWindow(window_);
    window_ = 0;
}

void NotificationRecord::WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam,
                                    void* context) {
    if (message == WM_DOWNLOADLIB) {
        static_cast<NotificationRecord*>(context)->Add({'w', static_cast<int32_t>(wParam),
                                                        static_cast<int32_t>(lParam),
                                                        std::this_thread::get_id()});
    }
}

void NotificationRecord::Callback(int32_t code, int32_t parameter, void* userData) {
    static_cast<NotificationRecord*>(userData)->Add(
        {'c', code, parameter, std::this_thread::get_id()});
}

void NotificationRecord::Add(Notification n) {
    std::lock_guard lock(mutex_);
    notes_.push_back(n);
}

std::vector<Notification> NotificationRecord::Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(notes_, {});
}

std::vector<int32_t> NotificationRecord::Codes(char via) {
    std::lock_guard lock(mutex_);
    std::vector<int32_t> codes;
    for (const Notification& n : notes_) {
        if (n.via == via) {
            codes.push_back(n.code);
        }
    }
    return codes;
}

std::vector<std::string> LogMessages() {
    std::vector<std::string> messages;
    std::ifstream file(LogFilePath());
    std::string line;
    while (std::getline(file, line)) {
        const size_t end = line.find("] ");
        messages.push_back(end == std::string::npos ? line : line.substr(end + 2));
    }
    return messages;
}

bool LogContains(const std::string& message) {
    for (const std::string& line : LogMessages()) {
        if (line == message) {
            return true;
        }
    }
    return false;
}

void CoreTest::SetUp() {
    ResetLog();  // the log folder exists, so lines written before any downloader are kept
    cpTestClock::Install(1'760'000'000'000);
    InstallTestParts({});
}

void CoreTest::TearDown() {
    DownloadLib_Finalize();
    record_.UnregisterWindow();
    SetManagerFactoriesForTests(std::nullopt);
    cpTestClock::Uninstall();
}

void CoreTest::InitialiseRecorded() {
    ASSERT_EQ(
        DownloadLib_Initialize(record_.RegisterWindow(), &NotificationRecord::Callback, &record_),
        DL_OK);
}

std::string CoreTest::Folder(const std::string& name) const {
    return std::string(std::getenv("TEV_TEST_ROOT")) + "/" + name;
}

JobHandle CoreTest::JobWithFiles(int count) {
    JobHandle job = 0;
    EXPECT_EQ(DownloadLib_CreateJob(&job, "QK", "svc"), DL_OK);
    for (int i = 0; i < count; ++i) {
        const std::string url = "http://127.0.0.1/files/part" + std::to_string(i) + ".bin";
        EXPECT_EQ(
            DownloadLib_AddJobFile(job, url.c_str(), Folder("dl").c_str(), nullptr, 100, 0, 0),
            DL_OK);
    }
    return job;
}
