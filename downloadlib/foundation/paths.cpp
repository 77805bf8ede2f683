#include "foundation/paths.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "tev_config.h"

namespace {

std::string EnvOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : fallback;
}

}  // namespace

std::string UserDataFolder() {
    const auto trimmed = [](std::string folder) {
        while (!folder.empty() && folder.back() == '/') {
            folder.pop_back();
        }
        return folder;
    };
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/' && !trimmed(xdg).empty()) {
        return trimmed(xdg);
    }
    // Only an absolute home names a place of the user's own; anything else would resolve
    // against whatever folder the process happens to run in.
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        return {};
    }
    return trimmed(home) + "/.local/share";
}

std::string EngineFolder() {
    const std::string data = UserDataFolder();
    return data.empty() ? std::string() : data + "/Velmor/tevDownloadV32/";
}

std::string DownloadServer() {
    return EnvOr("TEV_DOWNLOAD_SERVER", TEV_DOWNLOAD_SERVER_DEFAULT);
}

std::string ReportServer() {
    return EnvOr("TEV_REPORT_SERVER", TEV_REPORT_SERVER_DEFAULT);
}

void SplitReportServer(const std::string& server, std::string* host, uint16_t* port) {
    *port = kReportPort;
    const size_t colon = server.rfind(':');
    *host = server.substr(0, colon);
    if (colon == std::string::npos) {
        return;
    }
    char* end = nullptr;
    const long value = std::strtol(server.c_str() + colon + 1, &end, 10);
    if (end != server.c_str() + colon + 1 && *end == '\0' && value > 0 && value <= 65535) {
        *port = static_cast<uint16_t>(value);
    }
}

namespace {

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool CreateFolderPath(const std::string& folder) {
    if (folder.empty()) {
        return false;
    }
    if (IsDirectory(folder)) {
        return true;
    }
    const std::string path = folder.back() == '/' ? folder : folder + "/";
    // From the second character on, so that the root of an absolute path is never created.
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (prefix.back() == '/' || IsDirectory(prefix)) {
            continue;  // a doubled separator, or a part that is there already
        }
        if (mkdir(prefix.c_str(), 0755) != 0 && !(errno == EEXIST && IsDirectory(prefix))) {
            return false;
        }
    }
    return IsDirectory(folder);
}

void CreateFoldersOf(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        struct stat st {};
        if (stat(prefix.c_str(), &st) != 0) {
            mkdir(prefix.c_str(), 0755);
        }
    }
}
