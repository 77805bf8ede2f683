#include "archive/extract_target.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <vector>

#include "foundation/paths.h"
#include "foundation/platform/file.h"

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

CReplacingFile::~CReplacingFile() {
    Abandon();
}

bool CReplacingFile::Open(const std::string& target, mode_t mode) {
    Abandon();
    struct stat st {};
    if (target.empty() || target.back() == '/' ||
        (lstat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
        return false;
    }
    // Beside the target, so that the rename stays within one file system. The name starts with a
    // dot and is unique to this process and attempt; O_EXCL never reuses what someone else made.
    static std::atomic<uint32_t> counter{0};
    const size_t slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = folder + "." + name + ".tev-" + std::to_string(getpid()) +
                                      "-" + std::to_string(counter.fetch_add(1));
        const int fd = open(candidate.c_str(), kFlags, mode);
        if (fd >= 0) {
            target_ = target;
            temporary_ = candidate;
            fd_ = fd;
            executable_ = (mode & S_IXUSR) != 0;
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

bool CReplacingFile::Write(const void* data, size_t length) {
    return fd_ >= 0 && cpWriteAll(fd_, data, length) == 0;
}

bool CReplacingFile::Finish() {
    if (finished_) {
        return true;
    }
    if (fd_ < 0) {
        return false;
    }
    // The mode is ours, whatever the archive or the umask say: executable only when the entry
    // was, never writable by group or others, never set-id.
    bool ok = fchmod(fd_, executable_ ? 0755 : 0644) == 0;
    // The data must be on disk before the name points at it, or a crash could leave an empty
    // program under the old name.
    ok = fsync(fd_) == 0 && ok;
    ok = close(fd_) == 0 && ok;
    fd_ = -1;
    if (!ok) {
        Abandon();
        return false;
    }
    finished_ = true;
    return true;
}

bool CReplacingFile::Commit() {
    if (!Finish() || rename(temporary_.c_str(), target_.c_str()) != 0) {
        Abandon();
        return false;
    }
    finished_ = false;
    temporary_.clear();
    const size_t slash = target_.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : target_.substr(0, slash + 1);
    if (const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        fsync(dir);  // the rename itself; the file is already whole either way
        close(dir);
    }
    return true;
}

void CReplacingFile::Abandon() {
    finished_ = false;
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (!temporary_.empty()) {
        unlink(temporary_.c_str());
        temporary_.clear();
    }
}

// Adds amount to *used unless that would pass budget; once past, it stays past (no wrap-around).
static bool Charge(uint64_t* used, uint64_t amount, uint64_t budget) {
    if (amount > budget - std::min(*used, budget)) {
        *used = budget + 1;
        return false;
    }
    *used += amount;
    return true;
}

bool CExtractBatch::Declare(uint64_t size) {
    return Charge(&declared_, size, budget_);
}

bool CExtractBatch::Spend(uint64_t bytes) {
    return Charge(&spent_, bytes, budget_);
}

CReplacingFile* CExtractBatch::Open(const std::string& target, mode_t mode) {
    auto file = std::make_unique<CReplacingFile>();
    if (!file->Open(target, mode)) {
        return nullptr;
    }
    files_.push_back(std::move(file));
    return files_.back().get();
}

bool CExtractBatch::CommitAll() {
    for (const auto& file : files_) {
        if (!file->Finish()) {
            return false;
        }
    }
    for (const auto& file : files_) {
        if (!file->Commit()) {
            return false;
        }
    }
    files_.clear();
    return true;
}
