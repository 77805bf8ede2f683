// Checkpointer: the engine's waits for the disk, on a few threads of their own. Syncing a part
// file waits for the disk; on the loop's thread that would stall every transfer for as long as
// the disk needs to take a second's worth of data, and a job of many small files would wait for
// one file's sync, rename and folder sync before the next could start.
//
// Two kinds of work: a checkpoint (the loop hands over a snapshot of what pwrite has accepted;
// a thread syncs the data, then replaces the control file with that snapshot, so the record never
// claims more than the disk holds), and a completion (a complete part file is cut to its size,
// synced, renamed to its final name, its control file removed and its folder synced). Several
// threads let the syncs of different files overlap, so the file system commits them together.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transfer/control_file.h"
#include "transfer/final_record.h"

namespace tev::localengine {

// Where a completion stopped: cutting and syncing the data, or renaming it.
enum class CompletionStep { Write, Rename };

// One file's side of it: whether work on it is under way, and how the last work ended.
class FileSync {
  public:
    bool Busy() const;
    // Waits until no work on the file is under way (before its file is closed, renamed, reset or
    // given a record by the loop itself).
    void Wait();
    // errno of a failed checkpoint or completion since it was last taken, 0 when none; taking it
    // clears it. Only while no work is under way: until it is taken, no checkpoint writes a
    // record.
    int TakeError();
    // Whether the last completion renamed the file to its final name; when it did not, the
    // step it failed at.
    bool Completed() const;
    CompletionStep FailedStep() const;

  private:
    friend class Checkpointer;
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    bool busy_ = false;
    bool completed_ = false;
    CompletionStep failedStep_ = CompletionStep::Write;
    int error_ = 0;
};

class Checkpointer {
  public:
    explicit Checkpointer(unsigned threads = 4);
    ~Checkpointer();  // finishes what was handed over, then stops
    Checkpointer(const Checkpointer&) = delete;
    Checkpointer& operator=(const Checkpointer&) = delete;

    // Readable (an eventfd) after a completion ended: the loop watches it and reads it empty.
    int ReadyFd() const { return readyFd_; }

    // fd stays open until sync->Wait() returned. Ignored (false) while sync is busy.
    bool Submit(const std::shared_ptr<FileSync>& sync, int fd, std::string controlPath,
                ControlRecord record);
    // Truncates fd to record.size, gives it the record (when it has a validator), syncs it,
    // renames partPath to target, removes controlPath and syncs the folder. fd stays open (and
    // locked) for the caller to close. False while sync is busy.
    bool SubmitCompletion(const std::shared_ptr<FileSync>& sync, int fd, std::string partPath,
                          std::string target, std::string controlPath, FinalRecord record);

  private:
    struct Task {
        std::shared_ptr<FileSync> sync;
        int fd = -1;
        bool completion = false;
        std::string controlPath;
        ControlRecord record;  // a checkpoint's
        std::string partPath;  // a completion's
        std::string target;
        FinalRecord final;
    };
    bool Queue(Task task);
    void Run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    bool stopping_ = false;
    int readyFd_ = -1;
    std::vector<std::thread> threads_;
};

}  // namespace tev::localengine
