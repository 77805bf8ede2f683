// Starting the engine program: the stand-in engine is really started (detached, readiness pipe),
// and a seam makes chosen ways fail so that every fall-back and its log lines show.
//
// The test process makes itself a subreaper, so the detached engine is adopted by it when its
// intermediate ends: the test can then reap it, and see that nothing else is left to reap.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine/binary_execute.h"
#include "engine/engine_paths.h"
#include "engine/engine_protocol.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "support/loop_thread.h"
#include "support/stand_in.h"
#include "support/tcp_peer.h"

namespace {

std::vector<std::string> LogMessages() {
    std::ifstream in(LogFilePath());
    std::vector<std::string> messages;
    for (std::string line; std::getline(in, line);) {
        const size_t end = line.find("] ");
        messages.push_back(end == std::string::npos ? line : line.substr(end + 2));
    }
    return messages;
}

std::map<std::string, std::string> ReadReport(const std::string& path) {
    std::map<std::string, std::string> values;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) {
            values[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return values;
}

std::string ProcessName(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    return line;
}

class EngineStart : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        ResetLog();
        engine_ = GetEngineFilePath();
        SetRunElevatedFlag(1);
    }
    void TearDown() override {
        EndStandIn(pid_);
        // Nothing of ours is left to reap: the intermediate process was reaped by the start.
        int status = 0;
        const pid_t left = waitpid(-1, &status, WNOHANG);
        EXPECT_EQ(left, -1) << "left to reap: " << ProcessName(left);
        EXPECT_EQ(errno, ECHILD);
        SetRunElevatedFlag(1);
    }
    void Install(const std::vector<std::string>& script) {
        ASSERT_TRUE(InstallStandInEngine(engine_, script));
    }
    // Waits for the engine to end on its own and reaps it (it is ours through the subreaper).
    void ReapEngine() {
        pid_ = StandInPid(engine_);
        ASSERT_GT(pid_, 0);
        int status = 0;
        for (int i = 0; i < 500 && waitpid(pid_, &status, WNOHANG) == 0; ++i) {
            usleep(10000);
        }
        EXPECT_TRUE(WIFEXITED(status));
        pid_ = -1;
    }

    std::string engine_;
    pid_t pid_ = -1;
};

TEST_F(EngineStart, MissingProgramStartsNothing) {
    CBinaryExecute_V3 executor;
    std::string out = "unchanged";
    EXPECT_FALSE(executor.LocateExecutable(&out));
    EXPECT_EQ(out, "unchanged");
    EXPECT_FALSE(executor.RunEngine());
    EXPECT_EQ(LogMessages(),
              std::vector<std::string>{"[TessloadLib] Run Binary (no executable file)"});
}

TEST_F(EngineStart, ReadyEngineRunsDetachedInItsOwnSessionWithQuietStreams) {
    Install({"report", "ready", "exit 0"});
    EXPECT_TRUE(RunEngine());
    EXPECT_EQ(LogMessages(),
              (std::vector<std::string>{"[TessloadLib] Execute OK(0)", "[TessloadLib] Begin WFII",
                                        "[TessloadLib] End WFII"}));
    ReapEngine();

    const auto report = ReadReport(engine_ + ".report");
    EXPECT_EQ(report.at("fd0"), "/dev/null");
    EXPECT_EQ(report.at("fd1"), "/dev/null");
    EXPECT_EQ(report.at("fd2"), "/dev/null");
    EXPECT_NE(report.at("session"), std::to_string(getsid(0)));
    // Only its standard streams and the readiness pipe: none of the test runner's descriptors.
    EXPECT_EQ(report.at("ready_fd"), "3");
    EXPECT_EQ(report.at("open"), "0 1 2 3 ");
}

// An engine that never signals is ended by its pid after the bound and counts as not started, so
// attempts do not leave one such engine behind each.
TEST_F(EngineStart, EngineThatNeverSignalsIsEndedAfterTheBound) {
    Install({"wait"});
    CBinaryExecute_V3 executor(StartEngineDetached, 200);
    EXPECT_FALSE(executor.RunEngine());
    const pid_t pid = StandInPid(engine_);
    ASSERT_GT(pid, 0);
    int status = 0;
    for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
        usleep(10000);
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(LogMessages(),
              (std::vector<std::string>{
                  "[TessloadLib] Execute OK(0)", "[TessloadLib] Begin WFII",
                  "[TessloadLib] WFII Timeout (200 ms)",
                  "[TessloadLib] Engine Ended (never ready)(pid: " + std::to_string(pid) + ")",
                  "[TessloadLib] End WFII"}));
}

