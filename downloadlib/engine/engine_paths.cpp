#include "engine/engine_paths.h"

#include <cstdlib>

std::string GetApplicationDataFolder() {
    std::string folder;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        folder = xdg;
    } else if (home != nullptr && home[0] != '\0') {
        folder = std::string(home) + (home[std::char_traits<char>::length(home) - 1] == '/'
                                          ? ".local/share"
                                          : "/.local/share");
    }
    if (!folder.empty() && folder.back() != '/') {
        folder += '/';
    }
    return folder;
}

void CGetPath_V32::GetBaseFolder(std::string* out) {
    *out = GetApplicationDataFolder() + kMakerFolderName;
}

void CGetPath_V32::GetEngineFolder(std::string* out) {
    GetBaseFolder(out);
    *out += kEngineFolderName;
}

void CGetPath_V32::GetEnginePath(std::string* out) {
    GetEngineFolder(out);
    *out += kEngineFileName;
}

IGetPath& EnginePathProvider() {
    static CGetPath_V32 provider;
    return provider;
}

std::string GetEngineFilePath() {
    std::string path;
    EnginePathProvider().GetEnginePath(&path);
    return path;
}

std::string GetEngineFolderPath() {
    std::string folder;
    EnginePathProvider().GetEngineFolder(&folder);
    return folder;
}

std::string GetSecondaryFilePath() {
    return {};
}
