// Starting a program that outlives us and is nobody's child here: the local download engine.
//
// The program is started through an intermediate process that ends at once (a double fork),
// so it never becomes a zombie of ours and nobody has to reap it. It runs in a session of its
// own, with its standard streams on /dev/null and no other descriptor of ours, so a test
// runner's pipes are never held by it. Its environment is handed over as a list: the caller's
// environment is never changed, which keeps the start safe while other threads run.
//
// Readiness: when readyFdVariable is set, the program gets the write end of a pipe, its number
// in that environment variable, and writes one byte once it is ready; cpWaitReady waits for
// that byte, for the end of the pipe (the program closed it or exited) or for the time-out.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct cpDetachedOptions {
    std::string program;                   // absolute path of the program
    std::vector<std::string> arguments;    // after the program's own name
    std::vector<std::string> environment;  // "NAME=value", the program's whole environment
    std::string readyFdVariable;           // e.g. "TEV_READY_FD"; empty: no readiness pipe
    int startTimeoutMs = 5000;             // bound of the wait for the exec itself
};

// A started program: its pid (for logs and tests; not our child) and the read end of its
// readiness pipe. Move-only; closes the pipe when it goes.
class cpDetachedProcess {
  public:
    cpDetachedProcess() = default;
    ~cpDetachedProcess();
    cpDetachedProcess(cpDetachedProcess&& other) noexcept;
    cpDetachedProcess& operator=(cpDetachedProcess&& other) noexcept;
    cpDetachedProcess(const cpDetachedProcess&) = delete;
    cpDetachedProcess& operator=(const cpDetachedProcess&) = delete;

    pid_t pid() const { return pid_; }
    int readyFd() const { return readyFd_; }

  private:
    friend int cpStartDetached(const cpDetachedOptions& options, cpDetachedProcess* process);
    void Reset();

    pid_t pid_ = -1;
    int readyFd_ = -1;
};

// 0 once the program's exec has happened, else the errno of what failed (ENOENT, EACCES,
// ENOEXEC ... from the exec; ETIMEDOUT when the exec did not happen within startTimeoutMs).
int cpStartDetached(const cpDetachedOptions& options, cpDetachedProcess* process);

enum class cpReadiness {
    kSignalled,  // the byte came
    kClosed,     // the pipe ended without it: the program closed it or exited
    kTimedOut,   // neither within the time-out
    kNoPipe,     // started without a readiness pipe
};
cpReadiness cpWaitReady(const cpDetachedProcess& process, int timeoutMs);
