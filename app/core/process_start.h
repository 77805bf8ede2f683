// Starting another program, the way the platform layer does it: posix_spawn, a new session so
// that the program outlives us, and a bounded wait until its exec has happened. Written against
// plain POSIX so that it can join the library's platform layer unchanged.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct cpStartedProcess {
    bool started = false;  // the exec happened (or the wait for it ran out: see timedOut)
    bool timedOut = false;
    pid_t pid = -1;
    int error = 0;  // errno of a failed start
};

// Starts arguments[0] (an absolute path, or a name looked up in PATH) with the rest as its
// arguments, the caller's environment and working folder. Returns once the new program's exec
// has happened, or after readyTimeoutMs, whichever comes first; the time-out is logged. The
// caller owns the child: it may wait for it, or leave it to the system when it exits itself.
cpStartedProcess cpStartProcess(const std::vector<std::string>& arguments, int readyTimeoutMs);

// The absolute path of an executable found in PATH (or name itself when it holds a '/' and is
// executable); empty when there is none.
std::string cpFindProgram(const std::string& name);
