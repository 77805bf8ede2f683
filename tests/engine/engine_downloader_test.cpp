// The engine downloader against a scripted engine over loopback: what it sends for a job, how the
// engine's messages become job reports, restarts and the give-up, and the mends: a listener of
// another user hears nothing, held jobs are handed over when the network returns, a path the
// protocol cannot carry goes direct, and the progress snapshot never divides by zero. Time-outs
// and the 30-second reset run on the test clock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "core/job.h"
#include "engine/engine_downloader.h"
#include "foundation/log.h"
#include "foundation/platform/connectivity.h"
#include "scripted_engine.h"
#include "socket_owner.h"
#include "support/loop_thread.h"
#include "support/tcp_peer.h"
#include "support/test_host.h"

namespace ep = engine_protocol;

namespace {

// What the job manager hears from the downloader.
class RecordingManager : public IJobDownloadEventListener {
  public:
    void OnEngineUpdateFile(const char*, uint32_t, uint32_t) override { calls.push_back("file"); }
    void OnEngineUpdateProgress(uint32_t, uint32_t) override { calls.push_back("progress"); }
    void OnEngineUpdated() override {
        calls.push_back("updated");
        if (onUpdated) {
            onUpdated();
        }
    }
    void OnEngineUpdateFailed() override { calls.push_back("update failed"); }
    void OnEngineGiveUp() override { calls.push_back("give up"); }
    void OnEngineGiveUpJob(CJob* job) override { moved.push_back(job); }
    void OnPathFailed(int32_t kind) override { calls.push_back("path " + std::to_string(kind)); }
    void OnEngineStateChanged(uint32_t value) override {
        calls.push_back("state " + std::to_string(value));
    }

