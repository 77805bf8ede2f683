// tev-download as its users run it: a child process against the project's test server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli_options.h"
#include "downloadlib.h"
#include "engine/engine_paths.h"
#include "engine/engine_protocol.h"
#include "json_check.h"
#include "support/published_engine.h"
#include "support/stand_in.h"
#include "support/subprocess.h"
#include "support/tcp_peer.h"
#include "support/test_data.h"
#include "test_server/test_http_server.h"

namespace ep = engine_protocol;
namespace fs = std::filesystem;
using tev::tools::HttpRule;
using tev::tools::TestHttpServer;

namespace {

class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::path(std::getenv("TEV_TEST_ROOT"));
        folder_ = root_ / "game";
    }
    // Serves the files under /game/ and a file list naming them.
    void Serve(const std::vector<std::pair<std::string, std::string>>& files) {
        std::string list;
        for (const auto& [name, bytes] : files) {
            server_.SetContent("/game/" + name, bytes);
            list += server_.Url("/game/" + name) + "\r\n";
        }
        server_.SetContent("/game/filelist.txt", list);
    }
    std::string ListUrl() const { return server_.Url("/game/filelist.txt"); }

    ProcessResult Run(std::vector<std::string> args, ProcessOptions options = {}) {
        args.insert(args.begin(), TEV_DOWNLOAD_PROGRAM);
        // Statistics go to a port nobody listens on: the run must not depend on them.
        options.environment.emplace_back("TEV_REPORT_SERVER",
                                         "127.0.0.1:" + std::to_string(UnusedPort()));
        return RunProcess(args, options);
    }

    TestHttpServer server_;
    fs::path root_;
    fs::path folder_;
};

}  // namespace

TEST_F(CliTest, DownloadsEveryFileOfTheList) {
    const std::vector<std::pair<std::string, std::string>> files = {
        {"readme.txt", "hello\n"}, {"data.pak", TestBytes(3 << 20, 1)}, {"setup.sh", "exit 0\n"}};
    Serve(files);
    const ProcessResult result = Run({"--folder", folder_.string(), ListUrl()});
    ASSERT_EQ(result.exitCode, kExitSuccess) << result.out << result.err;
    for (const auto& [name, bytes] : files) {
        EXPECT_TRUE(ReadWholeFile(folder_ / name) == bytes) << name;
    }
    EXPECT_NE(result.out.find("done: " + (folder_ / "setup.sh").string()), std::string::npos)
        << result.out;
    EXPECT_EQ(result.err, "");
}

TEST_F(CliTest, JsonOutputIsOneObjectPerLine) {
    Serve({{"a.bin", TestBytes(200000, 2)}, {"b.bin", TestBytes(1000, 3)}});
    const ProcessResult result = Run({"--json", "--folder", folder_.string(), ListUrl()});
    ASSERT_EQ(result.exitCode, kExitSuccess) << result.err;
    std::istringstream lines(result.out);
    std::string line;
    std::vector<std::string> names;
    while (std::getline(lines, line)) {
        EXPECT_TRUE(IsJsonObject(line)) << line;
        const size_t at = line.find("\"name\":\"");
        ASSERT_NE(at, std::string::npos) << line;
        names.push_back(line.substr(at + 8, line.find('"', at + 8) - at - 8));
    }
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "data-done");
    EXPECT_EQ(names.back(), "job-done");
    EXPECT_EQ(std::count(names.begin(), names.end(), "file-done"), 2);
    EXPECT_NE(std::find(names.begin(), names.end(), "check-done"), names.end());
}

