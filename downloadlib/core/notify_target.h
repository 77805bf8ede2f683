// Where notifications for the host go: its notify window and its callback, either or both absent.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "downloadlib.h"

// The door of one initialisation's notifications. The host's finalisation closes it: from then on
// no window procedure or callback of that initialisation is called, and closing waits for the
// calls under way, so that the host may free what they use once finalisation has returned. A
// worker left running by a forced stop finds it closed.
class CNotifyGate {
  public:
    // False once closed; else the caller delivers and then calls Leave.
    bool Enter();
    void Leave();
    // Closes, then waits up to waitMs until no call is under way on another thread (a call on
    // this thread, a finalisation from inside a callback, cannot be waited for). False when the
    // wait ran out.
    bool Close(uint32_t waitMs);

  private:
    std::mutex mutex_;
    std::condition_variable left_;
    bool open_ = true;
    std::vector<std::thread::id> callers_;  // one entry per call under way
};

struct CNotifyTarget {
    uint32_t window = 0;
    DownloadLibCallback callback = nullptr;
    void* userData = nullptr;
    std::shared_ptr<CNotifyGate> gate;  // none: always open

    // Posts WM_DOWNLOADLIB to the window, then calls the callback; a missing channel is skipped,
    // and nothing is sent once the gate is closed. The window's procedure only queues, so this is
    // safe inside the library mutex.
    void Notify(int32_t code, int32_t parameter) const;
};
