// The whole product under faults: tev-download as a user runs it, the library in it installing,
// starting and restarting the real engine program TEVDownloadV32 from the update the project's
// test server publishes, and the direct downloader taking over when the engine path gives up.
// Every row ends in byte-identical files or one clear error; every wait is bounded.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "downloadlib.h"
#include "publish/publisher.h"
#include "support/subprocess.h"
#include "support/tcp_peer.h"
#include "support/test_certificates.h"
#include "support/test_data.h"
#include "support/test_host.h"
#include "support/update_signing.h"
#include "test_server/test_http_server.h"
#include "update/version_text.h"

namespace fs = std::filesystem;
using tev::tools::HttpRule;
using tev::tools::TestHttpServer;

extern char** environ;

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFileList = 3;
constexpr int kExitDownload = 5;

fs::path TestRoot() {
    return fs::path(std::getenv("TEV_TEST_ROOT"));
}

fs::path Site() {
    const fs::path site = TestRoot() / "site";
    fs::create_directories(site);
    return site;
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The number after "field": in a JSON line of tev-download, -1 when absent.
int64_t JsonNumber(const std::string& line, const std::string& field) {
    const size_t at = line.find("\"" + field + "\":");
    return at == std::string::npos
               ? -1
               : std::strtoll(line.c_str() + at + field.size() + 3, nullptr, 10);
}

class EngineFaultsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Ok()) << server_.Error();
        // The engine runs detached from the program that started it; as subreaper this test
        // adopts it, so that it can reap every engine it ends.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        folder_ = TestRoot() / "game";
        engineFolder_ = fs::path(std::getenv("XDG_DATA_HOME")) / "Velmor" / "tevDownloadV32";
        enginePort_ = UnusedPort();
    }

    void TearDown() override {
        StopEngines();
        if (!mounted_.empty()) {
            umount2(mounted_.c_str(), MNT_DETACH);
        }
    }

    fs::path EnginePath() const { return engineFolder_ / "TEVDownloadV32"; }
    std::string LibraryLog() const { return ReadText(engineFolder_ / "config" / "service.log"); }
    std::string EngineLog() const { return ReadText(engineFolder_ / "config" / "engine.log"); }

    // Serves the files under /game/ and a file list naming them.
    void Serve(const std::vector<std::pair<std::string, std::string>>& files) {
        std::string list;
        for (const auto& [name, bytes] : files) {
            server_.SetContent("/game/" + name, bytes);
            list += server_.Url("/game/" + name) + "\r\n";
        }
        server_.SetContent("/game/filelist.txt", list);
    }

    // Publishes program as the engine update the library finds on the download server, under
    // the version given (the program's own when empty).
    void PublishEngine(const fs::path& program, std::string version = {}) {
        tev::tools::PublishOptions options;
        options.outputFolder = Site();
        options.baseUrl = server_.Url("");
        options.forTest = true;
        options.signingKey = TestUpdateKey().privateKey;
        options.program = program;
        if (version.empty()) {
            ASSERT_TRUE(GetFileVersionText(program, &version));
        }
        options.version = version;
        std::string error;
        ASSERT_TRUE(tev::tools::Publish(options, &error)) << error;
    }

    // A build of the engine that differs from the built one in its bytes (a trailer after the
    // ELF image, which the loader never reads): what a newer release looks like on disk.
    fs::path OtherEngineBuild() {
        const fs::path other = TestRoot() / "other" / "TEVDownloadV32";
        fs::create_directories(other.parent_path());
        fs::copy_file(TEV_ENGINE_PROGRAM, other, fs::copy_options::overwrite_existing);
        std::ofstream(other, std::ios::app | std::ios::binary) << "another release\n";
        return other;
    }

    // Places the built engine in the engine folder, as an earlier update would have.
    void InstallEngine() {
        fs::create_directories(engineFolder_);
        fs::copy_file(TEV_ENGINE_PROGRAM, EnginePath(), fs::copy_options::overwrite_existing);
    }

    std::vector<std::pair<std::string, std::string>> Environment(uint16_t downloadServerPort) {
        return {{"TEV_DOWNLOAD_SERVER", "127.0.0.1:" + std::to_string(downloadServerPort)},
                {"TEV_ENGINE_PORT", std::to_string(enginePort_)},
                // Statistics go to a port nobody listens on: no row depends on them.
                {"TEV_REPORT_SERVER", "127.0.0.1:" + std::to_string(UnusedPort())},
                // An engine this test misses still ends soon.
                {"TEV_ENGINE_IDLE_SECONDS", "30"}};
    }

    ProcessResult Download(ProcessOptions options = {}, int downloadServerPort = -1,
                           const std::string& listUrl = {}, bool install = false) {
        for (auto& variable :
             Environment(downloadServerPort < 0 ? server_.Port()
                                                : static_cast<uint16_t>(downloadServerPort))) {
            options.environment.push_back(std::move(variable));
        }
        if (options.timeoutMs == 60000) {
            options.timeoutMs = 45000;
        }
        std::vector<std::string> arguments = {TEV_DOWNLOAD_PROGRAM, "--json", "--resume=yes",
                                              "--folder", folder_.string()};
        if (install) {
            arguments.push_back("--install");
        }
        arguments.push_back(listUrl.empty() ? server_.Url("/game/filelist.txt") : listUrl);
        return RunProcess(arguments, options);
    }

    // How many requests of path the server had when the engine was killed.
    size_t MarkOf(const std::string& path) const { return server_.RangeHeaders(path).size(); }
    // After the kill the file resumed: no piece is asked from the file's start again, and the
    // pieces asked come to less than the whole file (what the killed engine recorded stays).
    void ExpectOnlyMissingBytesMoved(size_t mark, const std::string& path, uint64_t size) {
        const std::vector<std::string> ranges = server_.RangeHeaders(path);
        ASSERT_GT(ranges.size(), mark);
        uint64_t asked = 0;
        for (size_t i = mark; i < ranges.size(); ++i) {
            unsigned long long first = 0;
            unsigned long long last = 0;
            ASSERT_EQ(std::sscanf(ranges[i].c_str(), "bytes=%llu-%llu", &first, &last), 2)
                << ranges[i];
            EXPECT_NE(first, 0u) << ::testing::PrintToString(ranges);
            asked += last - first + 1;
        }
        EXPECT_LT(asked, size) << ::testing::PrintToString(ranges);
    }

    // Every running engine of this test's engine folder (also one whose file was replaced).
    std::vector<pid_t> EnginePids() const {
        std::vector<pid_t> pids;
        DIR* proc = opendir("/proc");
        if (proc == nullptr) {
            return pids;
        }
        const std::string program = EnginePath().string();
        while (const dirent* entry = readdir(proc)) {
            const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
            if (pid <= 0) {
                continue;
            }
            char exe[4096];
            const std::string link = "/proc/" + std::string(entry->d_name) + "/exe";
            const ssize_t length = readlink(link.c_str(), exe, sizeof exe - 1);
            if (length > 0 &&
                std::string(exe, static_cast<size_t>(length)).rfind(program, 0) == 0) {
                pids.push_back(pid);
            }
        }
        closedir(proc);
        return pids;
    }

    void KillEngines() {
        for (const pid_t pid : EnginePids()) {
            kill(pid, SIGKILL);
        }
    }

    // Ends every engine and reaps what this test adopted; bounded.
    void StopEngines() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        do {
            KillEngines();
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            if (EnginePids().empty()) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (std::chrono::steady_clock::now() < deadline);
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }

    TestHttpServer server_{{.root = Site()}};
    fs::path folder_;
    fs::path engineFolder_;
    uint16_t enginePort_ = 0;
    std::string mounted_;
};

