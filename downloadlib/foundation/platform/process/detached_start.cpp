#include "detached_start.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>

#include "process_start.h"

namespace {

using Clock = std::chrono::steady_clock;

// Descriptors the children place at fixed numbers; everything from kFirstClosed on is closed.
constexpr int kReadyChildFd = 3;
constexpr int kStatusChildFd = 4;
constexpr int kFirstClosed = 5;
// Pipe ends are kept at or above this in the parent, clear of the numbers the children use.
constexpr int kHighFd = 10;

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Close() {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    void Reset(int fd) {
        Close();
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// A close-on-exec pipe whose ends sit at kHighFd or above.
bool HighPipe(Fd* readEnd, Fd* writeEnd) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    const Fd lowRead(ends[0]);
    const Fd lowWrite(ends[1]);
    readEnd->Reset(fcntl(ends[0], F_DUPFD_CLOEXEC, kHighFd));
    writeEnd->Reset(fcntl(ends[1], F_DUPFD_CLOEXEC, kHighFd));
    return readEnd->get() >= 0 && writeEnd->get() >= 0;
}

// Reads exactly size bytes before the deadline: 1 done, 0 the pipe ended first, -1 time-out.
int ReadWithin(int fd, void* data, size_t size, Clock::time_point deadline) {
    size_t done = 0;
    while (done < size) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = poll(&entry, 1, MillisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return -1;
        }
        const ssize_t got = read(fd, static_cast<char*>(data) + done, size - done);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0) {
            return 0;
        }
        done += static_cast<size_t>(got);
    }
    return 1;
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

// In the grandchild, between fork and exec: only async-signal-safe calls.
[[noreturn]] void ExecProgram(const char* program, char* const* argv, char* const* envp,
                              int readyWrite, int statusWrite) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    for (int signal : {SIGPIPE, SIGCHLD, SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
        sigaction(signal, &byDefault, nullptr);
    }
    const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    int failed = devNull < 0;
    for (int stream = 0; stream < 3 && !failed; ++stream) {
        failed = dup2(devNull, stream) < 0;
    }
    if (!failed && readyWrite >= 0) {
        failed = dup2(readyWrite, kReadyChildFd) < 0;  // dup2 clears close-on-exec
    }
    if (!failed) {
        failed = dup3(statusWrite, kStatusChildFd, O_CLOEXEC) < 0;
    }
    if (!failed && close_range(kFirstClosed, UINT_MAX, 0) != 0) {
        for (int fd = kFirstClosed; fd < 4096; ++fd) {
            close(fd);
        }
    }
    if (!failed) {
        execve(program, argv, envp);
    }
    const int error = errno != 0 ? errno : EIO;
    const ssize_t ignored = write(failed ? statusWrite : kStatusChildFd, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

}  // namespace

cpDetachedProcess::~cpDetachedProcess() {
    Reset();
}

cpDetachedProcess::cpDetachedProcess(cpDetachedProcess&& other) noexcept
    : pid_(other.pid_), readyFd_(other.readyFd_) {
    other.pid_ = -1;
    other.readyFd_ = -1;
}

cpDetachedProcess& cpDetachedProcess::operator=(cpDetachedProcess&& other) noexcept {
    if (this != &other) {
        Reset();
        pid_ = other.pid_;
        readyFd_ = other.readyFd_;
        other.pid_ = -1;
        other.readyFd_ = -1;
    }
    return *this;
}

void cpDetachedProcess::Reset() {
    if (readyFd_ >= 0) {
        close(readyFd_);
    }
    readyFd_ = -1;
    pid_ = -1;
}

int cpStartDetached(const cpDetachedOptions& options, cpDetachedProcess* process) {
    process->Reset();
    if (options.program.empty() || options.program[0] != '/') {
        return EINVAL;
    }
    const bool withReady = !options.readyFdVariable.empty();
    Fd readyRead, readyWrite, statusRead, statusWrite, pidRead, pidWrite;
    if ((withReady && !HighPipe(&readyRead, &readyWrite)) || !HighPipe(&statusRead, &statusWrite) ||
        !HighPipe(&pidRead, &pidWrite)) {
        return errno != 0 ? errno : EMFILE;
    }

    // Everything the children need is built before the fork: they must not allocate.
    std::vector<std::string> arguments{options.program};
    arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());
    std::vector<std::string> environment;
    const std::string readyPrefix = options.readyFdVariable + "=";
    for (const std::string& entry : options.environment) {
        if (!withReady || entry.compare(0, readyPrefix.size(), readyPrefix) != 0) {
            environment.push_back(entry);
        }
    }
    if (withReady) {
        environment.push_back(readyPrefix + std::to_string(kReadyChildFd));
    }
    std::vector<char*> argv = PointersTo(arguments);
    std::vector<char*> envp = PointersTo(environment);
    const char* program = options.program.c_str();

    const pid_t intermediate = fork();
    if (intermediate < 0) {
        return errno;
    }
    if (intermediate == 0) {
        // A session of its own, then the program in a child that init adopts when we end. The
        // intermediate learns how the exec went, and reaps a child whose exec failed, so not
        // even a failed start leaves a zombie behind.
        setsid();
        const pid_t grandchild = fork();
        if (grandchild == 0) {
            ExecProgram(program, argv.data(), envp.data(), withReady ? readyWrite.get() : -1,
                        statusWrite.get());
        }
        statusWrite.Close();
        pid_t sent = grandchild > 0 ? grandchild : -errno;
        if (grandchild > 0) {
            int error = 0;
            ssize_t got;
            do {
                got = read(statusRead.get(), &error, sizeof error);
            } while (got < 0 && errno == EINTR);
            if (got > 0) {
                waitpid(grandchild, nullptr, 0);
                sent = -(error != 0 ? error : EIO);
            }
        }
        const ssize_t ignored = write(pidWrite.get(), &sent, sizeof sent);
        (void)ignored;
        _exit(0);
    }
    readyWrite.Close();
    statusWrite.Close();
    statusRead.Close();
    pidWrite.Close();

    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(options.startTimeoutMs);
    pid_t pid = 0;
    const int answered = ReadWithin(pidRead.get(), &pid, sizeof pid, deadline);
    if (answered != 1) {
        // No word in time (or none at all): end the intermediate rather than wait on.
        kill(intermediate, SIGKILL);
    }
    cpWaitProcess(intermediate, answered == 1 ? MillisecondsLeft(deadline) + 1000 : 1000);
    if (answered != 1) {
        return ETIMEDOUT;
    }
    if (pid <= 0) {
        return pid < 0 ? -pid : EIO;
    }
    process->pid_ = pid;
    process->readyFd_ = withReady ? readyRead.release() : -1;
    return 0;
}

cpReadiness cpWaitReady(const cpDetachedProcess& process, int timeoutMs) {
    if (process.readyFd() < 0) {
        return cpReadiness::kNoPipe;
    }
    char byte = 0;
    switch (ReadWithin(process.readyFd(), &byte, 1,
                       Clock::now() + std::chrono::milliseconds(timeoutMs))) {
        case 1:
            return cpReadiness::kSignalled;
        case 0:
            return cpReadiness::kClosed;
        default:
            return cpReadiness::kTimedOut;
    }
}