    std::vector<std::string> calls;
    std::vector<CJob*> moved;
    // Runs when the engine is ready: the connection is being made, not yet made.
    std::function<void()> onUpdated;
};

// The host's notifications of one job.
struct JobNotes {
    static void Callback(int32_t code, int32_t, void* user) {
        static_cast<JobNotes*>(user)->codes.push_back(code);
    }
    std::vector<int32_t> codes;
};

struct FileSpec {
    std::string url;
    std::string name;
    int64_t size = -1;
};

std::vector<int32_t> PopEvents(CJob* job) {
    std::vector<int32_t> codes;
    for (;;) {
        JobEvent event{0, nullptr};
        job->PopEvent(&event);
        if (event.code == DL_OK) {
            return codes;
        }
        codes.push_back(event.code);
    }
}

int CountLogLines(const std::string& message) {
    int count = 0;
    for (const std::string& line : TestHost::LogMessages()) {
        count += line == message ? 1 : 0;
    }
    return count;
}

template <class Record>
const Record* As(const ScriptedEngine::Received& received) {
    return std::get_if<Record>(&received.message);
}

class EngineDownloaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetLog();
        folder_ = std::string(std::getenv("HOME")) + "/downloads/";
        cpSetConnectivityProbe([this] { return online_.load(); });
    }
    void TearDown() override {
        loop_.Run([&] {
            downloader_.reset();
            jobs_.clear();
        });
        cpSetConnectivityProbe({});
        cpSetOwnUserIdForTests(std::nullopt);
        if (HasFailure()) {
            for (const std::string& line : TestHost::LogMessages()) {
                std::printf("log: %s\n", line.c_str());
            }
        }
    }

    CEngineDownloaderSettings Settings(uint16_t port) {
        CEngineDownloaderSettings settings;
        settings.launcher.environment.engineFolder = [this] { return folder_ + "engine/"; };
        settings.launcher.environment.enginePath = [this] { return folder_ + "engine/e"; };
        settings.launcher.environment.secondaryPath = [] { return std::string(); };
        settings.launcher.environment.currentVersion = [] { return std::string(); };
        settings.launcher.environment.runEngine = [this](std::function<void(bool)> done) {
            ++starts_;
            done(engineStarts_);
            return std::shared_ptr<CEngineStartWatch>();
        };
        // Nobody serves the descriptor: each run ends at once and starts the engine present.
        settings.launcher.descriptorUrl =
            "http://127.0.0.1:" + std::to_string(descriptorPort_) + "/update.xml";
        settings.port = port;
        return settings;
    }

    void Create(uint16_t port) {
        loop_.Run([&] {
            downloader_ =
                std::make_unique<CEngineDownloader>(&manager_, loop_.Mutex(), Settings(port));
        });
    }
    void Create() { Create(engine_.Port()); }

    template <class F>
    auto Call(F&& fn) {
        return loop_.Call(std::forward<F>(fn));
    }

    // Steps the clock until pred holds (checked on the loop), letting sockets work in between.
    bool StepUntil(const std::function<bool()>& pred, int64_t maxMs = 20000) {
        for (int64_t stepped = 0; stepped <= maxMs; stepped += 100) {
            for (int settle = 0; settle < 20; ++settle) {
                if (Call([&] { return pred(); })) {
                    return true;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            loop_.StepClock(100);
        }
        return false;
    }
    bool UntilConnected() {
        return StepUntil([&] { return downloader_->IsConnected(); });
    }
    // Waits (real time, the loop running) until pred holds on the loop.
    bool Until(const std::function<bool()>& pred) { return loop_.WaitFor(pred, 5000); }

    CJob* MakeJob(const std::vector<FileSpec>& files, const std::string& code = "",
                  int32_t speedMode = 1, bool engineOption = false,
                  const std::string& serviceId = "svc") {
        auto job = std::make_unique<CJob>(static_cast<JobHandle>(jobs_.size() + 1),
                                          static_cast<uint32_t>(jobs_.size()));
        job->SetCode(code.c_str());
        job->SetServiceId(serviceId.c_str());
        job->SetSpeedMode(speedMode);
        job->SetEngineOption(engineOption ? 1 : 0);
        job->SetNotifyTarget(CNotifyTarget{0, &JobNotes::Callback, &notes_, nullptr});
        for (const FileSpec& file : files) {
            EXPECT_EQ(job->AddFile(file.url.c_str(), folder_.c_str(), file.name.c_str(), file.size,
                                   0x101, 2),
                      DL_OK);
        }
        jobs_.push_back(std::move(job));
        return jobs_.back().get();
    }
    int32_t Start(CJob* job) {
        return Call([&] { return downloader_->Start(job); });
    }
    // Accepts the job with an engine-side number and waits until the downloader stored it.
    void Accept(CJob* job, uint32_t engineJob, uint32_t files, uint64_t total) {
        ASSERT_TRUE(engine_.Send(ep::JobAccepted{job->Number(), engineJob, files, total}));
        ASSERT_TRUE(Until([&] { return job->EngineNumber() == engineJob; }));
    }

    LoopThread loop_;
    ScriptedEngine engine_;
    RecordingManager manager_;
    JobNotes notes_;
    std::unique_ptr<CEngineDownloader> downloader_;
    std::vector<std::unique_ptr<CJob>> jobs_;
    std::string folder_;
    uint16_t descriptorPort_ = UnusedPort();
    std::atomic<bool> online_{true};
    bool engineStarts_ = true;
    int starts_ = 0;
};

TEST_F(EngineDownloaderTest, AJobBegunBeforeTheConnectionGoesOnceConnected) {
    Create();
    CJob* job = MakeJob({{"http://h/a.bin", "a.bin", 10}}, "QK", 1, true);
    EXPECT_EQ(Start(job), DL_OK);
    EXPECT_EQ(engine_.Connections(), 0);
    EXPECT_EQ(Call([&] { return downloader_->PendingCount(); }), 0u);

    ASSERT_TRUE(UntilConnected());
    ASSERT_TRUE(engine_.WaitMessages(5));
    // The service identifier first, then the job: code, mode, engine option, list.
    EXPECT_EQ(engine_.Types(), (std::vector<uint16_t>{12, 1, 0, 17, 14}));
    const auto messages = engine_.Messages();
    EXPECT_EQ(As<ep::JobCode>(messages[1])->code, "QK");
    EXPECT_EQ(As<ep::JobMode>(messages[2])->mode, 2);
    EXPECT_EQ(As<ep::EngineOption>(messages[3])->job, job->Number());
    const ep::FileList* list = As<ep::FileList>(messages[4]);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->job, job->Number());
    EXPECT_EQ(list->serviceId, "svc");
    ASSERT_EQ(list->files.size(), 1u);
    EXPECT_EQ(list->files[0], (ep::FileRecord{0x01, 0x02, 10, folder_, "a.bin", "http://h/a.bin"}));
    EXPECT_EQ(starts_, 1);
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] Patch Fail"));
    EXPECT_EQ(manager_.calls, std::vector<std::string>{"updated"});
}

