// The flat interface as a host sees it: initialisation and finalisation, refusals, and the jobs'
// life through the job manager.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "core/download_lib_thread.h"
#include "core/job_manager.h"
#include "core_support.h"
#include "foundation/log.h"
#include "support/library_worker.h"

namespace {

struct Call {
    const char* name;
    std::function<int32_t(JobHandle)> call;
};

// Every function that answers with a result code, given a job handle where it takes one.
std::vector<Call> EveryCall() {
    static JobSizeInfo size;
    static JobProgress progress;
    static int64_t bytes;
    static JobFileMessage message;
    static JobResult result;
    static int32_t length;
    static JobEvent event;
    static char data[4];
    static DataBuffer buffer{data, 4};
    return {
        {"SetServiceId", [](JobHandle) { return DownloadLib_SetServiceId("svc"); }},
        {"CreateJob",
         [](JobHandle) {
             JobHandle fresh = 0;
             return DownloadLib_CreateJob(&fresh, "QK", "svc");
         }},
        {"SetJobEngineOption", [](JobHandle j) { return DownloadLib_SetJobEngineOption(j); }},
        {"AddJobFile",
         [](JobHandle j) {
             return DownloadLib_AddJobFile(j, "http://h/a.bin", "/tmp", nullptr, 1, 0, 0);
         }},
        {"AddJobFileEx",
         [](JobHandle j) {
             return DownloadLib_AddJobFileEx(j, "http://h/b.bin", "/tmp", nullptr, 1, 0, 0, 0);
         }},
        {"StartJob", [](JobHandle j) { return DownloadLib_StartJob(j, 1); }},
        {"StopJob", [](JobHandle j) { return DownloadLib_StopJob(j); }},
        {"ReplyResume", [](JobHandle j) { return DownloadLib_ReplyResume(j, 1, 0); }},
        {"GetJobSizeInfo", [](JobHandle j) { return DownloadLib_GetJobSizeInfo(j, &size); }},
        {"GetJobProgress", [](JobHandle j) { return DownloadLib_GetJobProgress(j, &progress); }},
        {"GetJobRemainingBytes",
         [](JobHandle j) { return DownloadLib_GetJobRemainingBytes(j, &bytes); }},
        {"PopJobFileMessage",
         [](JobHandle j) { return DownloadLib_PopJobFileMessage(j, &message); }},
        {"GetJobResult", [](JobHandle j) { return DownloadLib_GetJobResult(j, &result); }},
        {"GetJobEventTextLength",
         [](JobHandle j) { return DownloadLib_GetJobEventTextLength(j, &length); }},
        {"PopJobEvent", [](JobHandle j) { return DownloadLib_PopJobEvent(j, &event); }},
        {"RemoveJob", [](JobHandle j) { return DownloadLib_RemoveJob(j); }},
        {"DownloadData", [](JobHandle) { return DownloadLib_DownloadData("http://h/list"); }},
        {"GetDataSize", [](JobHandle) { return DownloadLib_GetDataSize(&bytes); }},
        {"GetData", [](JobHandle) { return DownloadLib_GetData(&buffer); }},
        {"AddContentLengthCheck",
         [](JobHandle) { return DownloadLib_AddContentLengthCheck("http://h/a.bin"); }},
        {"StartContentLengthCheck",
         [](JobHandle) { return DownloadLib_StartContentLengthCheck(); }},
        {"GetTotalContentLength",
         [](JobHandle) { return DownloadLib_GetTotalContentLength(&bytes); }},
    };
}

// The calls that take a job handle and need it to name a job.
bool NamesAJob(const std::string& name) {
    return name != "SetServiceId" && name != "CreateJob" && name != "DownloadData" &&
           name != "GetDataSize" && name != "GetData" && name != "AddContentLengthCheck" &&
           name != "StartContentLengthCheck" && name != "GetTotalContentLength" &&
           name != "GetJobRemainingBytes";
}

class FacadeTest : public CoreTest {};

TEST_F(FacadeTest, EveryCallAnswers517BeforeInitialisationAndAfterFinalisation) {
    std::vector<std::string> diagnostics;
    SetDiagnosticObserver([&](const char* line) { diagnostics.emplace_back(line); });
    for (int round = 0; round < 2; ++round) {
        for (const Call& c : EveryCall()) {
            EXPECT_EQ(c.call(1), DL_E_FAIL) << c.name << " round " << round;
        }
        EXPECT_EQ(DownloadLib_GetUserData(), nullptr);
        if (round == 0) {
            ASSERT_EQ(DownloadLib_Initialize(0, nullptr, &record_), DL_OK);
            EXPECT_EQ(DownloadLib_Finalize(), DL_OK);
        }
    }
    SetDiagnosticObserver(nullptr);
    const std::vector<std::string> expected = {"[TessloadLib_D] 0x00A0", "[TessloadLib_D] 0x00B1",
                                               "[TessloadLib_D] 0x0008"};
    EXPECT_EQ(diagnostics, (std::vector<std::string>{expected[0], expected[1], expected[2],
                                                     expected[0], expected[1], expected[2]}));
}

TEST_F(FacadeTest, FinaliseWithoutInitialiseLogsBothLines) {
    EXPECT_EQ(DownloadLib_Finalize(), DL_OK);
    EXPECT_EQ(DownloadLib_Finalize(), DL_OK);
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{
                                 "[TessloadLib] Finalize Begin", "[TessloadLib] Finalize End",
                                 "[TessloadLib] Finalize Begin", "[TessloadLib] Finalize End"}));
}

