// Free space of the file system that holds a path, with a seam so that tests can answer it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Bytes the caller may still write on the file system holding path: statvfs of the nearest
// existing ancestor, f_bavail * f_frsize. 0 when it cannot be read.
int64_t cpFreeBytesOfDrive(const std::string& path);

// The free-space seam: while set, cpFreeBytesOfDrive answers from it. An empty function restores
// the real answer. Any thread.
using cpFreeSpaceProbe = std::function<int64_t(const std::string& path)>;
void cpSetFreeSpaceProbe(cpFreeSpaceProbe probe);