TEST_F(EngineDownloaderTest, WhatAJobSendsFollowsItsSettings) {
    Create();
    ASSERT_TRUE(UntilConnected());
    ASSERT_TRUE(engine_.WaitMessages(1));
    struct Case {
        std::string code;
        int32_t speedMode;
        bool option;
        std::vector<uint16_t> types;
        uint8_t mode;
    };
    const Case cases[] = {
        {"", 0, false, {0, 14}, 1},        // no code, no option, speed mode 0: mode 1
        {"ABC", 3, false, {1, 0, 14}, 2},  // any other speed mode: mode 2
    };
    size_t seen = engine_.Messages().size();
    for (const Case& c : cases) {
        CJob* job = MakeJob({{"http://h/" + c.code + ".bin", c.code + "x.bin", -1}}, c.code,
                            c.speedMode, c.option);
        EXPECT_EQ(Start(job), DL_OK);
        ASSERT_TRUE(engine_.WaitMessages(seen + c.types.size()));
        const std::vector<uint16_t> all = engine_.Types();
        EXPECT_EQ(std::vector<uint16_t>(all.begin() + seen, all.end()), c.types) << c.code;
        const auto messages = engine_.Messages();
        const auto* mode = As<ep::JobMode>(messages[seen + c.types.size() - 2]);
        ASSERT_NE(mode, nullptr);
        EXPECT_EQ(mode->mode, c.mode);
        EXPECT_EQ(As<ep::FileList>(messages.back())->files[0].size, UINT64_MAX);
        seen = messages.size();
        // Begun twice: refused, nothing sent.
        EXPECT_EQ(Call([&] { return downloader_->BeginJob(job); }), DL_E_FAIL);
    }
}

TEST_F(EngineDownloaderTest, ALongListTravelsFileByFileFromOneByteOverTheBound) {
    Create();
    ASSERT_TRUE(UntilConnected());
    ASSERT_TRUE(engine_.WaitMessages(1));
    // 41 + 16 × 531 + URLs (15 of 8000 bytes and a last one): 130047 bytes in one message,
    // 130048 in parts.
    struct Case {
        size_t lastUrl;
        size_t messages;
    };
    const Case cases[] = {{1510, 2}, {1511, 19}};
    size_t seen = 1;
    int n = 0;
    for (const Case& c : cases) {
        const std::string prefix = "http://h/" + std::to_string(n++);
        std::vector<FileSpec> files;
        for (int i = 0; i < 16; ++i) {
            const size_t length = i < 15 ? 8000 : c.lastUrl;
            files.push_back({prefix + std::string(length - prefix.size(), 'a' + i),
                             "f" + std::to_string(i) + ".bin"});
        }
        CJob* job = MakeJob(files);
        ASSERT_EQ(Start(job), DL_OK);
        ASSERT_TRUE(engine_.WaitMessages(seen + c.messages));
        const auto messages = engine_.Messages();
        const std::vector<uint16_t> all = engine_.Types();
        std::vector<uint16_t> expected{0, 14};
        if (c.messages > 2) {
            expected = {0, 19};
            expected.insert(expected.end(), 16, 20);
            expected.push_back(21);
        }
        EXPECT_EQ(std::vector<uint16_t>(all.begin() + seen, all.end()), expected);
        if (c.messages > 2) {
            EXPECT_EQ(As<ep::FileListBegin>(messages[seen + 1])->fileCount, 16u);
            EXPECT_EQ(As<ep::FileListEntry>(messages[seen + 17])->index, 15u);
            EXPECT_EQ(As<ep::FileListEntry>(messages[seen + 17])->file.url.size(), c.lastUrl);
            EXPECT_EQ(As<ep::FileListEnd>(messages.back())->job, job->Number());
        }
        seen = messages.size();
    }
}