// Killed mid-job, the engine is started again by a new launcher, the job is sent again, the
// resume question is answered yes, and only what was not yet on disk moves again. The host gives
// the file's size, as the window does once it knows it.
TEST_F(EngineFaultsTest, AnEngineKilledMidJobIsRestartedAndOnlyTheMissingBytesMove) {
    const std::string big = TestBytes(12 << 20, 11);
    server_.SetContent("/game/big.pak", big);
    // Paced, so that the kill lands mid-file.
    server_.AddRule("/game/big.pak", {.kind = HttpRule::Rate, .bytesPerSecond = 1 << 20});
    PublishEngine(TEV_ENGINE_PROGRAM);
    for (const auto& [name, value] : Environment(server_.Port())) {
        setenv(name.c_str(), value.c_str(), 1);
    }
    TestHost host(TestHost::Options{.engine = true});
    ASSERT_EQ(host.Initialize(), DL_OK);
    const JobHandle job = host.CreateJob("svc");
    const std::string folder = folder_.string() + "/";
    ASSERT_EQ(DownloadLib_AddJobFile(job, server_.Url("/game/big.pak").c_str(), folder.c_str(),
                                     "big.pak", static_cast<uint32_t>(big.size()), 0, 0),
              DL_OK);
    ASSERT_EQ(DownloadLib_StartJob(job, 1), DL_OK);

    JobProgress progress{};
    for (int seen = 1; progress.presentBytes < static_cast<int64_t>(big.size() / 4); ++seen) {
        ASSERT_TRUE(host.WaitFor(DLN_JOB_PROGRESS, seen));
        ASSERT_EQ(DownloadLib_GetJobProgress(job, &progress), DL_OK);
    }
    const std::vector<pid_t> killed = EnginePids();
    ASSERT_EQ(killed.size(), 1u);
    KillEngines();
    const size_t mark = MarkOf("/game/big.pak");

    ASSERT_TRUE(host.WaitFor(DLN_JOB_RESUME_QUERY));
    EXPECT_EQ(DownloadLib_ReplyResume(job, 1, 1), DL_OK);
    ASSERT_TRUE(host.WaitFor(DLN_JOB_DONE, 1, 60000));
    const std::vector<int32_t> events = host.PopEvents(job);
    host.Finalize();
    EXPECT_TRUE(ReadWholeFile(folder_ / "big.pak") == big);
    EXPECT_TRUE(events.empty()) << "the job stayed on the engine path";
    EXPECT_EQ(host.Count(DLN_ENGINE_UPDATED), 2) << "one start, one restart";
    EXPECT_FALSE(Contains(LibraryLog(), "MaxTry Over"));
    ExpectOnlyMissingBytesMoved(mark, "/game/big.pak", big.size());
    const std::vector<pid_t> now = EnginePids();
    ASSERT_EQ(now.size(), 1u);
    EXPECT_NE(now[0], killed[0]);
}

