#include "hostkit/folders.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

#include "hostkit/format.h"
#include "hostkit/texts.h"

namespace {

std::mutex gProbeMutex;
std::shared_ptr<const FreeSpaceProbe> gProbe;

// statvfs of the nearest existing folder: a folder not made yet lives on its parent's drive.
uint64_t StatvfsFreeBytes(std::string path) {
    for (;;) {
        struct statvfs st {};
        if (!path.empty() && statvfs(path.c_str(), &st) == 0) {
            const unsigned long long bytes =
                static_cast<unsigned long long>(st.f_bavail) * st.f_frsize;
            constexpr auto kMax =
                static_cast<unsigned long long>(std::numeric_limits<int64_t>::max());
            return bytes > kMax ? kMax : bytes;
        }
        if (path.empty() || path == "/") {
            return 0;
        }
        while (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        }
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos) {
            return 0;
        }
        path = slash == 0 ? std::string("/") : path.substr(0, slash);
    }
}

// An INI value as other programs' readers (Qt's among them) take it back: quoted when it holds a
// character that would end or split it.
std::string IniValue(const std::string& value) {
    const bool plain = value.find_first_of(";,=\"\\\n\r") == std::string::npos &&
                       (value.empty() || (value.front() != ' ' && value.back() != ' '));
    if (plain) {
        return value;
    }
    std::string quoted = "\"";
    for (const char c : value) {
        if (c == '\n' || c == '\r') {
            quoted += c == '\n' ? "\\n" : "\\r";
            continue;
        }
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

std::string ProgramFilesFolder() {
    std::string home;
    if (const char* value = std::getenv("HOME"); value != nullptr && value[0] == '/') {
        home = value;
    } else if (const passwd* entry = getpwuid(getuid()); entry != nullptr) {
        home = entry->pw_dir != nullptr ? entry->pw_dir : "";
    }
    while (home.size() > 1 && home.back() == '/') {
        home.pop_back();
    }
    return home;
}

std::string DefaultDownloadFolder() {
    return ProgramFilesFolder() + "/orvix9/QK/";
}

std::string LibraryEngineFolder() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        return std::string(xdg) + "/Velmor/tevDownloadV32/";
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.local/share/Velmor/tevDownloadV32/";
}

std::string LibraryLogFile() {
    return LibraryEngineFolder() + "config/service.log";
}

void WriteHostLogLine(const std::string& message) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "[%s %s %2d %02d:%02d:%02d %d] [TEV-Downloader] ",
                  kDays[local.tm_wday % 7], kMonths[local.tm_mon % 12], local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec, local.tm_year + 1900);
    std::string line = stamp + message;
    for (char& c : line) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    line += '\n';
    const int fd = open(LibraryLogFile().c_str(),
                        O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t written = write(fd, line.data(), line.size());
        close(fd);
    }
}

std::string WindowEnginePath() {
    return LibraryEngineFolder() + "TEVDownloaderEngine";
}

bool IsEngineFolder(const std::string& enginePath, const std::string& folder) {
    const size_t separator = enginePath.find_last_of("/\\");
    const std::string engineFolder =
        separator == std::string::npos ? std::string() : enginePath.substr(0, separator + 1);
    return engineFolder == folder;
}

std::string WithTrailingSeparator(const std::string& folder) {
    if (!folder.empty() && (folder.back() == '/' || folder.back() == '\\')) {
        return folder;
    }
    return folder + "/";
}

void CreateFolderOneLevel(const std::string& folder) {
    struct stat info {};
    if (folder.empty() || stat(folder.c_str(), &info) == 0) {
        return;
    }
    mkdir(folder.c_str(), 0755);
}

std::string SettingsFolder() {
    if (const char* value = std::getenv("TEV_SETTINGS_DIR"); value != nullptr && value[0] != 0) {
        return value;
    }
    return std::string("/etc/xdg/") + kCompanyKey;
}

std::string DownloadPathSettingsFile() {
    return SettingsFolder() + "/" + kDownloadPathGroup + ".ini";
}