TEST_F(EngineDownloaderTest, TheEnginesMessagesBecomeJobReports) {
    Create();
    ASSERT_TRUE(UntilConnected());
    CJob* job = MakeJob({{"http://h/a.bin", "a.bin", 100}, {"http://h/b.bin", "b.bin", 50}});
    ASSERT_EQ(Start(job), DL_OK);
    ASSERT_TRUE(engine_.WaitMessages(3));
    Accept(job, 77, 2, 150);
    JobSizeInfo size{};
    Call([&] { job->HandOverSizeInfo(&size); });
    EXPECT_EQ(size.fileCount, 2);
    EXPECT_EQ(size.totalBytes, 150);

    // Progress without entries: the file fields stay 0 but the file is named, at
    // min(completed, count - 1); a message for another engine-side number is ignored.
    ep::JobProgress progress{job->Number(), 77, 2, 5, 150, 120, 40, 9, {}};
    ASSERT_TRUE(engine_.Send(ep::JobProgress{job->Number(), 78, 2, 0, 150, 1, 1, 1, {}}));
    ASSERT_TRUE(engine_.Send(progress));
    ASSERT_TRUE(Until([&] { return job->Progress().totalBytes == 150; }));
    JobProgress snapshot = Call([&] { return job->Progress(); });
    EXPECT_EQ(snapshot.presentBytes, 120);
    EXPECT_EQ(snapshot.percent, 80);
    EXPECT_EQ(snapshot.speed, 40);
    EXPECT_EQ(snapshot.remainingSeconds, 0);  // 30 / 40
    EXPECT_EQ(snapshot.fileIndex, 1);
    EXPECT_STREQ(snapshot.fileName, "b.bin");
    EXPECT_EQ(snapshot.fileSize, 0);

    ASSERT_TRUE(engine_.Send(
        ep::FileCompleted{job->Number(), 77, "svc", folder_ + "a.bin", "http://h/a.bin"}));
    ASSERT_TRUE(engine_.Send(ep::FileCompletedAt{job->Number(), 77, "svc", folder_ + "b.bin",
                                                 "/shown/b.bin", "http://h/b.bin"}));
    ASSERT_TRUE(engine_.Send(ep::JobDiskStatus{job->Number(), 77, 1, folder_}));
    ASSERT_TRUE(engine_.Send(ep::JobDiskStatus{job->Number(), 77, 0, folder_}));
    ASSERT_TRUE(engine_.Send(ep::NetworkPoor{}));
    ASSERT_TRUE(engine_.Send(ep::NetworkBack{}));
    ASSERT_TRUE(engine_.Send(ep::EngineState{2}));
    ASSERT_TRUE(engine_.Send(ep::ResumeQuery{job->Number()}));
    ASSERT_TRUE(Until([&] { return manager_.calls.back() == "state 2"; }));
    ASSERT_TRUE(Until([&] {
        return std::count(notes_.codes.begin(), notes_.codes.end(), DLN_JOB_RESUME_QUERY) == 1;
    }));
    std::vector<std::string> files;
    Call([&] {
        for (JobFileMessage message{}; job->PopFileMessage(&message), message.sequence != 0;
             message = {}) {
            files.emplace_back(message.text);
        }
    });
    EXPECT_EQ(files, (std::vector<std::string>{"http://h/a.bin," + folder_ + "a.bin",
                                               "http://h/b.bin,/shown/b.bin"}));
    EXPECT_EQ(Call([&] { return PopEvents(job); }),
              (std::vector<int32_t>{JOB_EVENT_DISK_FULL, JOB_EVENT_NETWORK_POOR,
                                    JOB_EVENT_NETWORK_BACK}));

    // The host's answer reaches the engine with both values.
    const size_t before = engine_.Messages().size();
    EXPECT_EQ(Call([&] { return downloader_->ReplyToResumeQuery(job, 1, 0); }), DL_OK);
    ASSERT_TRUE(engine_.WaitMessages(before + 1));
    EXPECT_EQ(engine_.Last<ep::ResumeReply>(), (ep::ResumeReply{77, job->Number(), 1, 0}));

    ASSERT_TRUE(engine_.Send(ep::JobFinished{job->Number(), 77, 0, 0}));
    ASSERT_TRUE(Until([&] { return !downloader_->Holds(job); }));
    JobResult result{};
    Call([&] { job->HandOverResult(&result); });
    EXPECT_EQ(result.value1, 0);
    EXPECT_EQ(job->GetState(), CJob::kDone);
    EXPECT_EQ(notes_.codes.back(), DLN_JOB_DONE);
    EXPECT_TRUE(manager_.moved.empty());
}

