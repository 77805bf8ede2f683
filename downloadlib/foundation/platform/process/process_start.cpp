#include "process_start.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
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
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int left = MillisecondsLeft(deadline);
        if (left <= 0) {
            return false;
        }
        pollfd entry{readEnd, POLLIN, 0};
        const int ready = poll(&entry, 1, left);
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

std::vector<char*> PointersTo(const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    pointers.reserve(texts.size() + 1);
    for (const std::string& text : texts) {
        pointers.push_back(const_cast<char*>(text.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Owns the spawn attributes and file actions for the length of one start.
struct SpawnSetup {
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    SpawnSetup() {
        posix_spawnattr_init(&attributes);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

int Configure(SpawnSetup& setup, const cpProcessOptions& options) {
    // The child starts with no blocked signals and default SIGPIPE/SIGCHLD, whatever we changed.
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (options.newSession) {
        flags |= POSIX_SPAWN_SETSID;
    }
    if (int failed = posix_spawnattr_setflags(&setup.attributes, flags); failed != 0) {
        return failed;
    }
    if (options.quietStdio) {
        for (int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
            const int mode = stream == STDIN_FILENO ? O_RDONLY : O_WRONLY;
            if (int failed =
                    posix_spawn_file_actions_addopen(&setup.actions, stream, "/dev/null", mode, 0);
                failed != 0) {
                return failed;
            }
        }
    }
    if (!options.workingFolder.empty()) {
        return posix_spawn_file_actions_addchdir_np(&setup.actions, options.workingFolder.c_str());
    }
    return 0;
}

bool SameName(const std::string& entry, const std::string& change) {
    const size_t nameEnd = change.find('=');
    const size_t length = nameEnd == std::string::npos ? change.size() : nameEnd;
    return entry.size() > length && entry.compare(0, length, change, 0, length) == 0 &&
           entry[length] == '=';
}

}  // namespace

cpStartedProcess cpStartProcess(const cpProcessOptions& options) {
    cpStartedProcess result;
    if (options.arguments.empty() || options.arguments[0].empty()) {
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

    SpawnSetup setup;
    if (int failed = Configure(setup, options); failed != 0) {
        result.error = failed;
        return result;
    }
    std::vector<char*> argv = PointersTo(options.arguments);
    std::vector<char*> envp;
    if (options.environment) {
        envp = PointersTo(*options.environment);
    }
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &setup.actions, &setup.attributes, argv.data(),
                                     options.environment ? envp.data() : environ);
    ready.CloseWrite();
    if (spawned != 0) {
        result.error = spawned;
        return result;
    }
    result.pid = pid;
    result.started = true;
    result.timedOut = !WaitForExec(ready.read, options.readyTimeoutMs);
    return result;
}

cpStartedProcess cpStartProcess(const std::vector<std::string>& arguments, int readyTimeoutMs) {
    cpProcessOptions options;
    options.arguments = arguments;
    options.readyTimeoutMs = readyTimeoutMs;
    return cpStartProcess(options);
}

std::vector<std::string> cpEnvironmentWith(const std::vector<std::string>& changes) {
    std::vector<std::string> environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text = *entry;
        bool changed = false;
        for (const std::string& change : changes) {
            changed = changed || SameName(text, change);
        }
        if (!changed) {
            environment.push_back(text);
        }
    }
    for (const std::string& change : changes) {
        if (change.find('=') != std::string::npos) {
            environment.push_back(change);
        }
    }
    return environment;
}

std::optional<int> cpWaitProcess(pid_t pid, int timeoutMs) {
    if (pid <= 0) {
        return std::nullopt;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // A pidfd turns "the child ended" into a readable descriptor; without one, poll waitpid.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    std::optional<int> status;
    for (;;) {
        int word = 0;
        const pid_t ended = waitpid(pid, &word, WNOHANG);
        if (ended == pid) {
            status = word;
            break;
        }
        if (ended < 0 && errno != EINTR) {
            break;  // not our child (or already reaped)
        }
        const int left = MillisecondsLeft(deadline);
        if (left <= 0) {
            break;
        }
        if (pidfd >= 0) {
            pollfd entry{pidfd, POLLIN, 0};
            poll(&entry, 1, left);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(left, 10)));
        }
    }
    if (pidfd >= 0) {
        close(pidfd);
    }
    return status;
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
