// A host of the flat interface for end-to-end tests: initialises the library with a recording
// callback, waits for notifications, and reads the log back.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "downloadlib.h"

class TestHost {
  public:
    struct Options {
        // Library timers (ticks, quotas, time-outs) move only when the test steps the clock.
        bool testClock = false;
        // The engine downloader as the library sets it up. Without it (the default) every job
        // goes straight to the direct downloader, as the direct-path tests want.
        bool engine = false;
    };

    TestHost() : TestHost(Options{}) {}
    explicit TestHost(Options options);
    // Finalises the library if this host initialised it.
    ~TestHost();
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    int32_t Initialize();
    void Finalize();

    // Waits (real time) until code has arrived count times in all.
    bool WaitFor(int32_t code, int count = 1, int timeoutMs = 20000);
    // With the test clock: steps it 100 ms at a time until pred holds or maxMs pass.
    bool StepUntil(const std::function<bool()>& pred, int64_t maxMs = 120000);
    int Count(int32_t code) const;
    std::vector<std::pair<int32_t, int32_t>> Notifications() const;
    std::vector<int32_t> Codes() const;
    // Whether every notification of code so far came on a thread other than the caller's (the
    // library's worker, when the test thread asks).
    bool AllFromOtherThreads(int32_t code) const;
    void Clear();

    // Convenience for the common job flow.
    JobHandle CreateJob(const char* serviceId = "svc");
    std::vector<int32_t> PopEvents(JobHandle job);
    std::vector<std::string> PopFileMessages(JobHandle job);

    // The log's messages, without their time stamps.
    static std::vector<std::string> LogMessages();
    static bool LogContains(const std::string& message);

  private:
    static void Callback(int32_t code, int32_t parameter, void* userData);

    Options options_;
    bool initialised_ = false;
    bool factoriesSet_ = false;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::pair<int32_t, int32_t>> notes_;
    std::vector<std::thread::id> threads_;  // of each note
};
