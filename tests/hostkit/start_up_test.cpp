#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "hostkit/single_instance.h"
#include "hostkit/start_up.h"
#include "tev_config.h"
#include "process_start.h"

namespace {

std::string LockName() {
    return SingleInstanceLockName(BuiltInFileListUrl());
}

// Connects to the first instance's socket and sends bytes (maybe none) without closing yet.
int ConnectAndSend(const std::string& socketPath, const std::string& bytes) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    if (!bytes.empty()) {
        send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    return fd;
}

}  // namespace

TEST(CCommandLineInfoParser, KeepsTheFirstArgumentWithoutItsFlagCharacter) {
    struct Case {
        std::vector<std::string> arguments;
        const char* first;
        int ignored;
    };
    const Case cases[] = {
        {{}, "", 0},        {{"http://h/list.txt"}, "http://h/list.txt", 0},
        {{"-x"}, "x", 0},   {{"/x"}, "x", 0},
        {{"--x"}, "-x", 0}, {{"a", "-b", "c"}, "a", 2},
        {{"", "b"}, "", 1},  // an empty first argument is kept, and means the built-in URL
    };
    for (const Case& c : cases) {
        CCommandLineInfoParser parser;
        parser.ParseCommandLine(c.arguments);
        EXPECT_EQ(parser.FirstArgument(), c.first);
        EXPECT_EQ(parser.IgnoredCount(), c.ignored);
    }
}

TEST(SingleInstanceLockName, BuiltFromTheBuiltInUrlAndCutAt260Characters) {
    // The built-in server is an https address; a bare host given at run time means http, and an
    // https one is never given a second scheme.
    unsetenv("TEV_DOWNLOAD_SERVER");
    EXPECT_EQ(std::string(TEV_DOWNLOAD_SERVER_DEFAULT).rfind("https://", 0), 0u);
    EXPECT_EQ(BuiltInFileListUrl(),
              std::string(TEV_DOWNLOAD_SERVER_DEFAULT) + "/download/qk/tevdownload/filelist.txt");
    setenv("TEV_DOWNLOAD_SERVER", "127.0.0.1:8080", 1);
    EXPECT_EQ(BuiltInFileListUrl(), "http://127.0.0.1:8080/download/qk/tevdownload/filelist.txt");
    setenv("TEV_DOWNLOAD_SERVER", "https://updates.example/", 1);
    EXPECT_EQ(BuiltInBannerUrl(), "https://updates.example/download/qk/tevdownload/qk.gif");
    unsetenv("TEV_DOWNLOAD_SERVER");
    EXPECT_EQ(SingleInstanceLockName("http://h/f.txt"), "TEV-Downloader::http://h/f.txt");

    const std::string longUrl = "http://h/" + std::string(400, 'p');
    const std::string name = SingleInstanceLockName(longUrl);
    EXPECT_EQ(name.size(), 260u);
    EXPECT_EQ(name, ("TEV-Downloader::" + longUrl).substr(0, 260));

    // Characters, not bytes: a multi-byte character is never cut in two.
    const std::string wide = "http://h/" + std::string(234, 'p') + "\xE9\x81\x8A\xE9\x81\x8A";
    const std::string cut = SingleInstanceLockName(wide);
    EXPECT_EQ(cut, "TEV-Downloader::http://h/" + std::string(234, 'p') + "\xE9\x81\x8A");
}

TEST(CSingleInstance, SecondAcquireSeesTheFirstAndItsSocket) {
    CSingleInstance first(LockName());
    ASSERT_EQ(first.Acquire(), CSingleInstance::State::First);
    EXPECT_EQ(first.LockPath().rfind(std::getenv("XDG_RUNTIME_DIR"), 0), 0u);
    ASSERT_GE(first.ListenFd(), 0);

    CSingleInstance second(LockName());
    EXPECT_EQ(second.Acquire(), CSingleInstance::State::Second);
    EXPECT_TRUE(second.RequestActivation());
    EXPECT_TRUE(second.RequestActivation());
    EXPECT_EQ(first.TakeActivationRequests(), 2);
    EXPECT_EQ(first.TakeActivationRequests(), 0);

    // Another lock name is another product.
    CSingleInstance other("TEV-Downloader::http://elsewhere/filelist.txt");
    EXPECT_EQ(other.Acquire(), CSingleInstance::State::First);
}

TEST(CSingleInstance, OnlyAnActivateLineCountsAndSilentPeersAreBounded) {
    CSingleInstance first(LockName());
    ASSERT_EQ(first.Acquire(), CSingleInstance::State::First);

    const int wrong = ConnectAndSend(first.SocketPath(), "hello\n");
    const int silent = ConnectAndSend(first.SocketPath(), "");
    ASSERT_GE(wrong, 0);
    ASSERT_GE(silent, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(first.TakeActivationRequests(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    close(wrong);
    close(silent);
}

TEST(CSingleInstance, TheLockEndsWithItsHolderAndAStaleSocketIsReplaced) {
    std::string socketPath;
    {
        CSingleInstance first(LockName());
        ASSERT_EQ(first.Acquire(), CSingleInstance::State::First);
        socketPath = first.SocketPath();
    }
    // A socket file left behind by a process that died.
    {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        close(fd);
    }
    CSingleInstance again(LockName());
    ASSERT_EQ(again.Acquire(), CSingleInstance::State::First);
    CSingleInstance second(LockName());
    ASSERT_EQ(second.Acquire(), CSingleInstance::State::Second);
    EXPECT_TRUE(second.RequestActivation());
    EXPECT_EQ(again.TakeActivationRequests(), 1);
}

TEST(CSingleInstance, AStartedProgramDoesNotInheritTheLock) {
    cpStartedProcess child;
    {
        CSingleInstance first(LockName());
        ASSERT_EQ(first.Acquire(), CSingleInstance::State::First);
        child = cpStartProcess({"/bin/sleep", "30"}, 5000);
        ASSERT_TRUE(child.started);
    }
    CSingleInstance next(LockName());
    EXPECT_EQ(next.Acquire(), CSingleInstance::State::First);
    kill(child.pid, SIGKILL);
    waitpid(child.pid, nullptr, 0);
}

TEST(CSingleInstance, NoLockMeansRunningAlone) {
    // A folder where the lock file should be: the lock cannot be taken.
    const std::string lockPath = SingleInstanceBasePath(LockName()) + ".lock";
    ASSERT_EQ(mkdir(lockPath.c_str(), 0700), 0);
    CSingleInstance instance(LockName());
    EXPECT_EQ(instance.Acquire(), CSingleInstance::State::Failed);
    EXPECT_EQ(instance.ListenFd(), -1);

    // Without a runtime folder the lock lives in /tmp, named with the user id.
    unsetenv("XDG_RUNTIME_DIR");
    const std::string base = SingleInstanceBasePath("x");
    EXPECT_EQ(base.rfind("/tmp/tev-downloader-" + std::to_string(getuid()) + "-", 0), 0u) << base;
}
