// Jobs driven by a downloader on the library's worker thread: what the host is told, and what it
// reads back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/job_manager.h"
#include "core_support.h"
#include "foundation/log.h"
#include "support/library_worker.h"

namespace {

class JobTest : public CoreTest {
  protected:
    // Runs fn on the worker with the job and the direct test downloader.
    void OnWorker(JobHandle handle, const std::function<void(CJob*, CTestDownloader*)>& fn) {
        ASSERT_TRUE(LibraryWorker::Run(
            [&] { fn(LibraryWorker::Manager()->FindJob(handle), TestParts::direct); }));
    }
    static JobProgress Progress(int64_t total, int64_t present) {
        JobProgress p{};
        p.totalBytes = total;
        p.presentBytes = present;
        p.fileCount = 2;
        return p;
    }
    std::string FilePath(int index) const {
        return Folder("dl") + "/part" + std::to_string(index) + ".bin";
    }
};

TEST_F(JobTest, NotificationsFromTheWorkerReachWindowThenCallbackInOrder) {
    InitialiseRecorded();
    const JobHandle job = JobWithFiles(2);
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    std::thread::id worker;
    OnWorker(job, [&](CJob* j, CTestDownloader* d) {
        worker = std::this_thread::get_id();
        d->ReportSize(j, 2, 200);
        d->StoreProgress(j, Progress(200, 50));
        d->ReportEvent(j, JOB_EVENT_NETWORK_POOR, nullptr);
        d->AskResume(j);
    });
    const auto p = static_cast<int32_t>(job);
    const std::vector<Notification> expected = {
        {'w', DLN_JOB_SIZE, p, {}},         {'c', DLN_JOB_SIZE, p, {}},
        {'w', DLN_JOB_EVENT, p, {}},        {'c', DLN_JOB_EVENT, p, {}},
        {'w', DLN_JOB_RESUME_QUERY, p, {}}, {'c', DLN_JOB_RESUME_QUERY, p, {}},
    };
    const std::vector<Notification> notes = record_.Take();
    EXPECT_EQ(notes, expected);
    for (const Notification& n : notes) {
        EXPECT_EQ(n.thread, worker);
    }
    EXPECT_NE(worker, std::this_thread::get_id());
    EXPECT_EQ(DownloadLib_ReplyResume(job, 1, 0), DL_OK);
    EXPECT_EQ(TestParts::direct->replies, (std::vector<std::pair<uint8_t, uint8_t>>{{1, 0}}));
}

TEST_F(JobTest, AHostWithoutWindowOrCallbackStillReadsEverything) {
    ASSERT_EQ(DownloadLib_Initialize(0, nullptr, nullptr), DL_OK);
    const JobHandle job = JobWithFiles(2);
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    OnWorker(job, [&](CJob* j, CTestDownloader* d) {
        d->ReportSize(j, 2, 200);
        d->StoreProgress(j, Progress(200, 150));
        d->ReportFileDone(j, FilePath(0).c_str(), "http://127.0.0.1/files/part0.bin");
        d->ReportEvent(j, JOB_EVENT_FAILED, "gone");
    });
    JobSizeInfo size{};
    EXPECT_EQ(DownloadLib_GetJobSizeInfo(job, &size), DL_OK);
    EXPECT_EQ(size.fileCount, 2);
    EXPECT_EQ(size.totalBytes, 200);
    int64_t remaining = 0;
    EXPECT_EQ(DownloadLib_GetJobRemainingBytes(job, &remaining), DL_OK);
    EXPECT_EQ(remaining, 50);
    JobFileMessage message{};
    EXPECT_EQ(DownloadLib_PopJobFileMessage(job, &message), DL_OK);
    EXPECT_STREQ(message.text, ("http://127.0.0.1/files/part0.bin," + FilePath(0)).c_str());
    int32_t length = 0;
    EXPECT_EQ(DownloadLib_GetJobEventTextLength(job, &length), DL_OK);
    ASSERT_EQ(length, 5);
    std::vector<char> text(static_cast<size_t>(length), 'x');
    JobEvent event{0, text.data()};
    EXPECT_EQ(DownloadLib_PopJobEvent(job, &event), DL_OK);
    EXPECT_EQ(event.code, JOB_EVENT_FAILED);
    EXPECT_STREQ(text.data(), "gone");
}

TEST_F(JobTest, SizeIsReportedOnlyWhileNoBytesArePresent) {
    InitialiseRecorded();
    const JobHandle job = JobWithFiles(2);
    // Not running: nothing.
    OnWorker(job, [&](CJob* j, CTestDownloader*) { j->ReportSize(2, 100); });
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    OnWorker(job, [&](CJob* j, CTestDownloader* d) {
        d->ReportSize(j, 1, 100);
        d->ReportSize(j, 2, 200);  // replaces the older record
        d->StoreProgress(j, Progress(200, 1));
        d->ReportSize(j, 2, 300);
    });
    EXPECT_EQ(record_.Codes('c'), (std::vector<int32_t>{DLN_JOB_SIZE, DLN_JOB_SIZE}));
    JobSizeInfo size{};
    EXPECT_EQ(DownloadLib_GetJobSizeInfo(job, &size), DL_OK);
    EXPECT_EQ(size.totalBytes, 200);
    // Handed over once.
    JobSizeInfo again{-1, -1};
    EXPECT_EQ(DownloadLib_GetJobSizeInfo(job, &again), DL_OK);
    EXPECT_EQ(again.totalBytes, -1);
}

TEST_F(JobTest, EachFileIsReportedDoneOnceInOrder) {
    InitialiseRecorded();
    const JobHandle job = JobWithFiles(3);
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    OnWorker(job, [&](CJob* j, CTestDownloader* d) {
        d->StoreProgress(j, Progress(300, 100));
        d->ReportFileDone(j, FilePath(1).c_str(), "u1");
        // Twice for the same file, once in other letters: no second message.
        d->ReportFileDone(j, FilePath(1).c_str(), "u1");
        std::string upper = FilePath(1);
        upper.replace(upper.size() - 9, 9, "PART1.BIN");
        d->ReportFileDone(j, upper.c_str(), "u1");
        d->ReportFileDone(j, (Folder("dl") + "/unknown.bin").c_str(), "u9");
        d->ReportFileDone(j, FilePath(0).c_str(), "reported/place", "u0");
    });
    EXPECT_EQ(record_.Codes('w'), (std::vector<int32_t>{DLN_JOB_FILE_DONE, DLN_JOB_FILE_DONE}));
    JobFileMessage first{};
    JobFileMessage second{};
    JobFileMessage none{};
    none.sequence = -1;
    EXPECT_EQ(DownloadLib_PopJobFileMessage(job, &first), DL_OK);
    EXPECT_EQ(DownloadLib_PopJobFileMessage(job, &second), DL_OK);
    EXPECT_EQ(DownloadLib_PopJobFileMessage(job, &none), DL_OK);
    EXPECT_EQ(first.sequence, 1);
    EXPECT_EQ(first.fileCount, 2);  // from the snapshot
    EXPECT_STREQ(first.text, ("u1," + FilePath(1)).c_str());
    EXPECT_EQ(second.sequence, 2);
    EXPECT_STREQ(second.text, "u0,reported/place");
    EXPECT_EQ(none.sequence, -1);
}

TEST_F(JobTest, CompletionReportsProgressThenDoneWithItsRecord) {
    InitialiseRecorded();
    const JobHandle job = JobWithFiles(3);
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    OnWorker(job, [&](CJob* j, CTestDownloader* d) {
        JobProgress p = Progress(300, 300);
        std::memset(p.fileName, 'n', sizeof p.fileName);  // unterminated: copied bounded
        d->StoreProgress(j, p);
        d->ReportCompletion(j, 3, 0);
        EXPECT_FALSE(d->Holds(j));
        EXPECT_FALSE(d->IsTicking());
        EXPECT_EQ(j->GetState(), CJob::kDone);
        // A job let go is no longer reported on.
        d->ReportEvent(j, JOB_EVENT_FAILED, "late");
    });
    EXPECT_EQ(record_.Codes('c'), (std::vector<int32_t>{DLN_JOB_PROGRESS, DLN_JOB_DONE}));
    JobResult result{};
    EXPECT_EQ(DownloadLib_GetJobResult(job, &result), DL_OK);
    EXPECT_EQ(result.fileCount, 3);
    EXPECT_EQ(result.value1, 3);
    EXPECT_EQ(result.value2, 0);
    JobResult again{-1, -1, -1};
    EXPECT_EQ(DownloadLib_GetJobResult(job, &again), DL_OK);
    EXPECT_EQ(again.value1, -1);
    JobProgress progress{};
    EXPECT_EQ(DownloadLib_GetJobProgress(job, &progress), DL_OK);
    EXPECT_EQ(std::strlen(progress.fileName), 65u);
    // Done jobs take no more files, and start again.
    EXPECT_EQ(
        DownloadLib_AddJobFile(job, "http://h/more.bin", Folder("dl").c_str(), nullptr, 1, 0, 0),
        DL_E_FAIL);
    EXPECT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
}

TEST_F(JobTest, TheTickReportsProgressOnlyWhileBytesArePresent) {
    InitialiseRecorded();
    const JobHandle job = JobWithFiles(2);
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    LibraryWorker::StepClock(1000);
    EXPECT_TRUE(record_.Take().empty());
    OnWorker(job,
             [&](CJob*, CTestDownloader* d) { EXPECT_EQ(d->ticked, std::vector<JobHandle>{job}); });
    OnWorker(job, [&](CJob* j, CTestDownloader* d) { d->StoreProgress(j, Progress(200, 10)); });
    LibraryWorker::StepClock(900);
    EXPECT_TRUE(record_.Take().empty());
    LibraryWorker::StepClock(100);
    EXPECT_EQ(record_.Codes('c'), std::vector<int32_t>{DLN_JOB_PROGRESS});
    record_.Take();
    // The last job leaving stops the tick; the next start makes a new one.
    ASSERT_EQ(DownloadLib_StopJob(job), DL_OK);
    LibraryWorker::StepClock(2000);
    EXPECT_TRUE(record_.Take().empty());
    OnWorker(job, [&](CJob*, CTestDownloader* d) {
        EXPECT_FALSE(d->IsTicking());
        EXPECT_EQ(d->ticked.size(), 2u);
    });
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    OnWorker(job, [&](CJob*, CTestDownloader* d) { EXPECT_TRUE(d->IsTicking()); });
    LibraryWorker::StepClock(1000);
    EXPECT_EQ(record_.Codes('w'), std::vector<int32_t>{DLN_JOB_PROGRESS});
}

TEST_F(JobTest, NetworkLossReachesEveryHeldJob) {
    InitialiseRecorded();
    const JobHandle a = JobWithFiles();
    JobHandle b = 0;
    ASSERT_EQ(DownloadLib_CreateJob(&b, nullptr, nullptr), DL_OK);
    ASSERT_EQ(DownloadLib_AddJobFile(b, "http://h/b.bin", Folder("b").c_str(), nullptr, 1, 0, 0),
              DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(a, 1), DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(b, 1), DL_OK);
    OnWorker(a, [&](CJob*, CTestDownloader* d) {
        d->NetworkLost();
        EXPECT_TRUE(d->IsNetworkLost());
    });
    const std::vector<Notification> notes = record_.Take();
    ASSERT_EQ(notes.size(), 4u);
    EXPECT_EQ(notes[1].parameter, static_cast<int32_t>(a));
    EXPECT_EQ(notes[3].parameter, static_cast<int32_t>(b));
    for (JobHandle job : {a, b}) {
        JobEvent event{};
        EXPECT_EQ(DownloadLib_PopJobEvent(job, &event), DL_OK);
        EXPECT_EQ(event.code, JOB_EVENT_NETWORK_POOR);
    }
}

TEST_F(JobTest, EngineGiveUpMovesRunningJobsToTheDirectDownloader) {
    InstallTestParts({.engine = true, .direct = true});
    InitialiseRecorded();
    const JobHandle running = JobWithFiles();
    JobHandle idle = 0;
    ASSERT_EQ(DownloadLib_CreateJob(&idle, nullptr, nullptr), DL_OK);
    ASSERT_EQ(DownloadLib_AddJobFile(idle, "http://h/i.bin", Folder("i").c_str(), nullptr, 1, 0, 0),
              DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(running, 1), DL_OK);
    EXPECT_EQ(TestParts::engine->begun, std::vector<JobHandle>{running});
    // The engine downloader gives up from inside one of its own events; it stays alive until
    // that call has returned.
    ASSERT_TRUE(LibraryWorker::Run([] {
        CTestDownloader* engine = TestParts::engine;
        engine->Listener()->OnEngineGiveUp();
        EXPECT_EQ(TestParts::engine, engine);
        EXPECT_TRUE(engine->Jobs().empty());
        EXPECT_EQ(LibraryWorker::Manager()->EngineDownloader(), nullptr);
    }));
    EXPECT_TRUE(LibraryWorker::Run([] {}));
    EXPECT_EQ(TestParts::engine, nullptr);
    EXPECT_EQ(TestParts::direct->begun, std::vector<JobHandle>{running});
    // Later starts, stops and replies go to the direct downloader.
    ASSERT_EQ(DownloadLib_StartJob(idle, 1), DL_OK);
    EXPECT_EQ(TestParts::direct->begun, (std::vector<JobHandle>{running, idle}));
    EXPECT_EQ(DownloadLib_StopJob(running), DL_OK);
    EXPECT_EQ(TestParts::direct->ended, std::vector<JobHandle>{running});
}

TEST_F(JobTest, EngineGivingOneJobUpHandsItToTheDirectDownloader) {
    InstallTestParts({.engine = true, .direct = true});
    InitialiseRecorded();
    const JobHandle job = JobWithFiles();
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    ASSERT_TRUE(LibraryWorker::Run([&] {
        CJob* j = LibraryWorker::Manager()->FindJob(job);
        TestParts::engine->ReportEventAndDrop(j, JOB_EVENT_MOVED, nullptr);
        TestParts::engine->Listener()->OnEngineGiveUpJob(j);
    }));
    EXPECT_EQ(TestParts::direct->begun, std::vector<JobHandle>{job});
    EXPECT_EQ(record_.Codes('c'), std::vector<int32_t>{DLN_JOB_EVENT});
    // The engine downloader is still there for new jobs.
    const JobHandle next = JobWithFiles(0);
    ASSERT_EQ(DownloadLib_AddJobFile(next, "http://h/n.bin", Folder("n").c_str(), nullptr, 1, 0, 0),
              DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(next, 1), DL_OK);
    EXPECT_EQ(TestParts::engine->begun, (std::vector<JobHandle>{job, next}));
}

TEST_F(JobTest, ManagerNotificationsOfTheEngineDownloader) {
    InitialiseRecorded();
    ASSERT_TRUE(LibraryWorker::Run([] {
        IJobDownloadEventListener* l = TestParts::direct->Listener();
        l->OnEngineUpdateFile("TEVDownloadV32", 1, 2);
        l->OnEngineUpdateProgress(1, 2);
        l->OnEngineUpdated();
        l->OnEngineUpdateFailed();
        l->OnEngineStateChanged(3);
        l->OnPathFailed(IJobDownloadEventListener::kPathEngineFolder);
        l->OnPathFailed(7);  // no such kind: nothing
    }));
    EXPECT_EQ(record_.Codes('c'),
              (std::vector<int32_t>{DLN_ENGINE_UPDATE_FILE, DLN_ENGINE_UPDATE_PROGRESS,
                                    DLN_ENGINE_UPDATED, DLN_ENGINE_UPDATE_FAILED, DLN_ENGINE_STATE,
                                    DLN_ENGINE_PATH_FAILED}));
    EXPECT_TRUE(LogContains("[TessloadLib] engine path access failed"));
}

TEST_F(JobTest, DataDownloadAndContentLengthCheckAreRefusedWhileTheyDoNotExist) {
    InitialiseRecorded();
    std::vector<std::string> diagnostics;
    SetDiagnosticObserver([&](const char* line) { diagnostics.emplace_back(line); });
    int64_t value = 0;
    char buffer[4];
    DataBuffer data{buffer, 4};
    EXPECT_EQ(DownloadLib_DownloadData("http://h/list.txt"), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_GetDataSize(&value), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_GetData(&data), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_AddContentLengthCheck("http://h/a.bin"), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_StartContentLengthCheck(), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_GetTotalContentLength(&value), DL_E_FAIL);
    // Remaining bytes of a handle that names no job fall back to the (missing) check.
    EXPECT_EQ(DownloadLib_GetJobRemainingBytes(4242, &value), DL_E_FAIL);
    SetDiagnosticObserver(nullptr);
    EXPECT_EQ(diagnostics, std::vector<std::string>{"[TessloadLib_D] 0x0003"});
}

TEST_F(JobTest, DataDownloadAndContentLengthCheckReportThroughTheManager) {
    InstallTestParts({.direct = true, .data = true, .check = true});
    InitialiseRecorded();
    EXPECT_EQ(DownloadLib_DownloadData("http://h/list.txt"), DL_OK);
    ASSERT_NE(TestParts::data, nullptr);
    EXPECT_EQ(TestParts::data->urls, std::vector<std::string>{"http://h/list.txt"});
    int64_t size = 0;
    EXPECT_EQ(DownloadLib_GetDataSize(&size), DL_E_FAIL);
    ASSERT_TRUE(LibraryWorker::Run([] {
        TestParts::data->listener->OnDataDownloadTick();
        TestParts::data->data = "a\nb\n";
        TestParts::data->listener->OnDataDownloadCompleted(nullptr, 4);
        TestParts::data->listener->OnDataDownloadFailed(6);
    }));
    EXPECT_EQ(DownloadLib_GetDataSize(&size), DL_OK);
    EXPECT_EQ(size, 4);
    char bytes[5] = {};
    DataBuffer wrong{bytes, 5};
    DataBuffer right{bytes, 4};
    EXPECT_EQ(DownloadLib_GetData(&wrong), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_GetData(&right), DL_OK);
    EXPECT_STREQ(bytes, "a\nb\n");

    EXPECT_EQ(DownloadLib_StartContentLengthCheck(), DL_E_FAIL);  // nothing added yet
    EXPECT_EQ(DownloadLib_AddContentLengthCheck("http://h/a.bin"), DL_OK);
    EXPECT_EQ(DownloadLib_AddContentLengthCheck("http://h/b.bin|alt"), DL_OK);
    EXPECT_EQ(DownloadLib_StartContentLengthCheck(), DL_OK);
    EXPECT_EQ(TestParts::check->starts, 1);
    std::vector<std::string> diagnostics;
    SetDiagnosticObserver([&](const char* line) { diagnostics.emplace_back(line); });
    ASSERT_TRUE(LibraryWorker::Run([] {
        TestParts::check->total = 1234;
        TestParts::check->listener->OnContentLengthCheckDone(1234);
        TestParts::check->listener->OnContentLengthCheckFailed("http://h/a.bin");
        TestParts::check->listener->OnContentLengthCheckHostUnreachable();
    }));
    SetDiagnosticObserver(nullptr);
    EXPECT_EQ(diagnostics,
              (std::vector<std::string>{"[TessloadLib_D] File Size Check Failed. 0x0011",
                                        "[TessloadLib_D] File Size Check Failed. 0x0012"}));
    int64_t total = 0;
    EXPECT_EQ(DownloadLib_GetTotalContentLength(&total), DL_OK);
    EXPECT_EQ(total, 1234);
    // A handle that names no job, and a job without a total yet, answer with the check's total.
    int64_t remaining = 0;
    EXPECT_EQ(DownloadLib_GetJobRemainingBytes(0, &remaining), DL_OK);
    EXPECT_EQ(remaining, 1234);
    EXPECT_EQ(record_.Codes('c'),
              (std::vector<int32_t>{DLN_DATA_TICK, DLN_DATA_DONE, DLN_DATA_FAILED, DLN_CHECK_DONE,
                                    DLN_CHECK_FAILED, DLN_CHECK_FAILED}));
}

}  // namespace