// The same through tev-download, which gives no sizes: the restarted engine finds part data of
// a file whose size it was not given, and still asks the resume question.
TEST_F(EngineFaultsTest, AnEngineKilledMidJobResumesWhenTheHostGaveNoSizes) {
    const std::string big = TestBytes(12 << 20, 11);
    Serve({{"big.pak", big}});
    // Paced, so that the kill lands mid-file; the size check (no Range) runs at full speed.
    server_.AddRule("/game/big.pak",
                    {.kind = HttpRule::Rate, .bytesPerSecond = 1 << 20, .onlyWithRange = true});
    PublishEngine(TEV_ENGINE_PROGRAM);

    std::atomic<int> killed{0};
    size_t mark = 0;
    ProcessOptions options;
    options.onOutputLine = [&](const std::string& line, pid_t) {
        if (killed == 0 && Contains(line, "\"name\":\"job-progress\"") &&
            JsonNumber(line, "present") >= static_cast<int64_t>(big.size() / 4)) {
            killed = static_cast<int>(EnginePids().size());
            KillEngines();
            mark = MarkOf("/game/big.pak");
        }
    };
    const ProcessResult result = Download(options);
    ASSERT_EQ(result.exitCode, kExitSuccess) << result.out << result.err;
    ASSERT_GE(killed, 1) << result.out;
    EXPECT_TRUE(ReadWholeFile(folder_ / "big.pak") == big);
    EXPECT_TRUE(Contains(result.out, "\"name\":\"resume-query\",\"resume\":1")) << result.out;
    EXPECT_FALSE(Contains(result.out, "\"event\":518")) << "the job stayed on the engine path";
    EXPECT_FALSE(Contains(LibraryLog(), "MaxTry Over"));
    ExpectOnlyMissingBytesMoved(mark, "/game/big.pak", big.size());
    EXPECT_FALSE(EnginePids().empty()) << "a new engine took the job over";
}