TEST_F(CliTest, InterruptedRunResumesWhereItStopped) {
    const std::string big = TestBytes(6 << 20, 4);
    Serve({{"big.pak", big}});
    // Only the download asks with Range; the size check goes through at full speed.
    server_.AddRule("/game/big.pak",
                    {.kind = HttpRule::Rate, .bytesPerSecond = 2 << 20, .onlyWithRange = true});
    std::atomic<bool> signalled{false};
    ProcessOptions interrupt;
    interrupt.onOutputLine = [&](const std::string& line, pid_t pid) {
        if (!signalled && line.find("\"name\":\"job-progress\"") != std::string::npos &&
            line.find("\"present\":0,") == std::string::npos) {
            signalled = true;
            kill(pid, SIGINT);
        }
    };
    const ProcessResult first = Run({"--json", "--folder", folder_.string(), ListUrl()}, interrupt);
    ASSERT_TRUE(signalled) << first.out << first.err;
    EXPECT_EQ(first.exitCode, kExitInterrupted) << first.err;
    EXPECT_NE(first.err.find("run again to resume"), std::string::npos) << first.err;
    const auto partial = fs::file_size(folder_ / "big.pak");
    ASSERT_GT(partial, 0u);
    ASSERT_LT(partial, big.size());

    server_.ClearRules();
    const ProcessResult second = Run({"--quiet", "--folder", folder_.string(), ListUrl()});
    ASSERT_EQ(second.exitCode, kExitSuccess) << second.err;
    EXPECT_EQ(second.out, "") << "quiet prints nothing on success";
    EXPECT_TRUE(ReadWholeFile(folder_ / "big.pak") == big);
    const auto ranges = server_.RangeHeaders("/game/big.pak");
    ASSERT_FALSE(ranges.empty());
    EXPECT_EQ(ranges.back(), "bytes=" + std::to_string(partial) + "-");
}

TEST_F(CliTest, EachFailureHasItsExitCodeAndNamesWhatFailed) {
    Serve({{"ok.bin", "fine"}});
    server_.SetContent("/long.txt", std::string(1500, 'x') + "\n");
    server_.SetContent("/dead.txt", "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/x\n");
    server_.SetContent("/broken.txt", server_.Url("/broken.bin") + "\n");
    server_.SetContent("/broken.bin", "payload");
    server_.AddRule("/broken.bin",
                    {.kind = HttpRule::Status, .status = 500, .onlyWithRange = true});
    // A line ending in '/' names no file: the job cannot be done without it.
    server_.SetContent("/nameless.txt",
                       server_.Url("/game/dir/") + "\n" + server_.Url("/game/ok.bin") + "\n");
    server_.SetContent("/game/dir/", "an index page");
    server_.SetContent("/game/dir", "an index page");
    std::ofstream(root_ / "not-a-folder") << "x";
    const std::string refusedPort = std::to_string(UnusedPort());
    const std::string refused = "http://127.0.0.1:" + refusedPort + "/list.txt";

    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string named;
        std::string why = {};  // said after what it names
    };
    const Case cases[] = {
        {{"--no-such-option"}, kExitUsage, "--no-such-option"},
        {{"a", "b"}, kExitUsage, "b"},
        {{refused}, kExitFileList, refused, "connection refused by 127.0.0.1:" + refusedPort},
        {{server_.Url("/missing.txt")},
         kExitFileList,
         server_.Url("/missing.txt"),
         "the server answered 404"},
        {{"no-url-here"}, kExitFileList, "no-url-here", "it is not a URL"},
        {{"ftp://127.0.0.1/list.txt"},
         kExitFileList,
         "ftp://127.0.0.1/list.txt",
         "the scheme ftp: is not supported"},
        {{server_.Url("/long.txt")}, kExitFileList, server_.Url("/long.txt")},
        {{"--folder", folder_.string(), server_.Url("/nameless.txt")},
         kExitDownload,
         server_.Url("/game/dir/")},
        {{server_.Url("/dead.txt")}, kExitSizeCheck, server_.Url("/dead.txt")},
        {{"--folder", (root_ / "not-a-folder" / "x").string(), ListUrl()},
         kExitDownload,
         (root_ / "not-a-folder" / "x").string()},
        {{"--folder", folder_.string(), server_.Url("/broken.txt")},
         kExitDownload,
         server_.Url("/broken.bin")},
    };
    for (const Case& c : cases) {
        const ProcessResult result = Run(c.args);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.args.back() << "\n" << result.err;
        EXPECT_NE(result.err.find(c.named), std::string::npos) << result.err;
        EXPECT_NE(result.err.find(c.why, result.err.find(c.named)), std::string::npos)
            << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'),
                  c.exitCode == kExitUsage ? 2 : 1)
            << "one clear line: " << result.err;
    }
}

TEST_F(CliTest, ARelativeFolderIsTakenFromWhereTheUserIs) {
    Serve({{"a.bin", TestBytes(5000, 6)}});
    ProcessOptions options;
    options.workingFolder = root_.string();
    const ProcessResult result = Run({"--folder", "rel/../games/./QK", ListUrl()}, options);
    ASSERT_EQ(result.exitCode, kExitSuccess) << result.err;
    const fs::path expected = root_ / "games" / "QK" / "a.bin";
    EXPECT_TRUE(ReadWholeFile(expected) == TestBytes(5000, 6));
    EXPECT_NE(result.out.find("done: " + expected.string()), std::string::npos) << result.out;
}