// On the worker loop the readiness is looked for on timer ticks, never waited for: the start
// returns at once, the loop stays free, and only the clock seam's bound ends an engine that never
// signals (by its pid). A watch given up before the answer ends its unready engine too.
TEST_F(EngineStart, WatchedStartLeavesTheLoopFreeAndEndsAnEngineThatNeverSignals) {
    LoopThread loop;
    const vmSmartPtr<cpCMutex> mutex(loop.Mutex());
    for (const bool giveUp : {false, true}) {
        ResetLog();
        Install({"wait"});
        CBinaryExecute_V3 executor(StartEngineDetached, 10000);
        std::shared_ptr<CEngineStartWatch> watch;
        int answers = 0;
        bool started = true;
        loop.Call([&] {
            watch = executor.RunEngineWatched(mutex, [&](bool ok) {
                ++answers;
                started = ok;
            });
        });
        ASSERT_NE(watch, nullptr);
        const pid_t pid = StandInPid(engine_);
        ASSERT_GT(pid, 0);
        loop.StepClock(9800);
        EXPECT_EQ(loop.Call([&] { return answers; }), 0) << "within the bound";
        if (giveUp) {
            loop.Call([&] { watch.reset(); });
        } else {
            loop.StepClock(300);
            EXPECT_EQ(loop.Call([&] { return answers; }), 1);
            EXPECT_FALSE(started);
        }
        int status = 0;
        for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
            usleep(10000);
        }
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        const std::string ended = giveUp ? "[TessloadLib] Engine Ended (start abandoned)(pid: "
                                         : "[TessloadLib] Engine Ended (never ready)(pid: ";
        const auto log = LogMessages();
        EXPECT_NE(std::find(log.begin(), log.end(), ended + std::to_string(pid) + ")"), log.end())
            << "give up: " << giveUp;
        loop.Call([&] { watch.reset(); });
    }
}

// A ready engine is answered from a tick soon after its byte, and counts as started.
TEST_F(EngineStart, WatchedStartAnswersOnceTheEngineSignals) {
    LoopThread loop;
    Install({"ready", "exit 0"});
    std::shared_ptr<CEngineStartWatch> watch;
    int answers = 0;
    bool started = false;
    loop.Call([&] {
        watch = RunEngineWatched(vmSmartPtr<cpCMutex>(loop.Mutex()), [&](bool ok) {
            ++answers;
            started = ok;
        });
    });
    for (int i = 0; i < 100 && loop.Call([&] { return answers; }) == 0; ++i) {
        usleep(10000);
        loop.StepClock(100);
    }
    EXPECT_EQ(loop.Call([&] { return answers; }), 1);
    EXPECT_TRUE(started);
    loop.Call([&] { watch.reset(); });
    ReapEngine();
    EXPECT_EQ(LogMessages(),
              (std::vector<std::string>{"[TessloadLib] Execute OK(0)", "[TessloadLib] Begin WFII",
                                        "[TessloadLib] End WFII"}));
}

// An engine that exits (or closes the pipe) without the byte ends the wait at once: with the
// full bound, a wait until the time-out would show as the time-out line.
TEST_F(EngineStart, EndOfTheReadyPipeEndsTheWait) {
    Install({"close-ready", "exit 0"});
    EXPECT_TRUE(RunEngine());
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{
                                 "[TessloadLib] Execute OK(0)", "[TessloadLib] Begin WFII",
                                 "[TessloadLib] WFII Closed (the engine ended its ready pipe)",
                                 "[TessloadLib] End WFII"}));
    ReapEngine();
}

TEST_F(EngineStart, ProgramThatCannotRunFailsEveryWay) {
    ASSERT_TRUE(CreateFolderPath(GetEngineFolderPath()));
    std::ofstream(engine_ + ".tmp") << "not a program\n";
    ASSERT_EQ(rename((engine_ + ".tmp").c_str(), engine_.c_str()), 0);
    ASSERT_EQ(chmod(engine_.c_str(), 0644), 0);
    EXPECT_FALSE(RunEngine());
    EXPECT_EQ(LogMessages(), std::vector<std::string>{"[TessloadLib] Execute Fail(3) " + engine_ +
                                                      ":" + std::to_string(EACCES)});

    // The start's own answers: the exec's errno, and a path that is not absolute refused.
    cpDetachedProcess started;
    EXPECT_EQ(StartEngineDetached("open", engine_ + "-missing", &started), uint32_t{ENOENT});
    EXPECT_EQ(StartEngineDetached("open", "TEVDownloadV32", &started), uint32_t{EINVAL});
    EXPECT_EQ(started.pid(), -1);
}