TEST_F(FacadeTest, SecondInitialiseAnswers518AndLeavesTheFirstRunning) {
    int other = 0;
    ASSERT_EQ(DownloadLib_Initialize(0, nullptr, &record_), DL_OK);
    CJobManager* manager = LibraryWorker::Manager();
    EXPECT_EQ(DownloadLib_Initialize(0, nullptr, &other), DL_E_INITIALIZED);
    EXPECT_EQ(DownloadLib_InitializeEx(0, nullptr, &other, 0), DL_E_INITIALIZED);
    EXPECT_EQ(LibraryWorker::Manager(), manager);
    EXPECT_EQ(DownloadLib_GetUserData(), &record_);
    JobHandle job = 0;
    EXPECT_EQ(DownloadLib_CreateJob(&job, nullptr, nullptr), DL_OK);
    EXPECT_NE(job, 0u);
    // The launch line comes from the downloader made by the set-up; the log began afresh there.
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"[TessloadLib] Launch(3.5.0.2)",
                                                       "[TessloadLib] Initialize"}));
}

TEST_F(FacadeTest, WorkerThatDoesNotStartInTimeFailsTheInitialisation) {
    cpCEvent release;
    CDownloadLibThread::SetWaitsForTests(50, CDownloadLibThread::kStopWaitMs);
    CDownloadLibThread::SetWorkerStartHookForTests([&] { release.Wait(10000); });
    int userData = 0;
    EXPECT_EQ(DownloadLib_Initialize(0, nullptr, &userData), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_GetUserData(), &userData);
    EXPECT_TRUE(LogContains("[TessloadLib] Initialize Failed : 517"));
    // Still initialised until finalised.
    EXPECT_EQ(DownloadLib_Initialize(0, nullptr, nullptr), DL_E_INITIALIZED);
    // The worker signals late into an event the initialising call has given up on.
    release.Set();
    CDownloadLibThread::SetWorkerStartHookForTests(nullptr);
    CDownloadLibThread::SetWaitsForTests(CDownloadLibThread::kStartWaitMs,
                                         CDownloadLibThread::kStopWaitMs);
    EXPECT_EQ(DownloadLib_Finalize(), DL_OK);
    EXPECT_EQ(DownloadLib_GetUserData(), nullptr);
    EXPECT_TRUE(LogContains("[TessloadLib] Destroy JobManager"));
}

TEST_F(FacadeTest, HandleZeroAndUnknownHandlesAreRefusedWithoutTouchingTheDownloader) {
    InitialiseRecorded();
    const JobHandle job = JobWithFiles();
    for (const Call& c : EveryCall()) {
        if (!NamesAJob(c.name)) {
            continue;
        }
        EXPECT_EQ(c.call(0), DL_E_FAIL) << c.name;
        EXPECT_EQ(c.call(job + 1000), DL_E_FAIL) << c.name;
    }
    // The job is untouched: it still starts.
    EXPECT_TRUE(TestParts::direct->begun.empty());
    EXPECT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    EXPECT_EQ(TestParts::direct->begun, std::vector<JobHandle>{job});
}

TEST_F(FacadeTest, NullOutArgumentsAreRefused) {
    InitialiseRecorded();
    const JobHandle job = JobWithFiles();
    EXPECT_EQ(DownloadLib_CreateJob(nullptr, nullptr, nullptr), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_GetJobSizeInfo(job, nullptr), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_GetJobProgress(job, nullptr), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_GetJobRemainingBytes(job, nullptr), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_PopJobFileMessage(job, nullptr), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_GetJobResult(job, nullptr), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_GetJobEventTextLength(job, nullptr), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_PopJobEvent(job, nullptr), DL_E_FAIL);
}

