#include "engine/engine_paths.h"

#include <cstdlib>

#include "foundation/paths.h"

std::string GetApplicationDataFolder() {
    const std::string folder = UserDataFolder();
    return folder.empty() ? folder : folder + "/";
}

void CGetPath_V32::GetBaseFolder(std::string* out) {
    const std::string data = GetApplicationDataFolder();
    *out = data.empty() ? data : data + kMakerFolderName;
}

void CGetPath_V32::GetEngineFolder(std::string* out) {
    GetBaseFolder(out);
    if (!out->empty()) {
        *out += kEngineFolderName;
    }
}

void CGetPath_V32::GetEnginePath(std::string* out) {
    GetEngineFolder(out);
    if (!out->empty()) {
        *out += kEngineFileName;
    }
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
