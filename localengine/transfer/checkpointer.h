// Checkpointer: brings control files up to date on a thread of its own. Syncing a part file
// waits for the disk; on the loop's thread that would stall every transfer for as long as the
// disk needs to take a second's worth of data. The loop hands over a snapshot of what pwrite has
// accepted; the thread syncs the data, then replaces the control file with that snapshot, so the
// record never claims more than the disk holds.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "transfer/control_file.h"

namespace tev::localengine {

// One file's side of it: whether a checkpoint is under way, and how the last one ended.
class FileSync {
  public:
    bool Busy() const;
    // Waits until no checkpoint of the file is under way (before its file is closed, renamed,
    // reset or given a record by the loop itself).
    void Wait();
    // errno of the last failed checkpoint, 0 when none; taking it clears it.
    int TakeError();

  private:
    friend class Checkpointer;
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    bool busy_ = false;
    int error_ = 0;
};

class Checkpointer {
  public:
    Checkpointer();
    ~Checkpointer();  // finishes what was handed over, then stops
    Checkpointer(const Checkpointer&) = delete;
    Checkpointer& operator=(const Checkpointer&) = delete;

    // fd stays open until sync->Wait() returned. Ignored (false) while sync is busy.
    bool Submit(const std::shared_ptr<FileSync>& sync, int fd, std::string controlPath,
                ControlRecord record);

  private:
    struct Task {
        std::shared_ptr<FileSync> sync;
        int fd = -1;
        std::string controlPath;
        ControlRecord record;
    };
    void Run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace tev::localengine
