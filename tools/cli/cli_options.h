// The command line of tev-download.
#pragma once

#include <optional>
#include <string>
#include <vector>

// How the question "resume the partly downloaded file?" is answered.
enum class ResumeAnswer {
    Default,  // ask on a terminal, else yes
    Yes,      // resume every partly downloaded file
    No,       // fetch every partly downloaded file anew
    Ask,      // ask on the terminal, file by file or once for all
};

struct CliOptions {
    std::string fileListUrl;  // empty: the built-in one
    std::string folder;       // empty: the default download folder
    bool limited = false;
    bool install = false;
    bool quiet = false;
    bool json = false;
    bool help = false;
    bool version = false;
    // Copies the library's and the engine's log lines of this run to standard error.
    bool verbose = false;
    // The trust store of this run (the library's and the engine's); empty: the system's.
    std::string caFile;
    ResumeAnswer resume = ResumeAnswer::Default;
    // --sharing=on|off: the engine's sharing setting is written, nothing is downloaded.
    std::optional<bool> sharing;
};

// Exit codes, one per way a run can end.
enum CliExit : int {
    kExitSuccess = 0,
    kExitLibrary = 1,  // the download library could not start
    kExitUsage = 2,
    kExitFileList = 3,
    kExitSizeCheck = 4,
    kExitDownload = 5,  // the folder, the disk or a file failed
    kExitInstall = 6,
    kExitInterrupted = 130,
};

// Parses argv (without the program name). On a usage error returns nothing and sets *error.
std::optional<CliOptions> ParseCliOptions(const std::vector<std::string>& args, std::string* error);

std::string CliUsage();