TEST_F(EngineDownloaderTest, AGiveUpMovesOnlyThatJobAndAFailureEndsOnlyItsJob) {
    Create();
    ASSERT_TRUE(UntilConnected());
    CJob* a = MakeJob({{"http://h/a.bin", "a.bin", 10}});
    CJob* b = MakeJob({{"http://h/b.bin", "b.bin", 10}});
    CJob* c = MakeJob({{"http://h/c.bin", "c.bin", 10}});
    for (CJob* job : {a, b, c}) {
        ASSERT_EQ(Start(job), DL_OK);
    }
    ASSERT_TRUE(engine_.WaitMessages(7));
    Accept(a, 1, 1, 10);
    Accept(b, 2, 1, 10);
    Accept(c, 3, 1, 10);

    ASSERT_TRUE(engine_.Send(ep::JobFinished{a->Number(), 1, 1, 1}));
    ASSERT_TRUE(engine_.Send(ep::JobFailed{c->Number(), 3, "disk gone"}));
    ASSERT_TRUE(Until([&] { return !downloader_->Holds(a) && !downloader_->Holds(c); }));
    EXPECT_EQ(manager_.moved, std::vector<CJob*>{a});
    EXPECT_EQ(Call([&] { return PopEvents(a); }), std::vector<int32_t>{JOB_EVENT_MOVED});
    std::string text;
    Call([&] {
        const int32_t length = c->EventTextLength();
        std::string buffer(static_cast<size_t>(length), '\0');
        JobEvent event{0, buffer.data()};
        c->PopEvent(&event);
        EXPECT_EQ(event.code, JOB_EVENT_FAILED);
        text = buffer.c_str();
    });
    EXPECT_EQ(text, "disk gone");
    EXPECT_TRUE(Call([&] { return downloader_->Holds(b); }));
    EXPECT_EQ(Call([&] { return downloader_->PendingCount(); }), 1u);

    // The job that stayed still reports; stopping it tells the engine.
    ASSERT_TRUE(engine_.Send(ep::JobProgress{b->Number(), 2, 1, 0, 10, 5, 1, 1, {}}));
    ASSERT_TRUE(Until([&] { return b->Progress().presentBytes == 5; }));
    const size_t before = engine_.Messages().size();
    EXPECT_EQ(Call([&] { return downloader_->Stop(b); }), DL_OK);
    ASSERT_TRUE(engine_.WaitMessages(before + 1));
    EXPECT_EQ(engine_.Last<ep::StopJob>(), (ep::StopJob{b->Number(), 2}));
}

TEST_F(EngineDownloaderTest, AMessageTheLibraryCannotUseEndsTheConnection) {
    struct Case {
        const char* what;
        ep::Bytes frame;
    };
    const Case cases[] = {
        {"category 0x0100 type 3", ep::Frame(ep::kCategory, ep::kStopJob, ep::Bytes(8, 0))},
        {"type 4 short of its fixed part", ep::Frame(ep::kCategory, ep::kJobAccepted, {1, 2})},
        {"type 11 whose text does not end",
         ep::Frame(ep::kCategory, ep::kJobFailed, ep::Bytes(10, 'x'))},
    };
    Create();
    int connections = 0;
    for (const Case& c : cases) {
        ASSERT_TRUE(UntilConnected()) << c.what;
        ASSERT_TRUE(engine_.WaitConnections(++connections));
        const uint32_t restarts = Call([&] { return downloader_->RestartCount(); });
        ASSERT_TRUE(engine_.SendBytes(c.frame));
        EXPECT_TRUE(engine_.WaitPeerClosed()) << c.what;
        ASSERT_TRUE(Until([&] { return !downloader_->IsConnected(); }));
        EXPECT_EQ(Call([&] { return downloader_->RestartCount(); }), restarts + 1) << c.what;
    }
    EXPECT_EQ(CountLogLines("[TessloadLib] localClosed()"), 3);
}

TEST_F(EngineDownloaderTest, AnEndOfAJobNeverAcceptedEndsTheConnectionAndTheJobGoesAgain) {
    Create();
    ASSERT_TRUE(UntilConnected());
    ASSERT_TRUE(engine_.WaitConnections(1));
    CJob* job = MakeJob({{"http://h/a.bin", "a.bin", 10}});
    ASSERT_EQ(Start(job), DL_OK);
    ASSERT_TRUE(engine_.WaitMessages(3));
    // Without this the job would wait for an acceptance that never comes.
    ASSERT_TRUE(engine_.Send(ep::JobFinished{job->Number(), 9, 1, 0}));
    EXPECT_TRUE(engine_.WaitPeerClosed());
    ASSERT_TRUE(Until([&] { return !downloader_->IsConnected(); }));
    ASSERT_TRUE(UntilConnected());
    ASSERT_TRUE(Until([&] {
        const auto types = engine_.Types();
        return std::count(types.begin(), types.end(), static_cast<uint16_t>(ep::kFileList)) == 2;
    }));
    Accept(job, 10, 1, 10);
    EXPECT_EQ(CountLogLines("[TessloadLib] Engine ended job " + std::to_string(job->Number()) +
                            " it never accepted"),
              1);
}

TEST_F(EngineDownloaderTest, ShortConnectionsCountUpAndALongOneResetsTheCount) {
    Create();
    // The library counts as connected once its connect completes; the engine side can close
    // the connection only once it has accepted it.
    int accepted = 0;
    const auto untilBothEndsConnected = [&] {
        ++accepted;
        return UntilConnected() && Until([&] { return engine_.Connections() >= accepted; });
    };
    for (uint32_t expected = 2; expected <= 4; ++expected) {
        ASSERT_TRUE(untilBothEndsConnected());
        engine_.CloseConnection();
        ASSERT_TRUE(Until([&] { return !downloader_->IsConnected(); }));
        EXPECT_EQ(Call([&] { return downloader_->RestartCount(); }), expected);
    }
    ASSERT_TRUE(untilBothEndsConnected());
    loop_.StepClock(31000);
    engine_.CloseConnection();
    ASSERT_TRUE(Until([&] { return !downloader_->IsConnected(); }));
    EXPECT_EQ(Call([&] { return downloader_->RestartCount(); }), 1u);
}