void SaveDownloadFolder(const std::string& valueName, const std::string& folder) {
    const std::string path = DownloadPathSettingsFile();
    // The other groups and keys of the file stay as they are.
    std::vector<std::string> lines;
    {
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            lines.push_back(line);
        }
    }
    const std::string header = std::string("[") + kDownloadPathGroup + "]";
    const std::string entry = valueName + "=" + IniValue(folder);
    size_t group = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == header) {
            group = i;
            break;
        }
    }
    if (group == lines.size()) {
        if (!lines.empty() && !lines.back().empty()) {
            lines.emplace_back();
        }
        lines.push_back(header);
        lines.push_back(entry);
    } else {
        size_t end = group + 1;
        bool replaced = false;
        for (; end < lines.size() && (lines[end].empty() || lines[end][0] != '['); ++end) {
            const size_t equals = lines[end].find('=');
            if (equals != std::string::npos && lines[end].substr(0, equals) == valueName) {
                lines[end] = entry;
                replaced = true;
            }
        }
        if (!replaced) {
            // After the group's last key, before blank lines that part it from the next group.
            size_t at = end;
            while (at > group + 1 && lines[at - 1].empty()) {
                --at;
            }
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), entry);
        }
    }
    // Written beside and renamed over, so that a reader never sees half a file. Failures (no
    // rights on the system folder) are ignored.
    std::error_code ignored;
    std::filesystem::create_directories(SettingsFolder(), ignored);
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        for (const std::string& line : lines) {
            out << line << '\n';
        }
        if (!out) {
            std::remove(temporary.c_str());
            return;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
    }
}

uint64_t FreeBytesOfDrive(const std::string& path) {
    if (path.empty()) {
        return 0;
    }
    std::shared_ptr<const FreeSpaceProbe> probe;
    {
        std::lock_guard lock(gProbeMutex);
        probe = gProbe;
    }
    if (probe) {
        const int64_t bytes = (*probe)(path);
        return bytes > 0 ? static_cast<uint64_t>(bytes) : 0;
    }
    return StatvfsFreeBytes(path);
}

std::vector<CPresentFile> FilesPresentInFolder(const std::string& folder,
                                               const std::vector<std::string>& urls) {
    std::vector<CPresentFile> present;
    for (const std::string& url : urls) {
        const std::string name = FileNameOfUrl(url);
        if (name.empty()) {
            continue;
        }
        const std::string path = WithTrailingSeparator(folder) + name;
        struct stat info {};
        if (lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            if (info.st_size > 0) {
                present.push_back({name, static_cast<uint64_t>(info.st_size)});
            }
        } else if (lstat((path + ".tevpart").c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            // The engine's partial file, resumed by the next run: what it wrote counts.
            const uint64_t written = std::min<uint64_t>(
                static_cast<uint64_t>(info.st_size), static_cast<uint64_t>(info.st_blocks) * 512);
            if (written > 0) {
                present.push_back({name, written});
            }
        }
    }
    return present;
}

uint64_t BytesWrittenInFolder(const std::string& folder, const std::vector<std::string>& urls) {
    uint64_t bytes = 0;
    for (const std::string& url : urls) {
        const std::string name = FileNameOfUrl(url);
        if (name.empty()) {
            continue;
        }
        for (const std::string& file : {name, name + ".tevpart"}) {
            struct stat info {};
            if (lstat((WithTrailingSeparator(folder) + file).c_str(), &info) == 0 &&
                S_ISREG(info.st_mode)) {
                bytes += std::min<uint64_t>(static_cast<uint64_t>(info.st_size),
                                            static_cast<uint64_t>(info.st_blocks) * 512);
            }
        }
    }
    return bytes;
}

uint64_t BytesStillNeeded(uint64_t total, const std::vector<CPresentFile>& present) {
    uint64_t have = 0;
    for (const CPresentFile& file : present) {
        have += file.bytes;
    }
    return have >= total ? 0 : total - have;
}

void SetFreeSpaceProbe(FreeSpaceProbe probe) {
    std::lock_guard lock(gProbeMutex);
    gProbe = probe ? std::make_shared<const FreeSpaceProbe>(std::move(probe)) : nullptr;
}
