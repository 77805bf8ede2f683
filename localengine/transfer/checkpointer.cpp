#include "transfer/checkpointer.h"

#include <unistd.h>

#include <cerrno>

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

Checkpointer::Checkpointer() : thread_([this] { Run(); }) {}

Checkpointer::~Checkpointer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

bool Checkpointer::Submit(const std::shared_ptr<FileSync>& sync, int fd, std::string controlPath,
                          ControlRecord record) {
    {
        std::lock_guard lock(sync->mutex_);
        if (sync->busy_) {
            return false;
        }
        sync->busy_ = true;
    }
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back({sync, fd, std::move(controlPath), std::move(record)});
    }
    wake_.notify_one();
    return true;
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
        // Data first, then the record that claims it.
        int error = 0;
        if (fdatasync(task.fd) != 0 || !WriteControlFile(task.controlPath, task.record)) {
            error = errno != 0 ? errno : EIO;
        }
        {
            std::lock_guard lock(task.sync->mutex_);
            task.sync->busy_ = false;
            task.sync->error_ = error;
        }
        task.sync->idle_.notify_all();
    }
}

}  // namespace tev::localengine