// Silence alone is no fault (an engine may learn sizes or wait for an answer for long), but an
// engine that holds a job must answer a state request: after 10 s of silence the library asks,
// and without an answer 10 s later the connection goes and the job is sent again.
TEST_F(EngineDownloaderTest, ASilentEngineIsAskedAndAMuteOneRestarted) {
    Create();
    ASSERT_TRUE(UntilConnected());
    ASSERT_TRUE(engine_.WaitConnections(1));
    CJob* job = MakeJob({{"http://h/a.bin", "a.bin", 10}});
    ASSERT_EQ(Start(job), DL_OK);
    ASSERT_TRUE(engine_.WaitMessages(3));  // service identifier, mode, list
    const auto countStateRequests = [&] {
        const auto types = engine_.Types();
        return std::count(types.begin(), types.end(), static_cast<uint16_t>(ep::kEngineState));
    };
    // Test-clock milliseconds until pred holds.
    const auto stepsUntil = [&](const std::function<bool()>& pred) -> int64_t {
        for (int64_t stepped = 0; stepped <= 30000; stepped += 100) {
            for (int settle = 0; settle < 5; ++settle) {
                if (Call([&] { return pred(); })) {
                    return stepped;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            loop_.StepClock(100);
        }
        return -1;
    };
    const int64_t firstAsked = stepsUntil([&] { return countStateRequests() == 1; });
    EXPECT_GE(firstAsked, 9000);
    EXPECT_LE(firstAsked, 11100);
    // A live engine answers: the connection stays, and the silence counts afresh.
    ASSERT_TRUE(engine_.Send(ep::EngineState{1}));
    ASSERT_TRUE(Until(
        [&] { return std::count(manager_.calls.begin(), manager_.calls.end(), "state 1") == 1; }));
    const int64_t secondAsked = stepsUntil([&] { return countStateRequests() == 2; });
    EXPECT_GE(secondAsked, 9000);
    EXPECT_TRUE(Call([&] { return downloader_->IsConnected(); }));
    // A mute one is left 10 s later (the library reconnects at once: its log says it went).
    const int closedBefore = Call([&] { return CountLogLines("[TessloadLib] localClosed()"); });
    const int64_t left =
        stepsUntil([&] { return CountLogLines("[TessloadLib] localClosed()") > closedBefore; });
    EXPECT_GE(left, 9000);
    EXPECT_LE(left, 11100);
    ASSERT_TRUE(UntilConnected());
    ASSERT_TRUE(Until([&] {
        const auto types = engine_.Types();
        return std::count(types.begin(), types.end(), static_cast<uint16_t>(ep::kFileList)) == 2;
    }));
    bool logged = false;
    for (const std::string& line : TestHost::LogMessages()) {
        logged = logged || line.find("no answer to a state request") != std::string::npos;
    }
    EXPECT_TRUE(logged);
}

// A connection that lasts over 30 s forgives the restarts before it; an engine that always dies
// after that long would be restarted for ever. The job it held goes direct after five losses.
TEST_F(EngineDownloaderTest, AJobWhoseEngineKeepsDyingAfterHalfAMinuteGoesDirect) {
    Create();
    CJob* job = MakeJob({{"http://h/a.bin", "a.bin", 10}});
    ASSERT_EQ(Start(job), DL_OK);
    for (int connection = 1; connection <= 6; ++connection) {
        ASSERT_TRUE(UntilConnected());
        ASSERT_TRUE(Until([&] {
            const auto types = engine_.Types();
            return std::count(types.begin(), types.end(), static_cast<uint16_t>(ep::kFileList)) ==
                   connection;
        }));
        ASSERT_TRUE(Until([&] { return engine_.Connections() >= connection; }));
        // Alive for 35 s: it speaks every 5 s.
        for (int step = 0; step < 7; ++step) {
            const size_t heard = Call([&] { return manager_.calls.size(); });
            ASSERT_TRUE(engine_.Send(ep::EngineState{1}));
            ASSERT_TRUE(Until([&] { return manager_.calls.size() > heard; }));
            loop_.StepClock(5000);
        }
        EXPECT_TRUE(Call([&] { return downloader_->IsConnected(); }));
        engine_.CloseConnection();
        // The library reconnects at once: its log says the connection went.
        ASSERT_TRUE(
            Until([&] { return CountLogLines("[TessloadLib] localClosed()") == connection; }));
        EXPECT_EQ(Call([&] { return downloader_->RestartCount(); }), 1u);
        EXPECT_EQ(manager_.moved.empty(), connection < 6) << connection;
    }
    EXPECT_EQ(manager_.moved, std::vector<CJob*>{job});
    EXPECT_FALSE(Call([&] { return downloader_->Holds(job); }));
    // The engine itself is kept: the next job still goes to it.
    EXPECT_EQ(std::count(manager_.calls.begin(), manager_.calls.end(), "give up"), 0);
}

TEST_F(EngineDownloaderTest, AfterTheSixthFailedConnectionTheEngineIsGivenUp) {
    Create(UnusedPort());  // nobody listens
    ASSERT_TRUE(
        StepUntil([&] { return !manager_.calls.empty() && manager_.calls.back() == "give up"; }));
    EXPECT_EQ(CountLogLines("[TessloadLib] localClosed()"), 6);
    EXPECT_EQ(CountLogLines("[TessloadLib] CEngineDownloader MaxTry Over"), 1);
    EXPECT_EQ(starts_, 6);
    // Nothing more happens: no further launcher, no further connection.
    loop_.StepClock(3000);
    EXPECT_EQ(starts_, 6);
}

TEST_F(EngineDownloaderTest, AnEngineThatNeitherUpdatesNorStartsIsGivenUpAtOnce) {
    engineStarts_ = false;
    Create();
    ASSERT_TRUE(StepUntil([&] { return manager_.calls.size() >= 2; }));
    EXPECT_EQ(manager_.calls, (std::vector<std::string>{"update failed", "give up"}));
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] Patch Fail"));
}

TEST_F(EngineDownloaderTest, ADownloaderDestroyedBeforeItsUpdateRanHearsNothing) {
    Create();
    loop_.Run([&] { downloader_.reset(); });
    loop_.StepClock(2000);
    EXPECT_EQ(starts_, 0);
    EXPECT_TRUE(manager_.calls.empty());
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] CEngineDownloader Destroy"));
}

