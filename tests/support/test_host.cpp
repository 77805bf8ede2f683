#include "support/test_host.h"

#include <chrono>
#include <fstream>

#include "core/manager_parts.h"
#include "core/registration.h"
#include "foundation/clock.h"
#include "foundation/log.h"
#include "support/library_worker.h"

namespace {
constexpr int64_t kTestEpochMs = 1'760'000'000'000;
}

TestHost::TestHost(Options options) : options_(options) {}

TestHost::~TestHost() {
    Finalize();
}

int32_t TestHost::Initialize() {
    if (options_.testClock && !cpTestClock::Installed()) {
        cpTestClock::Install(kTestEpochMs);
    }
    if (!options_.engine) {
        RegisterLibraryClasses();
        CJobManagerFactories factories = CurrentManagerFactories();
        factories.engineDownloader = nullptr;
        SetManagerFactoriesForTests(factories);
        factoriesSet_ = true;
    }
    const int32_t result = DownloadLib_Initialize(0, &TestHost::Callback, this);
    initialised_ = true;
    return result;
}

void TestHost::Finalize() {
    if (initialised_) {
        DownloadLib_Finalize();
        initialised_ = false;
    }
    if (factoriesSet_) {
        SetManagerFactoriesForTests(std::nullopt);
        factoriesSet_ = false;
    }
}

void TestHost::Callback(int32_t code, int32_t parameter, void* userData) {
    auto* self = static_cast<TestHost*>(userData);
    {
        std::lock_guard lock(self->mutex_);
        self->notes_.emplace_back(code, parameter);
        self->threads_.push_back(std::this_thread::get_id());
    }
    self->arrived_.notify_all();
}

bool TestHost::WaitFor(int32_t code, int count, int timeoutMs) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        int n = 0;
        for (const auto& note : notes_) {
            n += note.first == code ? 1 : 0;
        }
        return n >= count;
    });
}

bool TestHost::StepUntil(const std::function<bool()>& pred, int64_t maxMs) {
    for (int64_t stepped = 0; stepped <= maxMs; stepped += 100) {
        if (pred()) {
            return true;
        }
        LibraryWorker::StepClock(100);
    }
    return pred();
}

int TestHost::Count(int32_t code) const {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& note : notes_) {
        n += note.first == code ? 1 : 0;
    }
    return n;
}

std::vector<std::pair<int32_t, int32_t>> TestHost::Notifications() const {
    std::lock_guard lock(mutex_);
    return notes_;
}

std::vector<int32_t> TestHost::Codes() const {
    std::vector<int32_t> codes;
    for (const auto& note : Notifications()) {
        codes.push_back(note.first);
    }
    return codes;
}

void TestHost::Clear() {
    std::lock_guard lock(mutex_);
    notes_.clear();
    threads_.clear();
}

JobHandle TestHost::CreateJob(const char* serviceId) {
    JobHandle job = 0;
    DownloadLib_CreateJob(&job, "QK", serviceId);
    return job;
}

std::vector<int32_t> TestHost::PopEvents(JobHandle job) {
    std::vector<int32_t> codes;
    for (;;) {
        int32_t length = 0;
        DownloadLib_GetJobEventTextLength(job, &length);
        std::string text(length > 0 ? static_cast<size_t>(length) : 1, '\0');
        JobEvent event{0, text.data()};
        DownloadLib_PopJobEvent(job, &event);
        if (event.code == DL_OK) {
            return codes;
        }
        codes.push_back(event.code);
    }
}

std::vector<std::string> TestHost::PopFileMessages(JobHandle job) {
    std::vector<std::string> texts;
    for (;;) {
        JobFileMessage message{};
        DownloadLib_PopJobFileMessage(job, &message);
        if (message.sequence == 0) {
            return texts;
        }
        texts.emplace_back(message.text);
    }
}

std::vector<std::string> TestHost::LogMessages() {
    std::vector<std::string> messages;
    std::ifstream file(LogFilePath());
    std::string line;
    while (std::getline(file, line)) {
        const size_t end = line.find("] ");
        messages.push_back(end == std::string::npos ? line : line.substr(end + 2));
    }
    return messages;
}

bool TestHost::LogContains(const std::string& message) {
    for (const std::string& line : LogMessages()) {
        if (line == message) {
            return true;
        }
    }
    return false;
}

bool TestHost::AllFromOtherThreads(int32_t code) const {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < notes_.size(); ++i) {
        if (notes_[i].first == code && threads_[i] == std::this_thread::get_id()) {
            return false;
        }
    }
    return true;
}
