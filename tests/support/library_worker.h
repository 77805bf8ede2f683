// Reaches into a running library (after DownloadLib_Initialize): runs code on its worker thread
// inside the library mutex and moves its clock, as LoopThread does for a loop of the test's own.
#pragma once

#include <cstdint>
#include <functional>

class CJobManager;

namespace LibraryWorker {

// The job manager of the initialised library, or null.
CJobManager* Manager();
// Runs fn on the worker, inside the library mutex, and waits for it. False when the library has
// no worker or fn did not run within timeoutMs.
bool Run(const std::function<void()>& fn, int timeoutMs = 5000);
// Posts fn to the worker and returns at once.
bool Post(std::function<void()> fn);
// Advances the test clock by ms in 100 ms steps, running the timer tick on the worker after each
// step. The test clock must have been installed before DownloadLib_Initialize.
void StepClock(int64_t ms);

}  // namespace LibraryWorker