// Small files, whose size the engine learns from the answer that also completes them: the job is
// accepted, its files reported and the job finished on the engine path.
TEST_F(EngineFaultsTest, AJobOfSmallFilesEndsOnTheEnginePath) {
    Serve({{"readme.txt", "QK sample game\n"}, {"setup.sh", "#!/bin/sh\nexit 0\n"}});
    PublishEngine(TEV_ENGINE_PROGRAM);
    ProcessOptions options;
    options.timeoutMs = 20000;
    const ProcessResult result = Download(options);
    ASSERT_EQ(result.exitCode, kExitSuccess) << result.out << result.err << EngineLog();
    EXPECT_EQ(ReadWholeFile(folder_ / "readme.txt"), "QK sample game\n");
    EXPECT_EQ(ReadWholeFile(folder_ / "setup.sh"), "#!/bin/sh\nexit 0\n");
    EXPECT_TRUE(Contains(result.out, "\"name\":\"job-size\"")) << result.out;
    EXPECT_FALSE(Contains(result.out, "\"event\":518"));
}

// A second run of a finished download: the engine reports every file complete, the files stay as
// they are, and the host finds the installer among them and starts it again.
TEST_F(EngineFaultsTest, ASecondRunStillFindsTheInstaller) {
    const std::string data = TestBytes(9 << 20, 17);
    const std::string installer = "#!/bin/sh\necho ran >> \"$(dirname \"$0\")/INSTALLED\"\n";
    Serve({{"data.pak", data}, {"install.sh", installer}});
    PublishEngine(TEV_ENGINE_PROGRAM);
    ProcessOptions options;
    options.timeoutMs = 30000;
    const ProcessResult first = Download(options, -1, {}, true);
    ASSERT_EQ(first.exitCode, kExitSuccess) << first.out << first.err;

    const ProcessResult second = Download(options, -1, {}, true);
    ASSERT_EQ(second.exitCode, kExitSuccess) << second.out << second.err;
    EXPECT_TRUE(ReadWholeFile(folder_ / "data.pak") == data);
    EXPECT_TRUE(Contains(second.out, "\"path\":\"" + (folder_ / "install.sh").string()))
        << second.out;
    EXPECT_FALSE(Contains(second.out, "\"event\":518")) << "the engine carried it";
    std::string ran;
    for (int i = 0; i < 200 && std::count(ran.begin(), ran.end(), '\n') < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        ran = ReadText(folder_ / "INSTALLED");
    }
    EXPECT_EQ(ran, "ran\nran\n") << "the installer ran after each run";
}

// An engine that dies every time it is started: after the sixth short-lived connection the
// engine path is given up and the direct downloader finishes the job.
TEST_F(EngineFaultsTest, AnEngineKilledSixTimesInARowLeavesTheJobToTheDirectDownloader) {
    const std::string data = TestBytes(3 << 20, 12);
    Serve({{"data.pak", data}});
    PublishEngine(TEV_ENGINE_PROGRAM);
    std::atomic<int> starts{0};
    ProcessOptions options;
    options.onOutputLine = [&](const std::string& line, pid_t) {
        // Reported once the launcher started the engine, while the library connects to it.
        if (Contains(line, "\"name\":\"engine-updated\"")) {
            ++starts;
            KillEngines();
        }
    };
    const ProcessResult result = Download(options);
    ASSERT_EQ(result.exitCode, kExitSuccess) << result.out << result.err;
    EXPECT_TRUE(ReadWholeFile(folder_ / "data.pak") == data);
    EXPECT_EQ(starts, 6) << result.out;
    EXPECT_TRUE(Contains(LibraryLog(), "[TessloadLib] CEngineDownloader MaxTry Over"));
}

// No engine installed and no update server: the update fails at once and the direct downloader
// finishes the job within seconds (the run's time-out bounds it).
TEST_F(EngineFaultsTest, WithoutAnEngineOrAnUpdateServerTheDirectDownloaderFinishesQuickly) {
    const std::string data = TestBytes(1 << 20, 13);
    Serve({{"data.pak", data}, {"readme.txt", "hello\n"}});
    ProcessOptions options;
    options.timeoutMs = 15000;
    const ProcessResult result = Download(options, UnusedPort());
    ASSERT_FALSE(result.timedOut) << result.out;
    ASSERT_EQ(result.exitCode, kExitSuccess) << result.out << result.err;
    EXPECT_TRUE(ReadWholeFile(folder_ / "data.pak") == data);
    EXPECT_EQ(ReadWholeFile(folder_ / "readme.txt"), "hello\n");
    EXPECT_TRUE(Contains(result.out, "\"name\":\"engine-update-failed\"")) << result.out;
    EXPECT_FALSE(fs::exists(EnginePath()));
}

