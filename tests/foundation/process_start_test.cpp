#include "process_start.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string Root() {
    return std::getenv("TEV_TEST_ROOT");
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Runs a shell line to its end and returns its exit code (-1 when it did not end in time).
int RunToEnd(cpProcessOptions options) {
    const cpStartedProcess started = cpStartProcess(options);
    EXPECT_TRUE(started.started) << started.error;
    const std::optional<int> status = cpWaitProcess(started.pid, 10000);
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

cpProcessOptions Shell(const std::string& line) {
    cpProcessOptions options;
    options.arguments = {"/bin/sh", "-c", line};
    return options;
}

}  // namespace

TEST(cpStartProcess, RefusesWhatCannotStart) {
    struct Case {
        std::vector<std::string> arguments;
        int error;
    };
    const std::string plainFile = Root() + "/not-a-program";
    std::ofstream(plainFile) << "data\n";
    chmod(plainFile.c_str(), 0644);
    const Case cases[] = {
        {{}, EINVAL},
        {{""}, EINVAL},
        {{"/no/such/program"}, ENOENT},
        {{"no-such-program-in-path"}, ENOENT},
        {{plainFile}, EACCES},
    };
    for (const Case& c : cases) {
        const cpStartedProcess result = cpStartProcess(c.arguments, 1000);
        EXPECT_FALSE(result.started) << (c.arguments.empty() ? "" : c.arguments[0]);
        EXPECT_EQ(result.error, c.error) << (c.arguments.empty() ? "" : c.arguments[0]);
        EXPECT_EQ(result.pid, -1);
    }
}

TEST(cpStartProcess, ReturnsOnceExecHappenedNotWhenTheProgramEnds) {
    const auto before = std::chrono::steady_clock::now();
    const cpStartedProcess sleeper = cpStartProcess({"sleep", "30"}, 5000);
    ASSERT_TRUE(sleeper.started);
    EXPECT_FALSE(sleeper.timedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    // A new session of its own, and still running until we end it.
    EXPECT_EQ(getsid(sleeper.pid), sleeper.pid);
    EXPECT_EQ(cpWaitProcess(sleeper.pid, 0), std::nullopt);
    kill(sleeper.pid, SIGKILL);
    const std::optional<int> status = cpWaitProcess(sleeper.pid, 5000);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status));
    // Reaped: a second wait finds no such child.
    EXPECT_EQ(cpWaitProcess(sleeper.pid, 0), std::nullopt);
}

TEST(cpStartProcess, HandsOverEnvironmentFolderAndStreamsAsAsked) {
    const std::string out = Root() + "/out.txt";
    setenv("TEV_PROCESS_KEPT", "kept", 1);
    setenv("TEV_PROCESS_DROPPED", "dropped", 1);

    // The environment is the given list; ours is left as it was.
    cpProcessOptions options =
        Shell("echo \"$TEV_PROCESS_KEPT,$TEV_PROCESS_DROPPED,$TEV_NEW,$(pwd)\" > " + out);
    options.environment = cpEnvironmentWith({"TEV_NEW=new value", "TEV_PROCESS_DROPPED"});
    options.workingFolder = Root();
    EXPECT_EQ(RunToEnd(options), 0);
    EXPECT_EQ(ReadFile(out), "kept,,new value," + Root() + "\n");
    EXPECT_EQ(std::getenv("TEV_NEW"), nullptr);
    EXPECT_STREQ(std::getenv("TEV_PROCESS_DROPPED"), "dropped");

    // An environment of its own only.
    options.environment = std::vector<std::string>{"ONLY=1"};
    options.arguments = {"/bin/sh", "-c", "env > " + out};
    EXPECT_EQ(RunToEnd(options), 0);
    EXPECT_EQ(ReadFile(out).find("TEV_PROCESS_KEPT"), std::string::npos);
    EXPECT_NE(ReadFile(out).find("ONLY=1"), std::string::npos);

    // Quiet streams: stdin reads nothing, stdout and stderr go nowhere.
    cpProcessOptions quiet = Shell(
        "read line; test -z \"$line\" || exit 1; a=$(readlink /proc/$$/fd/1); "
        "b=$(readlink /proc/$$/fd/2); echo \"$a $b\" > " +
        out);
    quiet.quietStdio = true;
    EXPECT_EQ(RunToEnd(quiet), 0);
    EXPECT_EQ(ReadFile(out), "/dev/null /dev/null\n");

    // Without a new session the child stays in ours.
    cpProcessOptions sameSession = Shell("exit 0");
    sameSession.newSession = false;
    const cpStartedProcess child = cpStartProcess(sameSession);
    ASSERT_TRUE(child.started);
    EXPECT_EQ(getsid(child.pid), getsid(0));
    cpWaitProcess(child.pid, 5000);

    // A folder that does not exist fails the start.
    cpProcessOptions nowhere = Shell("exit 0");
    nowhere.workingFolder = Root() + "/no/such/folder";
    EXPECT_FALSE(cpStartProcess(nowhere).started);
}

TEST(cpFindProgram, LooksInPathAndTakesOnlyExecutableFiles) {
    EXPECT_EQ(cpFindProgram("sh").empty(), false);
    EXPECT_EQ(cpFindProgram("no-such-program-here"), "");
    EXPECT_EQ(cpFindProgram("/bin"), "");  // a folder is no program
    EXPECT_EQ(cpFindProgram("/bin/sh"), "/bin/sh");
    EXPECT_EQ(cpFindProgram(""), "");
}
