// Where the library keeps its files, and the deployment values of this build.
#pragma once

#include <cstdint>
#include <string>

// Per-user application data: $XDG_DATA_HOME when absolute, else $HOME/.local/share when HOME is
// absolute (no trailing '/'); empty when neither is, so that nothing is kept in a relative place.
std::string UserDataFolder();
// The engine folder, ending in '/': <user data>/Velmor/tevDownloadV32/; empty without user data.
// The one rule for the engine's files and the library's log alike.
std::string EngineFolder();

// host[:port] of the download and report servers: the environment variables TEV_DOWNLOAD_SERVER
// and TEV_REPORT_SERVER when set, else the values this build was configured with.
std::string DownloadServer();
std::string ReportServer();

// The report port, when the report server names none.
inline constexpr uint16_t kReportPort = 54547;
// Splits "host[:port]"; the port is kReportPort when none (or an unusable one) is given.
void SplitReportServer(const std::string& server, std::string* host, uint16_t* port);

// Creates every missing folder of path up to its last '/' (the part after it is a file name).
// Failures are ignored; the caller finds out when it uses the path.
void CreateFoldersOf(const std::string& path);
// Creates every missing directory of a folder, left to right, its last part included. False
// when a part cannot be created or exists as something other than a directory.
bool CreateFolderPath(const std::string& folder);
