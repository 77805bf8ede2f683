#include "update/version_text.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "engine/engine_paths.h"
#include "foundation/platform/file_version.h"

bool GetFileVersionText(const std::string& path, std::string* text) {
    if (path.empty() || access(path.c_str(), F_OK) != 0) {
        return false;
    }
    const uint32_t size = cpGetFileVersionInfoSize(path.c_str());
    if (size == 0) {
        return false;
    }
    std::vector<uint8_t> info(size_t{size} + 1, 0);
    if (!cpGetFileVersionInfo(path.c_str(), size, info.data())) {
        return false;
    }
    const void* value = nullptr;
    uint32_t length = 0;
    if (!cpVerQueryValue(info.data(), size, "\\VarFileInfo\\Translation", &value, &length)) {
        return false;
    }
    char name[64];
    if (length == 4) {
        const auto* t = static_cast<const uint8_t*>(value);
        // The translation is the language in the low 16 bits, the code page in the high ones.
        std::snprintf(name, sizeof(name), "\\StringFileInfo\\%02X%02X%02X%02X\\FileVersion", t[1],
                      t[0], t[3], t[2]);
    } else {
        std::snprintf(name, sizeof(name), "\\StringFileInfo\\%04X04B0\\FileVersion",
                      cpGetUserDefaultLangID());
    }
    if (!cpVerQueryValue(info.data(), size, name, &value, &length) || length == 0) {
        return false;
    }
    const char* chars = static_cast<const char*>(value);
    text->assign(chars, strnlen(chars, length));
    return true;
}

std::string GetCurrentEngineVersion() {
    std::string version;
    if (!GetFileVersionText(GetEngineFilePath(), &version)) {
        version.clear();
    }
    return version;
}
