#include "foundation/platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <mutex>

namespace {

struct WriteFailure {
    bool armed = false;
    int64_t budget = 0;
    int error = 0;
    int truncateError = 0;  // 0: truncating works
};

std::mutex gFailureMutex;
WriteFailure gFailure;

// How many of length bytes the seam lets through; *error set when it stops the rest.
size_t AllowedBySeam(size_t length, int* error) {
    std::lock_guard lock(gFailureMutex);
    if (!gFailure.armed) {
        return length;
    }
    const size_t allowed =
        static_cast<size_t>(std::clamp<int64_t>(gFailure.budget, 0, static_cast<int64_t>(length)));
    gFailure.budget -= static_cast<int64_t>(allowed);
    if (allowed < length) {
        *error = gFailure.error;
    }
    return allowed;
}

}  // namespace

bool cpIsDiskFullError(int error) {
    return error == ENOSPC || error == EDQUOT || error == EFBIG;
}

int64_t cpFileSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

cpCFile::~cpCFile() {
    Close();
}

int cpCFile::Open(const std::string& path) {
    Close();
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    return fd_ >= 0 ? 0 : errno;
}

int64_t cpCFile::SeekToEnd() {
    if (fd_ < 0) {
        return -1;
    }
    const off_t end = ::lseek(fd_, 0, SEEK_END);
    return end < 0 ? -1 : static_cast<int64_t>(end);
}

int cpCFile::Write(const void* data, size_t length, size_t* written) {
    *written = 0;
    if (fd_ < 0) {
        return EBADF;
    }
    int seamError = 0;
    const size_t allowed = AllowedBySeam(length, &seamError);
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (*written < allowed) {
        const ssize_t n = ::write(fd_, bytes + *written, allowed - *written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        *written += static_cast<size_t>(n);
    }
    return allowed < length ? seamError : 0;
}

int cpWriteAll(int fd, const void* data, size_t length) {
    int seamError = 0;
    const size_t allowed = AllowedBySeam(length, &seamError);
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t written = 0;
    while (written < allowed) {
        const ssize_t n = ::write(fd, bytes + written, allowed - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return EIO;
        }
        written += static_cast<size_t>(n);
    }
    return allowed < length ? seamError : 0;
}

int cpCFile::Truncate(int64_t size) {
    if (fd_ < 0) {
        return EBADF;
    }
    {
        std::lock_guard lock(gFailureMutex);
        if (gFailure.truncateError != 0) {
            return gFailure.truncateError;
        }
    }
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
        return errno;
    }
    return ::lseek(fd_, static_cast<off_t>(size), SEEK_SET) < 0 ? errno : 0;
}

void cpCFile::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

namespace cpTestWriteFailure {

void FailAfter(int64_t bytes, int error) {
    std::lock_guard lock(gFailureMutex);
    gFailure = WriteFailure{true, bytes, error, gFailure.truncateError};
}

void FailTruncate(int error) {
    std::lock_guard lock(gFailureMutex);
    gFailure.truncateError = error;
}

void Clear() {
    std::lock_guard lock(gFailureMutex);
    gFailure = WriteFailure{};
}

}  // namespace cpTestWriteFailure
