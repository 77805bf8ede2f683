#include "support/server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/tcp_peer.h"

namespace {

// The keeper: a child of the test that stays as it is (a server that drops privileges loses its
// parent-death signal), gets SIGTERM when the test dies or ends the server, and passes it on.
// Only async-signal-safe calls: the test may have threads.
[[noreturn]] void Keep(char* const* args, const char* log, pid_t test) {
    // It never execs: the test's sockets (a server the test stops, a listener) must not stay
    // open here.
    close_range(3, ~0U, 0);
    sigset_t watched;
    sigemptyset(&watched);
    sigaddset(&watched, SIGTERM);
    sigaddset(&watched, SIGCHLD);
    sigset_t before;
    sigprocmask(SIG_BLOCK, &watched, &before);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != test) {
        _exit(127);  // the test died before the line above
    }
    const pid_t server = fork();
    if (server < 0) {
        _exit(127);
    }
    if (server == 0) {
        sigprocmask(SIG_SETMASK, &before, nullptr);
        if (log != nullptr) {
            const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
            if (fd >= 0) {
                dup2(fd, STDOUT_FILENO);
                dup2(fd, STDERR_FILENO);
            }
        }
        execvp(args[0], args);
        _exit(127);
    }
    for (;;) {
        siginfo_t info;
        if (sigwaitinfo(&watched, &info) == SIGTERM) {
            kill(server, SIGTERM);
            waitpid(server, nullptr, 0);
            _exit(0);
        }
        int status = 0;
        if (waitpid(server, &status, WNOHANG) == server) {
            _exit(127);  // the server ended by itself
        }
    }
}

}  // namespace

pid_t StartServerProcess(const std::vector<std::string>& argv, uint16_t port,
                         const std::string& log) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const pid_t test = getpid();
    const pid_t keeper = fork();
    if (keeper < 0) {
        return -1;
    }
    if (keeper == 0) {
        Keep(args.data(), log.empty() ? nullptr : log.c_str(), test);
    }
    for (int i = 0; i < 100; ++i) {
        if (LoopbackPortAnswers(port)) {
            return keeper;
        }
        int status = 0;
        if (waitpid(keeper, &status, WNOHANG) == keeper) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EndServerProcess(keeper);
    return -1;
}

void EndServerProcess(pid_t pid) {
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
}