// Which ways run, with which verbs and log lines, when the seam makes ways fail. "ok" starts
// the stand-in for real.
struct WayCase {
    const char* name;
    uint8_t elevated;
    std::vector<uint32_t> results;  // per call, 0 = a real start
    std::vector<std::string> verbs;
    std::vector<std::string> log;  // with %s for the engine path
    bool started;
};

const std::vector<WayCase> kWayCases = {
    {"elevation declined, open starts",
     1,
     {kErrorCancelled, 0},
     {"runas", "open"},
     {"Execute Fail(0) %s:1223", "Execute OK(1)"},
     true},
    {"elevation declined, open fails, process starts",
     1,
     {kErrorCancelled, 5, 0},
     {"runas", "open", ""},
     {"Execute Fail(0) %s:1223", "Execute Fail(1) %s:5", "Execute OK(2)"},
     true},
    {"every way after a declined elevation fails",
     1,
     {kErrorCancelled, 5, 2},
     {"runas", "open", ""},
     {"Execute Fail(0) %s:1223", "Execute Fail(1) %s:5", "Execute Fail(2) %s:2"},
     false},
    {"other failure goes straight to the process",
     1,
     {2, 0},
     {"runas", ""},
     {"Execute OK(3)"},
     true},
    {"not elevated, both fail", 0, {2, 13}, {"open", ""}, {"Execute Fail(3) %s:13"}, false},
    {"flag 0 opens", 0, {0}, {"open"}, {"Execute OK(0)"}, true},
    {"only flag 1 asks for elevation", 2, {0}, {"open"}, {"Execute OK(0)"}, true},
};

TEST_F(EngineStart, FallBacksInTheirOrder) {
    for (const WayCase& c : kWayCases) {
        SCOPED_TRACE(c.name);
        ResetLog();
        Install({"ready", "exit 0"});
        SetRunElevatedFlag(c.elevated);
        std::vector<std::string> verbs;
        size_t call = 0;
        CBinaryExecute_V3 executor([&](const std::string& verb, const std::string& path,
                                       cpDetachedProcess* started) -> uint32_t {
            EXPECT_EQ(path, engine_);
            verbs.push_back(verb);
            const uint32_t result = call < c.results.size() ? c.results[call] : 99;
            ++call;
            return result == 0 ? StartEngineDetached(verb, path, started) : result;
        });
        EXPECT_EQ(executor.RunEngine(), c.started);
        EXPECT_EQ(verbs, c.verbs);

        std::vector<std::string> expected;
        for (const std::string& line : c.log) {
            std::string filled = "[TessloadLib] " + line;
            const size_t at = filled.find("%s");
            if (at != std::string::npos) {
                filled.replace(at, 2, engine_);
            }
            expected.push_back(filled);
        }
        if (c.started) {
            expected.push_back("[TessloadLib] Begin WFII");
            expected.push_back("[TessloadLib] End WFII");
            ReapEngine();
        }
        EXPECT_EQ(LogMessages(), expected);
    }
}

TcpConnection ConnectTo(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = LoopbackAddress();
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return TcpConnection();
    }
    return TcpConnection(fd);
}

std::string Hex(const engine_protocol::Bytes& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t b : bytes) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