struct SizeCase {
    int64_t size;
    int32_t expected;
};

class FileSizeTest : public CoreTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(FileSizeTest, SizeIsCheckedFirst) {
    InitialiseRecorded();
    JobHandle job = 0;
    ASSERT_EQ(DownloadLib_CreateJob(&job, nullptr, nullptr), DL_OK);
    const auto size = static_cast<uint64_t>(GetParam().size);
    const auto low = static_cast<uint32_t>(size);
    const auto high = static_cast<uint32_t>(size >> 32);
    EXPECT_EQ(
        DownloadLib_AddJobFile(job, "http://h/a.bin", Folder("dl").c_str(), nullptr, low, high, 0),
        GetParam().expected);
    // A bad size is refused before the handle is even looked at.
    if (GetParam().expected == DL_E_SIZE) {
        EXPECT_EQ(DownloadLib_AddJobFile(job + 1000, "http://h/a.bin", Folder("dl").c_str(),
                                         nullptr, low, high, 0),
                  DL_E_SIZE);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, FileSizeTest,
                         ::testing::Values(SizeCase{0, DL_E_SIZE}, SizeCase{-2, DL_E_SIZE},
                                           SizeCase{INT64_MIN, DL_E_SIZE}, SizeCase{-1, DL_OK},
                                           SizeCase{1, DL_OK}, SizeCase{1LL << 40, DL_OK}),
                         [](const ::testing::TestParamInfo<SizeCase>& info) {
                             std::string name = std::to_string(info.param.size);
                             if (name[0] == '-') {
                                 name.replace(0, 1, "minus");
                             }
                             return name;
                         });

TEST_F(FacadeTest, AddFileRefusals) {
    InitialiseRecorded();
    JobHandle job = 0;
    ASSERT_EQ(DownloadLib_CreateJob(&job, nullptr, nullptr), DL_OK);
    const std::string dl = Folder("dl");
    const auto add = [&](const char* url, const char* folder, const char* name) {
        return DownloadLib_AddJobFile(job, url, folder, name, 0xFFFFFFFFu, 0xFFFFFFFFu, 0);
    };
    EXPECT_EQ(add(nullptr, dl.c_str(), nullptr), DL_E_URL);
    EXPECT_EQ(add("", dl.c_str(), nullptr), DL_E_URL);
    EXPECT_EQ(add(" \t ", dl.c_str(), nullptr), DL_E_URL);
    EXPECT_EQ(add("http://h/Setup.EXE", dl.c_str(), nullptr), DL_OK);
    // The same full path with letters differing only in case.
    EXPECT_EQ(add("http://mirror/other", (dl + "/").c_str(), "setup.exe"), DL_E_FAIL);
    EXPECT_EQ(add("http://h/SETUP.exe", Folder("DL").c_str(), nullptr), DL_E_FAIL);
    // A URL ending in '/' gives an empty name; a second one into the same folder is a duplicate.
    EXPECT_EQ(add("http://h/dir/", dl.c_str(), nullptr), DL_OK);
    EXPECT_EQ(add("http://h/other/", dl.c_str(), nullptr), DL_E_FAIL);
    // The name given wins over the URL's.
    EXPECT_EQ(add("http://h/dir/", dl.c_str(), "named.bin"), DL_OK);

    bool checked = false;
    ASSERT_TRUE(LibraryWorker::Run([&] {
        CJob* j = LibraryWorker::Manager()->FindJob(job);
        ASSERT_EQ(j->FileCount(), 3u);
        EXPECT_EQ(j->Files()[0]->name, "Setup.EXE");
        EXPECT_EQ(j->Files()[0]->size, -1);
        EXPECT_EQ(j->Files()[1]->name, "");
        EXPECT_EQ(j->Files()[2]->name, "named.bin");
        EXPECT_EQ(j->Files()[2]->index, 2);
        checked = true;
    }));
    EXPECT_TRUE(checked);
}

TEST_F(FacadeTest, FoldersAreCreatedNormalisedAndRefusedWhenTheyCannotBe) {
    InitialiseRecorded();
    JobHandle job = 0;
    ASSERT_EQ(DownloadLib_CreateJob(&job, nullptr, nullptr), DL_OK);
    const std::string root = Folder("");
    // Backslashes and slashes mixed, no trailing separator, several missing levels.
    const std::string given = root + "a\\b/c";
    EXPECT_EQ(DownloadLib_AddJobFile(job, "http://h/x.bin", given.c_str(), nullptr, 1, 0, 0),
              DL_OK);
    struct stat st {};
    ASSERT_EQ(stat((root + "a/b/c").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    ASSERT_TRUE(LibraryWorker::Run([&] {
        const CJob* j = LibraryWorker::Manager()->FindJob(job);
        EXPECT_EQ(j->DownloadFolder(), root + "a/b/c/");
        EXPECT_EQ(j->Files()[0]->FullPath(), root + "a/b/c/x.bin");
    }));
    EXPECT_TRUE(record_.Take().empty());

    // A regular file where a folder should be: 514 to the caller, 528 to the host.
    std::ofstream(root + "blocker").put('x');
    const std::string blocked = root + "blocker/sub";
    EXPECT_EQ(DownloadLib_AddJobFile(job, "http://h/y.bin", blocked.c_str(), nullptr, 1, 0, 0),
              DL_E_PATH);
    EXPECT_EQ(DownloadLib_AddJobFile(job, "http://h/y.bin", "", nullptr, 1, 0, 0), DL_E_PATH);
    const std::vector<Notification> notes = record_.Take();
    ASSERT_EQ(notes.size(), 4u);
    for (const Notification& n : notes) {
        EXPECT_EQ(n.code, DLN_DOWNLOAD_PATH_FAILED);
        EXPECT_NE(n.parameter, 0);
    }
    EXPECT_TRUE(LogContains("[TessloadLib] download path access failed"));

    // A folder longer than a job keeps is refused, not cut short and not created.
    std::string longFolder = root;
    while (longFolder.size() < 300) {
        longFolder += "abcdefghi/";
    }
    EXPECT_EQ(DownloadLib_AddJobFile(job, "http://h/z.bin", longFolder.c_str(), nullptr, 1, 0, 0),
              DL_E_PATH);
    EXPECT_NE(stat(longFolder.c_str(), &st), 0);
    EXPECT_TRUE(record_.Take().empty());
}

TEST_F(FacadeTest, CreateJobRefusesAVariableThatHoldsALiveJob) {
    InitialiseRecorded();
    JobHandle job = 0;
    ASSERT_EQ(DownloadLib_CreateJob(&job, "QKX-too-long", nullptr), DL_OK);
    const JobHandle first = job;
    EXPECT_EQ(DownloadLib_CreateJob(&job, nullptr, nullptr), DL_E_FAIL);
    EXPECT_EQ(job, first);
    ASSERT_TRUE(LibraryWorker::Run(
        [&] { EXPECT_EQ(LibraryWorker::Manager()->FindJob(first)->Code(), "QKX"); }));
    ASSERT_EQ(DownloadLib_RemoveJob(job), DL_OK);
    // The stale handle names no job any more, so the variable may be reused.
    EXPECT_EQ(DownloadLib_CreateJob(&job, nullptr, nullptr), DL_OK);
    EXPECT_NE(job, first);
}

TEST_F(FacadeTest, StartNeedsFilesAndADownloader) {
    InitialiseRecorded();
    JobHandle empty = 0;
    ASSERT_EQ(DownloadLib_CreateJob(&empty, nullptr, nullptr), DL_OK);
    EXPECT_EQ(DownloadLib_StartJob(empty, 1), DL_E_FAIL);
    const JobHandle job = JobWithFiles();
    EXPECT_EQ(DownloadLib_StartJob(job, 0), DL_OK);
    EXPECT_EQ(DownloadLib_StartJob(job, 0), DL_E_STARTED);
    EXPECT_EQ(TestParts::direct->begun, std::vector<JobHandle>{job});
    ASSERT_TRUE(LibraryWorker::Run([&] {
        const CJob* j = LibraryWorker::Manager()->FindJob(job);
        EXPECT_EQ(j->GetState(), CJob::kRunning);
        EXPECT_EQ(j->SpeedMode(), 0);
    }));
    // Files are added only while the job is idle.
    EXPECT_EQ(
        DownloadLib_AddJobFile(job, "http://h/late.bin", Folder("dl").c_str(), nullptr, 1, 0, 0),
        DL_E_FAIL);
}

TEST_F(FacadeTest, WithoutADownloaderAStartAnswers517) {
    InstallTestParts({.direct = false});
    InitialiseRecorded();
    const JobHandle job = JobWithFiles();
    EXPECT_EQ(DownloadLib_StartJob(job, 1), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_StopJob(job), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_ReplyResume(job, 1, 1), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_RemoveJob(job), DL_OK);
}

TEST_F(FacadeTest, StopThenRemoveDestroysTheJob) {
    InitialiseRecorded();
    const JobHandle job = JobWithFiles();
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    EXPECT_EQ(DownloadLib_StopJob(job), DL_OK);
    EXPECT_EQ(TestParts::direct->ended, std::vector<JobHandle>{job});
    // Held by nobody now.
    EXPECT_EQ(DownloadLib_StopJob(job), DL_E_FAIL);
    EXPECT_EQ(DownloadLib_ReplyResume(job, 1, 0), DL_E_NOT_STARTED);
    EXPECT_EQ(DownloadLib_RemoveJob(job), DL_OK);
    for (const Call& c : EveryCall()) {
        if (NamesAJob(c.name)) {
            EXPECT_EQ(c.call(job), DL_E_FAIL) << c.name;
        }
    }
    // Removing a running job stops it first.
    const JobHandle running = JobWithFiles();
    ASSERT_EQ(DownloadLib_StartJob(running, 1), DL_OK);
    EXPECT_EQ(DownloadLib_RemoveJob(running), DL_OK);
    EXPECT_EQ(TestParts::direct->ended, (std::vector<JobHandle>{job, running}));
    ASSERT_TRUE(LibraryWorker::Run([] {
        EXPECT_EQ(LibraryWorker::Manager()->JobCount(), 0u);
        EXPECT_TRUE(TestParts::direct->Jobs().empty());
        EXPECT_FALSE(TestParts::direct->IsTicking());
    }));
}

TEST_F(FacadeTest, EmptyQueuesAndMissingRecordsLeaveTheHostsRecordsAlone) {
    InitialiseRecorded();
    const JobHandle job = JobWithFiles();
    JobEvent event{12345, nullptr};
    EXPECT_EQ(DownloadLib_PopJobEvent(job, &event), DL_OK);
    EXPECT_EQ(event.code, DL_OK);
    int32_t length = -1;
    EXPECT_EQ(DownloadLib_GetJobEventTextLength(job, &length), DL_OK);
    EXPECT_EQ(length, 0);

    JobFileMessage message;
    std::memset(&message, 0x5A, sizeof message);
    JobSizeInfo size{-7, -7};
    JobResult result{-7, -7, -7};
    EXPECT_EQ(DownloadLib_PopJobFileMessage(job, &message), DL_OK);
    EXPECT_EQ(DownloadLib_GetJobSizeInfo(job, &size), DL_OK);
    EXPECT_EQ(DownloadLib_GetJobResult(job, &result), DL_OK);
    EXPECT_EQ(message.fileCount, 0x5A5A5A5A);
    EXPECT_EQ(size.fileCount, -7);
    EXPECT_EQ(result.value1, -7);
    JobProgress progress;
    std::memset(&progress, 0x5A, sizeof progress);
    EXPECT_EQ(DownloadLib_GetJobProgress(job, &progress), DL_OK);
    EXPECT_EQ(progress.totalBytes, 0);
    EXPECT_EQ(progress.fileName[0], '\0');
}

TEST_F(FacadeTest, ServiceIdReachesTheEngineDownloader) {
    InstallTestParts({.engine = true, .direct = true});
    InitialiseRecorded();
    EXPECT_EQ(DownloadLib_SetServiceId("tev-01"), DL_OK);
    EXPECT_EQ(TestParts::engine->serviceId_, "tev-01");
    EXPECT_EQ(DownloadLib_SetServiceId(nullptr), DL_OK);
    EXPECT_EQ(TestParts::engine->serviceId_, "");
}

TEST_F(FacadeTest, UnregisteringOnlyRemovesHostWindows) {
    EXPECT_EQ(DownloadLib_RegisterWindow(nullptr, nullptr), 0u);
    const uint32_t window = record_.RegisterWindow();
    ASSERT_NE(window, 0u);
    ASSERT_EQ(DownloadLib_Initialize(window, nullptr, nullptr), DL_OK);
    // Not a handle the host registered (the worker's windows are the library's): ignored.
    for (uint32_t other = 1; other < window + 8; ++other) {
        if (other != window) {
            DownloadLib_UnregisterWindow(other);
        }
    }
    const JobHandle job = JobWithFiles();
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);
    // The library still works: its task window is alive.
    EXPECT_TRUE(LibraryWorker::Run([] {}));
    DownloadLib_UnregisterWindow(window);
    // Posting to a removed window is dropped.
    ASSERT_TRUE(LibraryWorker::Run(
        [&] { TestParts::direct->ReportEvent(LibraryWorker::Manager()->FindJob(job), 517, "x"); }));
    EXPECT_TRUE(record_.Take().empty());
}

}  // namespace
