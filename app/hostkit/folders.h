// The folders the window works with: the default download folder, the engine's folder that it
// refuses, the saved choice other programs read, and free space.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The programs' home of this platform: the user's home folder, without a trailing '/'.
std::string ProgramFilesFolder();
// <home>/orvix9/QK/
std::string DefaultDownloadFolder();
// The download library's engine folder: $XDG_DATA_HOME (else ~/.local/share) +
// "/Velmor/tevDownloadV32/", as the library lays it out.
std::string LibraryEngineFolder();
// The library's log file in that folder, for messages that point the user at it.
std::string LibraryLogFile();
// Appends "[<ctime stamp>] [TEV-Downloader] <message>" to that log, as one line: where a host
// that shows fixed texts keeps the reason behind them. Lost when the log folder is missing.
void WriteHostLogLine(const std::string& message);
// The engine program's path as the window knows it: inside the library's engine folder.
std::string WindowEnginePath();
// True when folder equals the engine path's folder (up to and with its last separator),
// compared exactly, letter case included.
bool IsEngineFolder(const std::string& enginePath, const std::string& folder);
// folder with a '/' appended unless it already ends in '/' or '\'.
std::string WithTrailingSeparator(const std::string& folder);
// Creates the folder when it does not exist, one level only; failures are ignored.
void CreateFolderOneLevel(const std::string& folder);

// Where machine-wide settings live: $TEV_SETTINGS_DIR when set, else "/etc/xdg/Velmor Inc.".
std::string SettingsFolder();
// The INI file standing in for the registry key "Velmor Inc.\DownloadPath".
std::string DownloadPathSettingsFile();
inline constexpr char kDownloadPathGroup[] = "DownloadPath";
// Writes valueName=folder into the group DownloadPath of that file, for other programs to read.
// Failures (no rights on the system folder) are ignored.
void SaveDownloadFolder(const std::string& valueName, const std::string& folder);
// Free bytes for this user on the file system holding path (its nearest existing ancestor):
// statvfs f_bavail * f_frsize, the library's own measure; 0 when that cannot be learnt.
uint64_t FreeBytesOfDrive(const std::string& path);
// A file of the list already in the download folder, under the name the library gives it.
struct CPresentFile {
    std::string name;
    uint64_t bytes = 0;
};
// The listed files that are in folder already (regular files, not through links; for a file
// not there under its name, what the engine's partial ".tevpart" file holds), in list order.
std::vector<CPresentFile> FilesPresentInFolder(const std::string& folder,
                                               const std::vector<std::string>& urls);
// The bytes a job of total bytes still needs in folder, given what is present: what a resumed
// download does not fetch again. At most total.
uint64_t BytesStillNeeded(uint64_t total, const std::vector<CPresentFile>& present);
// The bytes the listed files hold in folder now, written ones only (a sparse file counts what is
// on the disk), the engine's partial ".tevpart" files included: what a host can see of a
// download's progress without the library's word.
uint64_t BytesWrittenInFolder(const std::string& folder, const std::vector<std::string>& urls);
// The free-space seam for tests: while set, FreeBytesOfDrive answers from it; an empty function
// restores the real answer.
using FreeSpaceProbe = std::function<int64_t(const std::string& path)>;
void SetFreeSpaceProbe(FreeSpaceProbe probe);
