#include "transfer/file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>

namespace tev::localengine {
namespace {

std::mutex& SeamMutex() {
    static std::mutex mutex;
    return mutex;
}

PwriteFunction& Seam() {
    static PwriteFunction function;
    return function;
}

SyncFunction& SyncSeam() {
    static SyncFunction function;
    return function;
}

}  // namespace

void SetFdatasyncForTests(SyncFunction function) {
    std::lock_guard lock(SeamMutex());
    SyncSeam() = std::move(function);
}

bool SyncData(int fd) {
    SyncFunction seam;
    {
        std::lock_guard lock(SeamMutex());
        seam = SyncSeam();
    }
    while (true) {
        const int result = seam ? seam(fd) : fdatasync(fd);
        if (result == 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

void SetPwriteForTests(PwriteFunction function) {
    std::lock_guard lock(SeamMutex());
    Seam() = std::move(function);
}

bool WriteAll(int fd, const void* data, size_t size, uint64_t offset) {
    PwriteFunction seam;
    {
        std::lock_guard lock(SeamMutex());
        seam = Seam();
    }
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = seam ? seam(fd, bytes, size, static_cast<off_t>(offset))
                               : pwrite(fd, bytes, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

void SyncFolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    // One sync of a folder makes every change made in it before the sync began durable: the
    // checkpointer's threads completing files in one folder share syncs instead of each waiting
    // for its own (a job of many small files in one folder would sync the folder once a file).
    struct Folder {
        uint64_t asked = 0;  // changes that want a sync, counted as they ask
        uint64_t done = 0;   // changes covered by a finished sync
        bool running = false;
        uint32_t waiting = 0;
    };
    static std::mutex mutex;
    static std::condition_variable finished;
    static std::map<std::string, Folder> folders;  // only those with a caller waiting
    std::unique_lock lock(mutex);
    Folder& state = folders[folder];  // a map's entries stay put while others come and go
    const uint64_t mine = ++state.asked;
    ++state.waiting;
    while (state.done < mine) {
        if (state.running) {
            finished.wait(lock);
            continue;
        }
        state.running = true;
        const uint64_t covers = state.asked;  // every change made before this sync begins
        lock.unlock();
        const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            fsync(fd);
            close(fd);
        }
        lock.lock();
        state.done = covers;
        state.running = false;
        finished.notify_all();
    }
    if (--state.waiting == 0) {
        folders.erase(folder);
    }
}

bool IsDiskFullError(int error) {
    return error == ENOSPC || error == EDQUOT || error == EFBIG;
}

}  // namespace tev::localengine
