// The worker thread's life: finalising while jobs run, and a worker that will not stop in time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/download_lib_thread.h"
#include "core/job.h"
#include "core_support.h"
#include "foundation/platform/event.h"
#include "support/library_worker.h"

namespace {

class WorkerTest : public CoreTest {
  protected:
    void TearDown() override {
        CoreTest::TearDown();
        CDownloadLibThread::SetWaitsForTests(CDownloadLibThread::kStartWaitMs,
                                             CDownloadLibThread::kStopWaitMs);
    }
    static bool WaitForNoStrandedWorker() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (CDownloadLibThread::StrandedWorkers() != 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    // Whether the messages appear in the log in this order (others may come between).
    static bool InOrder(const std::vector<std::string>& wanted) {
        const std::vector<std::string> log = LogMessages();
        auto at = log.begin();
        for (const std::string& message : wanted) {
            at = std::find(at, log.end(), message);
            if (at == log.end()) {
                return false;
            }
        }
        return true;
    }
};

TEST_F(WorkerTest, FinaliseWhileAJobRunsEndsTheLoopThenDestroysTheJobs) {
    InitialiseRecorded();
    const JobHandle job = JobWithFiles(3);
    JobHandle idle = JobWithFiles(1);
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    LibraryWorker::StepClock(300);
    ASSERT_NE(TestParts::direct, nullptr);
    EXPECT_EQ(DownloadLib_Finalize(), DL_OK);
    EXPECT_EQ(TestParts::direct, nullptr);
    EXPECT_TRUE(InOrder({"[TessloadLib] Finalize Begin", "[TessloadLib] Exit GetMessage Loop",
                         "[TessloadLib] Destroy JobManager", "[TessloadLib] Finalize End"}));
    EXPECT_EQ(DownloadLib_GetJobProgress(job, nullptr), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_GetUserData(), nullptr);
    // A new library starts afresh; old handles name nothing there.
    InitialiseRecorded();
    JobProgress progress{};
    EXPECT_EQ(DownloadLib_GetJobProgress(idle, &progress), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_CreateJob(&idle, nullptr, nullptr), DL_OK);
    EXPECT_GT(idle, job);
}

TEST_F(WorkerTest, AWorkerThatDoesNotStopInTimeIsLeftToEndOnItsOwn) {
    CDownloadLibThread::SetWaitsForTests(CDownloadLibThread::kStartWaitMs, 100);
    InitialiseRecorded();
    const JobHandle job = JobWithFiles();
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    cpCEvent entered;
    cpCEvent release;
    // The worker is busy (inside the library mutex) when the stop sequence begins.
    ASSERT_TRUE(LibraryWorker::Post([&] {
        entered.Set();
        release.Wait(10000);
    }));
    ASSERT_TRUE(entered.Wait(5000));
    EXPECT_EQ(DownloadLib_Finalize(), DL_OK);
    // The manager is left to the worker, but the stop sequence still says it goes.
    EXPECT_TRUE(InOrder({"[TessloadLib] Force TerminateThread", "[TessloadLib] Destroy JobManager",
                         "[TessloadLib] Finalize End"}));
    // Not killed, and what it uses is still there.
    EXPECT_NE(TestParts::direct, nullptr);
    EXPECT_EQ(CDownloadLibThread::StrandedWorkers(), 1);
    EXPECT_EQ(DownloadLib_Initialize(0, nullptr, nullptr), DL_E_FAIL);
    EXPECT_TRUE(LogContains("[TessloadLib] Initialize Failed : 517"));
    EXPECT_EQ(DownloadLib_CreateJob(nullptr, nullptr, nullptr), DL_E_FAIL);  // not initialised

    release.Set();
    ASSERT_TRUE(WaitForNoStrandedWorker());
    EXPECT_EQ(TestParts::direct, nullptr);
    EXPECT_TRUE(LogContains("[TessloadLib] Exit GetMessage Loop"));
    CDownloadLibThread::SetWaitsForTests(CDownloadLibThread::kStartWaitMs,
                                         CDownloadLibThread::kStopWaitMs);
    InitialiseRecorded();
    EXPECT_EQ(DownloadLib_Finalize(), DL_OK);
    EXPECT_TRUE(LogContains("[TessloadLib] Destroy JobManager"));
}

TEST_F(WorkerTest, NothingReachesTheHostOnceFinaliseHasReturned) {
    CDownloadLibThread::SetWaitsForTests(CDownloadLibThread::kStartWaitMs, 100);
    InitialiseRecorded();
    const JobHandle job = JobWithFiles();
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    record_.Take();
    cpCEvent entered;
    cpCEvent release;
    cpCEvent reported;
    // A worker still busy when the stop gives up on it reports into its job afterwards.
    ASSERT_TRUE(LibraryWorker::Post([&] {
        entered.Set();
        release.Wait(10000);
        if (TestParts::direct != nullptr && !TestParts::direct->Jobs().empty()) {
            CJob* held = TestParts::direct->Jobs().front();
            held->ReportEvent(JOB_EVENT_FAILED, "late");
            held->ReportProgress();
        }
        reported.Set();
    }));
    ASSERT_TRUE(entered.Wait(5000));
    EXPECT_EQ(DownloadLib_Finalize(), DL_OK);
    EXPECT_TRUE(LogContains("[TessloadLib] Force TerminateThread"));
    record_.UnregisterWindow();
    release.Set();
    ASSERT_TRUE(reported.Wait(5000));
    ASSERT_TRUE(WaitForNoStrandedWorker());
    EXPECT_TRUE(record_.Take().empty()) << "neither the callback nor the window after Finalize";
}

TEST_F(WorkerTest, FinaliseWaitsForACallbackUnderWay) {
    cpCEvent inCallback;
    cpCEvent release;
    std::atomic<bool> callbackEnded{false};
    struct Host {
        cpCEvent* inCallback;
        cpCEvent* release;
        std::atomic<bool>* ended;
    } host{&inCallback, &release, &callbackEnded};
    ASSERT_EQ(DownloadLib_Initialize(
                  0,
                  [](int32_t code, int32_t, void* data) {
                      auto* h = static_cast<Host*>(data);
                      if (code == DLN_JOB_EVENT) {
                          h->inCallback->Set();
                          h->release->Wait(10000);
                          h->ended->store(true);
                      }
                  },
                  &host),
              DL_OK);
    const JobHandle job = JobWithFiles();
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    ASSERT_TRUE(LibraryWorker::Post([] {
        TestParts::direct->Jobs().front()->ReportEvent(JOB_EVENT_FAILED, "in the callback");
    }));
    ASSERT_TRUE(inCallback.Wait(5000));
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        release.Set();
    });
    EXPECT_EQ(DownloadLib_Finalize(), DL_OK);
    EXPECT_TRUE(callbackEnded.load()) << "Finalize returned while the callback still ran";
    releaser.join();
}

TEST_F(WorkerTest, AFinalisationFromTheWorkerItselfDoesNotWaitForItself) {
    InitialiseRecorded();
    const JobHandle job = JobWithFiles();
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    // As a host callback would, on the worker thread.
    ASSERT_TRUE(LibraryWorker::Run([] { EXPECT_EQ(DownloadLib_Finalize(), DL_OK); }));
    ASSERT_TRUE(WaitForNoStrandedWorker());
    EXPECT_EQ(TestParts::direct, nullptr);
    EXPECT_EQ(DownloadLib_StartJob(job, 1), DL_E_FAIL);
    InitialiseRecorded();
}

}  // namespace
