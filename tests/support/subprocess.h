// Runs a program of the project as a child process, as a user would from a shell, with a
// bounded wait: its output is collected line by line and the test may signal it meanwhile.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

struct ProcessResult {
    int exitCode = -1;  // -1 when it was killed for running too long
    std::string out;
    std::string err;
    bool timedOut = false;
};

struct ProcessOptions {
    std::vector<std::pair<std::string, std::string>> environment;  // added to the test's own
    int timeoutMs = 60000;
    std::string workingFolder;  // empty: the test's own
    int standardInput = -1;  // a descriptor the child reads as its standard input; -1: the test's
    // Called for every complete line of standard output, with the child's pid (for signals).
    std::function<void(const std::string& line, pid_t pid)> onOutputLine;
};

ProcessResult RunProcess(const std::vector<std::string>& arguments, const ProcessOptions& options);
