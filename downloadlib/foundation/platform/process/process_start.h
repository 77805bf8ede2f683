// Starting another program: the one place that spawns processes, shared by the library's platform
// layer and the hosts. Plain POSIX (posix_spawn), no library state, so any target may link it.
// Arguments and environment are handed over as lists: the caller's own environment is never
// changed, which keeps a start safe while other threads run.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

// What to start and how.
struct cpProcessOptions {
    // arguments[0] is an absolute path, or a name looked up in PATH; the rest are its arguments.
    std::vector<std::string> arguments;
    // "NAME=value" entries, the whole environment of the new program; none: the caller's.
    std::optional<std::vector<std::string>> environment;
    std::string workingFolder;  // empty: the caller's
    // Its own session: closing our terminal or our process group does not end the program.
    bool newSession = true;
    // stdin, stdout and stderr on /dev/null, for a program that must not write into ours.
    bool quietStdio = false;
    // Upper bound of the wait until the program is ready (here: its exec has happened).
    int readyTimeoutMs = 10000;
};

struct cpStartedProcess {
    bool started = false;   // the program runs (or the wait for it ran out: see timedOut)
    bool timedOut = false;  // started, but not ready within readyTimeoutMs
    pid_t pid = -1;
    int error = 0;  // errno of a failed start
};

// Starts the program and returns once it is ready or the time-out has passed. The caller owns the
// child and reaps it (cpWaitProcess), or lets it outlive us.
cpStartedProcess cpStartProcess(const cpProcessOptions& options);
// The common case: the caller's environment and folder, a new session.
cpStartedProcess cpStartProcess(const std::vector<std::string>& arguments, int readyTimeoutMs);

// The caller's environment with each "NAME=value" of changes set (replacing an entry of the same
// name) and each bare "NAME" removed; for cpProcessOptions::environment.
std::vector<std::string> cpEnvironmentWith(const std::vector<std::string>& changes);

// Waits up to timeoutMs for the child pid to end and reaps it. Its wait status (as waitpid gives
// it) once it has ended; nothing while it still runs or when it is not our child.
std::optional<int> cpWaitProcess(pid_t pid, int timeoutMs);

// The absolute path of an executable found in PATH (or name itself when it holds a '/' and is
// executable); empty when there is none.
std::string cpFindProgram(const std::string& name);
