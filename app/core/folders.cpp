#include "core/folders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QSettings>
#include <QString>
#include <cstdlib>

#include "core/texts.h"
#include "foundation/paths.h"
#include "foundation/platform/disk.h"

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

std::string WindowEnginePath() {
    return EngineFolder() + "TEVDownloaderEngine";
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
    QSettings settings(QString::fromStdString(DownloadPathSettingsFile()), QSettings::IniFormat);
    settings.beginGroup(kDownloadPathGroup);
    settings.setValue(QString::fromStdString(valueName), QString::fromStdString(folder));
    settings.endGroup();
    settings.sync();
}

uint64_t FreeBytesOfDrive(const std::string& path) {
    if (path.empty()) {
        return 0;
    }
    // The library's measure, so that the folder chooser and the download agree (and tests can
    // make a drive small for both).
    const int64_t bytes = cpFreeBytesOfDrive(path);
    return bytes > 0 ? static_cast<uint64_t>(bytes) : 0;
}
