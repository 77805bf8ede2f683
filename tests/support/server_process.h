// A server program (opentracker, nginx) that a test starts on a loopback port. It is tied to the
// test's process: ended with it even when the test itself is killed (a time-out, -9), so no run
// leaves one behind. The pid returned is that of a small keeper process between the two.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// Starts argv (looked up in PATH; stdout and stderr appended to log, or inherited when log is
// empty) and waits up to 2 s until something answers on 127.0.0.1:port. Returns its pid, or -1
// when it could not start or ended first (the port taken meanwhile: the caller tries another);
// a program that neither answers nor ends is ended.
pid_t StartServerProcess(const std::vector<std::string>& argv, uint16_t port,
                         const std::string& log = "");
// Ends a server StartServerProcess started (SIGTERM, passed on by its keeper) and waits for it.
void EndServerProcess(pid_t pid);
