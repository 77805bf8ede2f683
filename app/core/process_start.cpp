#include "core/process_start.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "foundation/log.h"

extern char** environ;

namespace {

bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

// Closes its descriptors when it goes.
struct Pipe {
    int read = -1;
    int write = -1;
    ~Pipe() {
        CloseWrite();
        if (read >= 0) {
            close(read);
        }
    }
    void CloseWrite() {
        if (write >= 0) {
            close(write);
            write = -1;
        }
    }
};

// Waits until the write end has gone everywhere: the child closes it at exec (close-on-exec).
bool WaitForExec(int readEnd, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return false;
        }
        pollfd entry{readEnd, POLLIN, 0};
        const int ready = poll(&entry, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return ready < 0;  // a broken poll is not worth waiting for
        }
        char byte = 0;
        const ssize_t got = read(readEnd, &byte, 1);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
            return true;
        }
    }
}

}  // namespace

cpStartedProcess cpStartProcess(const std::vector<std::string>& arguments, int readyTimeoutMs) {
    cpStartedProcess result;
    if (arguments.empty() || arguments[0].empty()) {
        result.error = EINVAL;
        return result;
    }
    Pipe ready;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        result.error = errno;
        return result;
    }
    ready.read = ends[0];
    ready.write = ends[1];

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    // Its own session: closing our terminal or our process group does not end the installer.
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    ready.CloseWrite();
    if (spawned != 0) {
        result.error = spawned;
        return result;
    }
    result.pid = pid;
    result.started = true;
    if (!WaitForExec(ready.read, readyTimeoutMs)) {
        result.timedOut = true;
        WriteLogLineF("[TEVDownloader] %s did not report its start within %d ms",
                      arguments[0].c_str(), readyTimeoutMs);
    }
    return result;
}

std::string cpFindProgram(const std::string& name) {
    if (name.empty()) {
        return {};
    }
    if (name.find('/') != std::string::npos) {
        return IsExecutableFile(name) ? name : std::string();
    }
    const char* path = std::getenv("PATH");
    const std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t begin = 0;
    while (begin <= folders.size()) {
        size_t end = folders.find(':', begin);
        if (end == std::string::npos) {
            end = folders.size();
        }
        const std::string folder = end > begin ? folders.substr(begin, end - begin) : ".";
        const std::string candidate = folder + "/" + name;
        if (IsExecutableFile(candidate)) {
            return candidate;
        }
        begin = end + 1;
    }
    return {};
}
