// Small file helpers of the transfer code, and the seam through which tests make writes fail
// (a full disk) and syncs fail without a failing disk.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tev::localengine {

// pwrite as the transfer code calls it; tests replace it to fail with ENOSPC. Empty: the real one.
using PwriteFunction = std::function<ssize_t(int fd, const void* data, size_t size, off_t offset)>;
void SetPwriteForTests(PwriteFunction function);

// fdatasync as the transfer code calls it; tests replace it to fail as a disk does (EIO, or
// ENOSPC on a file system that allocates late). Empty: the real one.
using SyncFunction = std::function<int(int fd)>;
void SetFdatasyncForTests(SyncFunction function);
// fdatasync through the seam; retried on EINTR. False with errno set on failure.
bool SyncData(int fd);

// Writes all bytes at offset (retrying short writes and EINTR). False with errno set on failure.
bool WriteAll(int fd, const void* data, size_t size, uint64_t offset);
// fsync of the folder holding path, so that a rename in it survives a power loss.
void SyncFolderOf(const std::string& path);
// ENOSPC, EDQUOT and EFBIG: the target disk has no room.
bool IsDiskFullError(int error);

}  // namespace tev::localengine