TEST_F(CliTest, InstallStartsTheDownloadedInstaller) {
    Serve({{"data.pak", TestBytes(10000, 5)},
           {"install.sh", "#!/bin/sh\necho ran > \"$(dirname \"$0\")/INSTALLED\"\n"}});
    const ProcessResult result = Run({"--install", "--folder", folder_.string(), ListUrl()});
    ASSERT_EQ(result.exitCode, kExitSuccess) << result.err;
    bool ran = false;
    for (int i = 0; i < 100 && !ran; ++i) {
        ran = fs::exists(folder_ / "INSTALLED");
        if (!ran) {
            usleep(50000);
        }
    }
    EXPECT_TRUE(ran);
}

TEST(CliOptions, HelpVersionAndUsage) {
    const ProcessResult help = RunProcess({TEV_DOWNLOAD_PROGRAM, "--help"}, {});
    EXPECT_EQ(help.exitCode, kExitSuccess);
    EXPECT_NE(help.out.find("Usage: tev-download"), std::string::npos);
    const ProcessResult version = RunProcess({TEV_DOWNLOAD_PROGRAM, "--version"}, {});
    EXPECT_EQ(version.exitCode, kExitSuccess);
    EXPECT_EQ(version.out.rfind("tev-download ", 0), 0u);
    std::string error;
    EXPECT_FALSE(ParseCliOptions({"--folder"}, &error));
    EXPECT_FALSE(ParseCliOptions({"--folder="}, &error));
    const auto parsed = ParseCliOptions({"-l", "--folder=/x", "-i", "http://h/l"}, &error);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->limited && parsed->install);
    EXPECT_EQ(parsed->folder, "/x");
    EXPECT_EQ(parsed->fileListUrl, "http://h/l");
}

// --resume takes yes, no or ask; anything else is a usage error.
TEST(CliOptions, ResumeAnswers) {
    const std::pair<const char*, ResumeAnswer> cases[] = {{"--resume=yes", ResumeAnswer::Yes},
                                                          {"--resume=no", ResumeAnswer::No},
                                                          {"--resume=ask", ResumeAnswer::Ask}};
    std::string error;
    for (const auto& [arg, answer] : cases) {
        const std::optional<CliOptions> options = ParseCliOptions({arg}, &error);
        ASSERT_TRUE(options) << arg;
        EXPECT_EQ(options->resume, answer) << arg;
    }
    EXPECT_EQ(ParseCliOptions({}, &error)->resume, ResumeAnswer::Default);
    EXPECT_FALSE(ParseCliOptions({"--resume=maybe"}, &error));
    EXPECT_NE(error.find("yes, no or ask"), std::string::npos);
}

namespace {

// tev-download with the engine path in front: the test server also serves the engine update
// (the stand-in engine, published), so the library installs, starts and uses the stand-in,
// which follows the script the test writes beside it.
class CliEngineTest : public CliTest {
  protected:
    void SetUp() override {
        CliTest::SetUp();
        enginePath_ = GetEngineFilePath();
        std::string error;
        ASSERT_TRUE(ServeStandInEngineUpdate(server_, root_.string(), &error)) << error;
    }
    void TearDown() override { EndStandIn(enginePid_); }

    // Runs tev-download --json against the engine path; the engine's port is private.
    ProcessResult RunWithEngine(std::vector<std::string> args, int standardInput = -1) {
        const std::string address = server_.Url("");
        ProcessOptions options;
        options.standardInput = standardInput;
        options.environment = {{"TEV_DOWNLOAD_SERVER", address.substr(address.find("//") + 2)},
                               {"TEV_ENGINE_PORT", std::to_string(UnusedPort())}};
        fs::remove(enginePath_ + ".received");
        const ProcessResult result = Run(std::move(args), options);
        enginePid_ = StandInPid(enginePath_);
        EndStandIn(enginePid_);
        return result;
    }

