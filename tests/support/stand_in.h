// The stand-in engine program (tests/support/stand_in_engine.cpp) placed where a test needs it:
// it carries a version block and follows the script written beside it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// The built stand-in program.
std::string StandInEngineProgram();
// Copies the stand-in to path (executable, folders created) and writes its script beside it.
bool InstallStandInEngine(const std::string& path, const std::vector<std::string>& script);
// The pid the copy at path wrote when it started, waiting up to 5 s for it; -1 when none.
pid_t StandInPid(const std::string& path);
// Ends the stand-in (SIGKILL) and waits up to 5 s until it is gone, reaping it when this process
// is its parent (a test that made itself a subreaper adopts the detached engine).
void EndStandIn(pid_t pid);
