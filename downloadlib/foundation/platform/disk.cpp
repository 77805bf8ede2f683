#include "foundation/platform/disk.h"

#include <sys/statvfs.h>

#include <limits>
#include <memory>
#include <mutex>

namespace {

std::mutex gProbeMutex;
std::shared_ptr<const cpFreeSpaceProbe> gProbe;

int64_t StatvfsFreeBytes(std::string path) {
    // A file that does not exist yet lives on the file system of its nearest existing folder.
    for (;;) {
        struct statvfs st {};
        if (!path.empty() && statvfs(path.c_str(), &st) == 0) {
            const unsigned long long bytes =
                static_cast<unsigned long long>(st.f_bavail) * st.f_frsize;
            constexpr auto kMax =
                static_cast<unsigned long long>(std::numeric_limits<int64_t>::max());
            return static_cast<int64_t>(bytes > kMax ? kMax : bytes);
        }
        if (path.empty() || path == "/") {
            return 0;
        }
        while (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        }
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos) {
            return 0;  // a relative path without folders: nothing to measure
        }
        path.resize(slash == 0 ? 1 : slash);
    }
}

}  // namespace

int64_t cpFreeBytesOfDrive(const std::string& path) {
    std::shared_ptr<const cpFreeSpaceProbe> probe;
    {
        std::lock_guard lock(gProbeMutex);
        probe = gProbe;
    }
    if (probe) {
        return (*probe)(path);
    }
    return StatvfsFreeBytes(path);
}

void cpSetFreeSpaceProbe(cpFreeSpaceProbe probe) {
    std::lock_guard lock(gProbeMutex);
    gProbe = probe ? std::make_shared<const cpFreeSpaceProbe>(std::move(probe)) : nullptr;
}