    std::string enginePath_;
    pid_t enginePid_ = -1;
};

size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace

// The engine asks whether to resume; the answer of --resume, or of the person at the terminal,
// reaches it as type 18 and the job ends on the engine path: one engine, one connection, nothing
// moved to the direct downloader.
TEST_F(CliEngineTest, TheResumeAnswerReachesTheEngineWhichFinishesTheJob) {
    Serve({{"a.bin", TestBytes(3000, 8)}});
    const std::string url = server_.Url("/game/a.bin");
    const std::string path = (folder_ / "a.bin").string();
    ASSERT_TRUE(InstallStandInEngine(
        enginePath_,
        {"listen", "ready", "accept", "until 102 14",
         "send 100 4 " + StandInPayloadWithJob(ep::JobAccepted{0, 5, 1, 3000}),
         "send 100 16 " + StandInPayloadWithJob(ep::ResumeQuery{0}), "until 100 18",
         "send 100 7 " + StandInPayloadWithJob(ep::FileCompleted{0, 5, "svc", path, url}),
         "send 100 6 " + StandInPayloadWithJob(ep::JobFinished{0, 5, 0, 0}), "drain"}));

    // Without --resume on a terminal the person is asked: "n" resumes nothing, for this file only.
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    const int input = open(ptsname(terminal), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(input, 0);
    ASSERT_EQ(write(terminal, "n\n", 2), 2);
    struct Case {
        std::vector<std::string> options;
        int standardInput;
        std::string answers;  // resume, then for all files
    };
    const Case cases[] = {
        {{"--resume=yes"}, -1, "0101"}, {{"--resume=no"}, -1, "0001"}, {{}, input, "0000"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answers);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--json", "--folder", folder_.string(), ListUrl()});
        const ProcessResult result = RunWithEngine(args, c.standardInput);
        EXPECT_EQ(result.exitCode, kExitSuccess) << result.out << result.err;
        EXPECT_EQ(CountOf(result.out, "\"name\":\"resume-query\""), 1u) << result.out;
        EXPECT_EQ(CountOf(result.out, "\"name\":\"engine-updated\""), 1u) << "no restart";
        EXPECT_EQ(CountOf(result.out, "\"name\":\"file-done\""), 1u);
        EXPECT_NE(result.out.find("\"path\":\"" + path + "\""), std::string::npos);
        EXPECT_EQ(CountOf(result.out, "\"event\":" + std::to_string(JOB_EVENT_MOVED)), 0u);
        EXPECT_EQ(CountOf(result.out, "engine-update-failed"), 0u);
        EXPECT_FALSE(fs::exists(path)) << "the direct downloader wrote the file";

        // The list came once (a restart sends it again); type 18 holds engine-side number 5,
        // the job of the list, and the two answers.
        const StandInRecord record = ReadStandInRecord(enginePath_);
        ASSERT_EQ(record.lists.size(), 1u);
        const std::string& job = record.lists[0];
        EXPECT_EQ(record.replies, std::vector<std::string>{"05000000" + job + c.answers});
        EXPECT_EQ(result.err.find("Resume it?") != std::string::npos, c.standardInput >= 0);
    }
    close(input);
    close(terminal);
}

// The engine fails the job (type 11), here refusing its list before accepting it: the run ends
// with the engine's text, on the engine path; the direct downloader does not take the job, and
// a type 6 the engine might still send for it changes nothing.
TEST_F(CliEngineTest, AJobTheEngineFailsEndsWithTheEnginesText) {
    Serve({{"a.bin", TestBytes(3000, 9)}});
    const std::string why = "refused file name \"a.bin\": a test's reason";
    ASSERT_TRUE(InstallStandInEngine(
        enginePath_,
        {"listen", "ready", "accept", "until 102 14",
         "send 100 11 " + StandInPayloadWithJob(ep::JobFailed{0, 0, why}),
         "send 100 6 " + StandInPayloadWithJob(ep::JobFinished{0, 0, 0, 1}), "drain"}));
    const ProcessResult result = RunWithEngine({"--json", "--folder", folder_.string(), ListUrl()});
    EXPECT_EQ(result.exitCode, kExitDownload) << result.out << result.err;
    EXPECT_NE(result.err.find("download failed: " + why), std::string::npos) << result.err;
    EXPECT_EQ(CountOf(result.out, "\"event\":" + std::to_string(JOB_EVENT_FAILED)), 1u);
    EXPECT_EQ(CountOf(result.out, "\"event\":" + std::to_string(JOB_EVENT_MOVED)), 0u);
    EXPECT_EQ(CountOf(result.out, "\"name\":\"engine-updated\""), 1u) << "no restart";
    EXPECT_EQ(CountOf(result.out, "job-done"), 0u);
    EXPECT_FALSE(fs::exists(folder_ / "a.bin"));
    EXPECT_EQ(server_.RequestCount("/game/a.bin"), 1u) << "the host's size check only";
}
