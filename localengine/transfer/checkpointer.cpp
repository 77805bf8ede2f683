#include "transfer/checkpointer.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "transfer/file_io.h"

namespace tev::localengine {

bool FileSync::Busy() const {
    std::lock_guard lock(mutex_);
    return busy_;
}

void FileSync::Wait() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return !busy_; });
}

int FileSync::TakeError() {
    std::lock_guard lock(mutex_);
    const int error = error_;
    error_ = 0;
    return error;
}

bool FileSync::Completed() const {
    std::lock_guard lock(mutex_);
    return completed_;
}

CompletionStep FileSync::FailedStep() const {
    std::lock_guard lock(mutex_);
    return failedStep_;
}

Checkpointer::Checkpointer(unsigned threads) : readyFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    for (unsigned i = 0; i < std::max(threads, 1U); ++i) {
        threads_.emplace_back([this] { Run(); });
    }
}

Checkpointer::~Checkpointer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) {
        thread.join();
    }
    if (readyFd_ >= 0) {
        close(readyFd_);
    }
}

bool Checkpointer::Queue(Task task) {
    {
        std::lock_guard lock(task.sync->mutex_);
        if (task.sync->busy_) {
            return false;
        }
        task.sync->busy_ = true;
    }
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
    return true;
}

bool Checkpointer::Submit(const std::shared_ptr<FileSync>& sync, int fd, std::string controlPath,
                          ControlRecord record) {
    Task task;
    task.sync = sync;
    task.fd = fd;
    task.controlPath = std::move(controlPath);
    task.record = std::move(record);
    return Queue(std::move(task));
}

bool Checkpointer::SubmitCompletion(const std::shared_ptr<FileSync>& sync, int fd,
                                    std::string partPath, std::string target,
                                    std::string controlPath, FinalRecord record) {
    Task task;
    task.sync = sync;
    task.fd = fd;
    task.completion = true;
    task.partPath = std::move(partPath);
    task.target = std::move(target);
    task.controlPath = std::move(controlPath);
    task.final = std::move(record);
    return Queue(std::move(task));
}

void Checkpointer::Run() {
    while (true) {
        Task task;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty()) {
                return;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        int error = 0;
        bool completed = false;
        CompletionStep step = CompletionStep::Write;
        int pending = 0;
        {
            std::lock_guard lock(task.sync->mutex_);
            pending = task.sync->error_;
        }
        if (!task.completion) {
            // Data first, then the record that claims it. After a failed sync no record follows
            // until the loop has taken the failure in: a later fdatasync may succeed although
            // the pages the failed one could not write are gone, and a record would claim them.
            errno = 0;
            if (pending != 0) {
                error = pending;
            } else if (!SyncData(task.fd) || !WriteControlFile(task.controlPath, task.record)) {
                error = errno != 0 ? errno : EIO;
            }
        } else if (ftruncate(task.fd, static_cast<off_t>(task.final.size)) != 0 ||
                   (WriteFinalRecord(task.fd, task.final), !SyncData(task.fd))) {
            // The record is best effort: without it a later job fetches the file again.
            // Whole and on disk before it takes the final name.
            error = errno != 0 ? errno : EIO;
        } else if (rename(task.partPath.c_str(), task.target.c_str()) != 0) {
            error = errno != 0 ? errno : EIO;
            step = CompletionStep::Rename;
        } else {
            unlink(task.controlPath.c_str());
            SyncFolderOf(task.target);
            completed = true;
        }
        {
            std::lock_guard lock(task.sync->mutex_);
            task.sync->busy_ = false;
            if (error != 0) {
                task.sync->error_ = error;  // kept until the loop takes it
            }
            if (task.completion) {
                task.sync->completed_ = completed;
                task.sync->failedStep_ = step;
            }
        }
        task.sync->idle_.notify_all();
        if (task.completion && readyFd_ >= 0) {
            const uint64_t one = 1;
            if (write(readyFd_, &one, sizeof one) < 0) {
                // The counter is full only if the loop stopped reading: nothing to wake then.
            }
        }
    }
}

}  // namespace tev::localengine