// An update whose hash documents do not match its package is refused: the engine already
// installed stays as it was, runs and carries the job, and the log says why.
TEST_F(EngineFaultsTest, AnUpdateWhoseHashDocumentDoesNotMatchLeavesTheOldEngineRunning) {
    const std::string data = TestBytes(9 << 20, 14);
    Serve({{"data.pak", data}});
    InstallEngine();
    const std::string installed = ReadWholeFile(EnginePath());
    PublishEngine(OtherEngineBuild(), "99.0.0.1");
    for (const auto& entry : fs::recursive_directory_iterator(Site())) {
        if (entry.path().extension() == ".hash") {
            std::string hash = ReadWholeFile(entry.path());
            ASSERT_FALSE(hash.empty());
            hash[0] = static_cast<char>(hash[0] ^ 0x5a);
            std::ofstream(entry.path(), std::ios::binary | std::ios::trunc) << hash;
        }
    }
    const ProcessResult result = Download();
    ASSERT_EQ(result.exitCode, kExitSuccess) << result.out << result.err;
    EXPECT_TRUE(ReadWholeFile(folder_ / "data.pak") == data);
    EXPECT_TRUE(ReadWholeFile(EnginePath()) == installed) << "the old engine is untouched";
    EXPECT_FALSE(Contains(result.out, "\"event\":518"));
    EXPECT_TRUE(Contains(EngineLog(), "complete")) << EngineLog();
    const std::string log = LibraryLog();
    EXPECT_TRUE(Contains(log, "[TessloadLib] Hash Mismatch (URL: ")) << log;
    EXPECT_TRUE(Contains(log, "[TessloadLib] Patch Fail")) << log;
}

