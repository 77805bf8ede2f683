#include "archive/extract_target.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "foundation/paths.h"

bool ArchiveSize(const void* archive, uint32_t sizeLow, uint32_t sizeHigh, size_t* size) {
    const auto full = static_cast<int64_t>(static_cast<uint64_t>(sizeHigh) << 32 | sizeLow);
    if (archive == nullptr || full <= 0 || static_cast<uint64_t>(full) > SIZE_MAX) {
        return false;
    }
    *size = static_cast<size_t>(full);
    return true;
}

std::string DestinationFolder(const char* folder) {
    if (folder == nullptr) {
        return {};
    }
    std::string native(folder);
    for (char& c : native) {
        if (c == '\\') {
            c = '/';
        }
    }
    while (native.size() > 1 && native.back() == '/') {
        native.pop_back();
    }
    return native;
}

namespace {

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// Bytes of the UTF-8 character that starts name (1 for a stray byte).
size_t FirstCharacterLength(std::string_view name) {
    const auto lead = static_cast<unsigned char>(name[0]);
    size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    return length <= name.size() ? length : 1;
}

}  // namespace

std::string SanitiseZipEntryName(std::string_view name) {
    static constexpr std::string_view kClimbs[] = {"\\..\\", "\\../", "/../", "/..\\"};
    while (!name.empty()) {
        const size_t first = FirstCharacterLength(name);
        if (name.size() > first && name[first] == ':') {
            name.remove_prefix(first + 1);
            continue;
        }
        if (IsSeparator(name[0])) {
            name.remove_prefix(1);
            continue;
        }
        bool removed = false;
        for (std::string_view climb : kClimbs) {
            const size_t at = name.find(climb);
            if (at != std::string_view::npos) {
                name.remove_prefix(at + climb.size());
                removed = true;
                break;
            }
        }
        if (!removed) {
            break;
        }
    }
    return std::string(name);
}

bool EntryTarget(const std::string& destination, std::string_view name, bool isFolder,
                 std::string* target) {
    if (destination.empty()) {
        return false;
    }
    // An absolute name is refused, not re-rooted: it names a place outside the destination.
    if (!name.empty() && IsSeparator(name[0])) {
        return false;
    }
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = start;
        while (end < name.size() && !IsSeparator(name[end])) {
            ++end;
        }
        const std::string_view part = name.substr(start, end - start);
        if (part == "..") {
            if (parts.empty()) {
                return false;
            }
            parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    if (parts.empty() && !isFolder) {
        return false;
    }
    std::string path = destination;
    for (std::string_view part : parts) {
        if (path.back() != '/') {
            path += '/';
        }
        path += part;
    }
    *target = std::move(path);
    return true;
}

int CreateReplacingFile(const std::string& path, mode_t mode) {
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = open(path.c_str(), kFlags, mode);
    if (fd < 0 && errno == EEXIST) {
        // Unlinking first replaces a symbolic link instead of writing through it, and works for
        // a read-only file or a program that is running.
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && unlink(path.c_str()) == 0) {
            fd = open(path.c_str(), kFlags, mode);
        }
    }
    return fd;
}

bool WriteAll(int fd, const void* data, size_t length) {
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t written = write(fd, bytes, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}