TEST_F(EngineDownloaderTest, AListenerOfAnotherUserHearsNothing) {
    cpSetOwnUserIdForTests(getuid() + 1);
    Create();
    CJob* job = MakeJob({{"http://h/secret.bin", "secret.bin", 10}});
    ASSERT_EQ(Start(job), DL_OK);
    ASSERT_TRUE(StepUntil([&] { return engine_.Connections() >= 2; }));
    EXPECT_TRUE(engine_.Messages().empty());
    EXPECT_FALSE(engine_.SawBrokenBytes());
    EXPECT_GE(Call([&] { return downloader_->RestartCount(); }), 2u);
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] localClosed()"));
}

TEST_F(EngineDownloaderTest, JobsHeldWhileTheNetworkWasAwayGoWhenItReturns) {
    Create();
    CJob* job = MakeJob({{"http://h/a.bin", "a.bin", 10}});
    ASSERT_EQ(Start(job), DL_OK);
    // A tick finds the machine offline after the engine was ready, before the connection is up.
    bool connectedBeforeTick = false;
    manager_.onUpdated = [&] {
        connectedBeforeTick = downloader_->IsConnected();
        online_ = false;
        downloader_->TickJob(job);
    };
    ASSERT_TRUE(UntilConnected());
    ASSERT_FALSE(connectedBeforeTick) << "the connection was made before the tick";
    ASSERT_TRUE(engine_.WaitMessages(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(engine_.Types(), std::vector<uint16_t>{12}) << "held while offline";

    // The tick that sees the network back hands the held job over on this same connection.
    online_ = true;
    loop_.StepClock(1000);
    ASSERT_TRUE(engine_.WaitMessages(3));
    EXPECT_EQ(engine_.Types(), (std::vector<uint16_t>{12, 0, 14}));
    EXPECT_EQ(engine_.Connections(), 1);
    EXPECT_EQ(Call([&] { return PopEvents(job); }),
              (std::vector<int32_t>{JOB_EVENT_NETWORK_POOR, JOB_EVENT_NETWORK_BACK}));
}

TEST_F(EngineDownloaderTest, AJobTheEngineCannotTakeGoesDirect) {
    Create();
    ASSERT_TRUE(UntilConnected());
    ASSERT_TRUE(engine_.WaitMessages(1));
    const auto urlOf = [](size_t length) {
        std::string url = "http://h/u?";
        url.resize(length, 'u');
        return url;
    };
    // Folder and name together reach the 260 bytes of the path field.
    const std::string longFolder = std::string(std::getenv("HOME")) + "/" + std::string(200, 'd');
    const std::string longName(260 - longFolder.size() - 1, 'n');
    std::vector<FileSpec> overBudget;
    for (int i = 0; i <= 8192; ++i) {
        overBudget.push_back({urlOf(8192), "f" + std::to_string(i)});
    }
    struct Case {
        const char* what;
        std::vector<FileSpec> files;
        std::string folder;
    };
    const Case cases[] = {
        {"a path of 260 bytes",
         {{"http://h/ok.bin", "ok.bin", 10}, {"http://h/l", longName}},
         longFolder + "/"},
        {"a URL over 8 KiB", {{urlOf(8193), "a.bin"}}, folder_},
        {"mirrors over 8 KiB together", {{urlOf(4096) + "|" + urlOf(4096), "a.bin"}}, folder_},
        {"URLs over 64 MiB together", overBudget, folder_},
    };
    const std::string folder = folder_;
    for (const Case& c : cases) {
        folder_ = c.folder;
        CJob* job = MakeJob(c.files);
        manager_.moved.clear();
        EXPECT_EQ(Start(job), DL_OK);
        EXPECT_EQ(manager_.moved, std::vector<CJob*>{job}) << c.what;
        EXPECT_FALSE(Call([&] { return downloader_->Holds(job); }));
        EXPECT_EQ(Call([&] { return PopEvents(job); }), std::vector<int32_t>{JOB_EVENT_MOVED});
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(engine_.Types(), std::vector<uint16_t>{12});
    // At the bound the engine takes it.
    folder_ = folder;
    CJob* job = MakeJob({{urlOf(4095) + "|" + urlOf(4096), "a.bin"}});
    EXPECT_EQ(Start(job), DL_OK);
    ASSERT_TRUE(engine_.WaitMessages(3));
    EXPECT_EQ(As<ep::FileList>(engine_.Messages().back())->files[0].url.size(), 8192u);
}

TEST(EngineProgressSnapshot, NeverDividesByZeroNorWraps) {
    struct Case {
        const char* what;
        uint64_t total, present, fileSize, filePresent;
        int32_t percent;
        int64_t remaining;
        int32_t filePercent;
        int64_t fileRemaining;
    };
    const Case cases[] = {
        {"half way", 200, 100, 50, 10, 50, 10, 20, 4},
        {"sizes of 0", 0, 0, 0, 0, 0, 0, 0, 0},
        {"bytes but no size yet", 0, 30, 0, 30, 0, 0, 0, 0},
        {"more present than total", 100, 150, 10, 20, 100, 0, 100, 0},
        {"size not known (all ones)", UINT64_MAX, 5, UINT64_MAX, 5, 0, 0, 0, 0},
        {"huge and nearly done", 1ull << 62, (1ull << 62) - 10, 1ull << 62, 1, 99, 1, 0,
         (int64_t{1} << 62) / 10},
    };
    CJob job(1, 0);
    ASSERT_EQ(job.AddFile("http://h/a", "/tmp/x/", "a", -1, 0, 0), DL_OK);
    for (const Case& c : cases) {
        CSpeedSampler jobSampler, fileSampler;
        ep::JobProgress message{0, 1, 1, 0, c.total, c.present, 10, 5, {}};
        message.entries.push_back({"a", c.fileSize, c.filePresent, 10, "/tmp/x/a"});
        const JobProgress p = BuildEngineProgress(message, job, &jobSampler, &fileSampler);
        EXPECT_EQ(p.percent, c.percent) << c.what;
        EXPECT_EQ(p.remainingSeconds, c.remaining) << c.what;
        EXPECT_EQ(p.filePercent, c.filePercent) << c.what;
        EXPECT_EQ(p.fileRemainingSeconds, c.fileRemaining) << c.what;
        EXPECT_GE(p.totalBytes, 0) << c.what;
        EXPECT_STREQ(p.fileName, "a") << c.what;
    }
    // A job without files names none; a name longer than the field is cut to 65 bytes.
    CJob empty(2, 1);
    CSpeedSampler s1, s2;
    EXPECT_STREQ(BuildEngineProgress(ep::JobProgress{}, empty, &s1, &s2).fileName, "");
    CJob longName(3, 2);
    ASSERT_EQ(longName.AddFile("http://h/b", "/tmp/x/", std::string(100, 'b').c_str(), -1, 0, 0),
              DL_OK);
    EXPECT_EQ(std::string(BuildEngineProgress(ep::JobProgress{}, longName, &s1, &s2).fileName),
              std::string(65, 'b'));
}

}  // namespace