// An engine of another version is running when the update arrives: the update replaces the file,
// the running engine serves the job and ends once idle, and the next start runs the new file.
TEST_F(EngineFaultsTest, ARunningEngineOfAnotherVersionServesUntilIdleThenTheNewOneRuns) {
    const std::string data = TestBytes(9 << 20, 15);
    Serve({{"data.pak", data}});
    InstallEngine();
    // The old engine, started as the library would start it (same environment), as our child.
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        environment.emplace_back(*e);
    }
    for (const auto& [name, value] : Environment(server_.Port())) {
        environment.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (std::string& e : environment) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    const std::string program = EnginePath().string();
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t old = -1;
    ASSERT_EQ(posix_spawn(&old, program.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    const fs::path pidFile = engineFolder_ / "TEVDownloadV32.pid";
    for (int i = 0; i < 500 && ReadText(pidFile) != std::to_string(old) + "\n"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(ReadText(pidFile), std::to_string(old) + "\n");

    const fs::path newer = OtherEngineBuild();
    PublishEngine(newer, "99.0.0.2");
    const ProcessResult first = Download();
    ASSERT_EQ(first.exitCode, kExitSuccess) << first.out << first.err;
    EXPECT_TRUE(ReadWholeFile(folder_ / "data.pak") == data);
    EXPECT_TRUE(ReadWholeFile(EnginePath()) == ReadWholeFile(newer)) << "the file was replaced";
    EXPECT_FALSE(Contains(first.out, "\"event\":518"));
    EXPECT_TRUE(Contains(EngineLog(), "job 1 (library job 0)")) << "the old engine took the job";
    // With its job done and its file replaced, the old engine ends.
    int status = 0;
    pid_t ended = 0;
    for (int i = 0; i < 1000 && ended == 0; ++i) {
        ended = waitpid(old, &status, WNOHANG);
        if (ended == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ASSERT_EQ(ended, old) << EngineLog();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(Contains(EngineLog(), "the program file was replaced: exiting"));

    // The next run starts the engine from the new file (now offered as what is installed).
    PublishEngine(newer);
    fs::remove(folder_ / "data.pak");
    const ProcessResult second = Download();
    ASSERT_EQ(second.exitCode, kExitSuccess) << second.out << second.err;
    EXPECT_TRUE(ReadWholeFile(folder_ / "data.pak") == data);
    const std::vector<pid_t> running = EnginePids();
    ASSERT_EQ(running.size(), 1u);
    EXPECT_NE(running[0], old);
    char exe[4096] = {};
    ASSERT_GT(
        readlink(("/proc/" + std::to_string(running[0]) + "/exe").c_str(), exe, sizeof exe - 1), 0);
    EXPECT_EQ(std::string(exe), program) << "runs the file as it is now, not a replaced one";
}

// The disk fills up while the engine downloads: event 513, the host's message and a stop; with
// room again, the next run resumes and completes the file.
TEST_F(EngineFaultsTest, AFullDiskStopsTheEngineJobAndRoomAgainCompletesIt) {
    const fs::path small = TestRoot() / "small";
    fs::create_directories(small);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=8m") != 0) {
        GTEST_SKIP() << "a small file system needs mount rights: " << std::strerror(errno);
    }
    mounted_ = small.string();
    folder_ = small / "game";
    const std::string data = TestBytes(6 << 20, 16);
    Serve({{"data.pak", data}});
    // Slow enough for the disk to fill while the file arrives.
    server_.AddRule("/game/data.pak",
                    {.kind = HttpRule::Rate, .bytesPerSecond = 1 << 20, .onlyWithRange = true});
    PublishEngine(TEV_ENGINE_PROGRAM);

    // The file fits when the job starts (the host refuses a job that does not); then 5 MiB of
    // the 8 are taken, and 6 MiB cannot fit any more.
    ProcessOptions filling;
    std::atomic<bool> filled{false};
    filling.onOutputLine = [&](const std::string& line, pid_t) {
        if (!filled && Contains(line, "\"name\":\"job-progress\"")) {
            filled = true;
            std::ofstream(small / "filler", std::ios::binary) << std::string(5 << 20, 'f');
        }
    };
    const ProcessResult full = Download(filling);
    ASSERT_TRUE(filled) << full.out << full.err;
    server_.ClearRules();
    EXPECT_EQ(full.exitCode, kExitDownload) << full.out << full.err;
    EXPECT_TRUE(Contains(full.out, "\"event\":513")) << full.out;
    EXPECT_TRUE(Contains(full.err, "not enough free space in " + folder_.string())) << full.err;
    EXPECT_FALSE(fs::exists(folder_ / "data.pak")) << "nothing incomplete under the final name";

    fs::remove(small / "filler");
    const ProcessResult again = Download();
    ASSERT_EQ(again.exitCode, kExitSuccess) << again.out << again.err;
    EXPECT_TRUE(ReadWholeFile(folder_ / "data.pak") == data);
    EXPECT_FALSE(Contains(again.out, "\"event\":518"));
}

// The file list over https from a server whose certificate nobody trusts: one clear failure and
// nothing written.
TEST_F(EngineFaultsTest, AFileListOverHttpsWithAnUntrustedCertificateFailsClearly) {
    const TestPki pki = MakeTestPki((TestRoot() / "pki").string());
    TestHttpServer secure(
        {.tlsCertificate = pki.selfSigned.certificateFile, .tlsKey = pki.selfSigned.keyFile});
    ASSERT_TRUE(secure.Ok()) << secure.Error();
    secure.SetContent("/game/a.bin", "payload");
    secure.SetContent("/game/filelist.txt", secure.Url("/game/a.bin") + "\r\n");
    ProcessOptions options;
    options.environment = {{"SSL_CERT_FILE", pki.caFile}};
    const std::string list = secure.Url("/game/filelist.txt");
    const ProcessResult result = Download(options, UnusedPort(), list);
    EXPECT_EQ(result.exitCode, kExitFileList) << result.out << result.err;
    EXPECT_TRUE(Contains(result.err, list)) << result.err;
    EXPECT_TRUE(Contains(LibraryLog(),
                         "TLS Handshake Failed host:127.0.0.1 reason:self-signed certificate"))
        << LibraryLog();
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_FALSE(fs::exists(folder_)) << "nothing written";
    EXPECT_EQ(secure.RequestCount("/game/a.bin"), 0u);
}

}  // namespace