// The stand-in as the engine-side peer: it listens on TEV_ENGINE_PORT once started, answers
// what its script says, and a second one finding the port taken signals and leaves.
TEST_F(EngineStart, StandInPlaysAScriptedEngineOnLoopback) {
    namespace ep = engine_protocol;
    const uint16_t port = UnusedPort();
    setenv("TEV_ENGINE_PORT", std::to_string(port).c_str(), 1);  // read by the engine only
    ep::Bytes answer;
    ASSERT_TRUE(ep::Encode(ep::EngineState{2}, &answer));
    Install({"listen", "ready", "accept", "expect 0100 22", "send 0100 22 " + Hex(answer), "drain",
             "exit 0"});
    ASSERT_TRUE(RunEngine());
    pid_ = StandInPid(engine_);

    TcpConnection connection = ConnectTo(port);
    ASSERT_TRUE(connection.Valid());
    ep::Bytes request;
    ASSERT_TRUE(ep::EncodeFrame(ep::StateRequest{}, &request));
    ASSERT_TRUE(connection.Send(std::string(request.begin(), request.end())));
    const std::string reply = connection.ReceiveExactly(ep::FrameSize(4));
    ep::FrameHeader header;
    const uint8_t* payload = nullptr;
    ASSERT_GT(ep::NextFrame(reinterpret_cast<const uint8_t*>(reply.data()), reply.size(), &header,
                            &payload),
              0);
    ep::EngineMessage message;
    ASSERT_TRUE(
        ep::DecodeEngineMessage(header.category, header.type, payload, header.length, &message));
    EXPECT_EQ(std::get<ep::EngineState>(message).value, 2u);

    // A second engine while the first listens: it signals at once and ends.
    const std::string second = GetEngineFolderPath() + "second";
    ASSERT_TRUE(InstallStandInEngine(second, {"listen", "wait"}));
    cpDetachedProcess started;
    ASSERT_EQ(StartEngineDetached("open", second, &started), 0u);
    EXPECT_EQ(cpWaitReady(started, 5000), cpReadiness::kSignalled);
    const pid_t secondPid = StandInPid(second);
    int status = -1;
    for (int i = 0; i < 500 && waitpid(secondPid, &status, WNOHANG) == 0; ++i) {
        usleep(10000);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    connection.Close();  // the first one drains until the close, then exits
    ReapEngine();
    unsetenv("TEV_ENGINE_PORT");
}

}  // namespace

namespace {

bool Alive(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    const size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

std::string EnvironmentText(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

// The engine keeps the environment it was started with. A start with the same proxy and trust
// settings leaves the running engine serving; one with other settings (a proxy gone, a trust
// store added) restarts it, so that what it may reach is what the asking host may reach.
TEST_F(EngineStart, AnEngineOfOtherProxyOrTrustSettingsIsRestarted) {
    setenv("TEV_ENGINE_PORT", std::to_string(UnusedPort()).c_str(), 1);
    Install({"listen", "ready", "wait"});
    setenv("http_proxy", "http://127.0.0.1:9", 1);
    ASSERT_TRUE(RunEngine());
    const pid_t first = StandInPid(engine_);
    ASSERT_GT(first, 0);
    EXPECT_NE(EnvironmentText(first).find("http_proxy=http://127.0.0.1:9"), std::string::npos);

    // The same settings: the running engine stays (the new start finds the port taken).
    ASSERT_TRUE(RunEngine());
    const pid_t second = StandInPid(engine_);
    if (second > 0 && second != first) {
        int status = 0;
        waitpid(second, &status, 0);  // it ended at once, ours through the subreaper
    }
    EXPECT_TRUE(Alive(first));

    struct Change {
        const char* name;
        std::function<void()> apply;
        std::string expected;  // in the new engine's environment, or "" for none of the proxy
    };
    const std::string ca = std::string(std::getenv("TEV_TEST_ROOT")) + "/ca.pem";
    const Change changes[] = {
        {"the proxy is gone", [] { unsetenv("http_proxy"); }, ""},
        {"a trust store", [&] { setenv("SSL_CERT_FILE", ca.c_str(), 1); }, "SSL_CERT_FILE=" + ca},
    };
    pid_t serving = first;
    for (const Change& change : changes) {
        SCOPED_TRACE(change.name);
        change.apply();
        ASSERT_TRUE(RunEngine());
        for (int i = 0; i < 300 && Alive(serving); ++i) {
            usleep(10000);
        }
        EXPECT_FALSE(Alive(serving)) << "the engine of the old settings still runs";
        int status = 0;
        waitpid(serving, &status, 0);  // ours through the subreaper
        const pid_t next = StandInPid(engine_);
        ASSERT_GT(next, 0);
        ASSERT_NE(next, serving);
        EXPECT_TRUE(Alive(next));
        const std::string environment = EnvironmentText(next);
        EXPECT_EQ(environment.find("http_proxy="), std::string::npos);
        if (!change.expected.empty()) {
            EXPECT_NE(environment.find(change.expected), std::string::npos);
        }
        serving = next;
    }
    pid_ = serving;
    unsetenv("SSL_CERT_FILE");
    unsetenv("TEV_ENGINE_PORT");
    const std::vector<std::string> log = LogMessages();
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "[TessloadLib] the running engine (pid " + std::to_string(first) +
                            ") has other proxy or trust settings: restarting it"),
              log.end());
}
