// Running the downloaded installer. Downloaded files carry no executable bit, so how a file is
// started depends on its kind; programs run with administrator rights through pkexec when the
// user is not root and pkexec is installed.
#pragma once

#include <optional>
#include <string>
#include <vector>

class IMessageBoxes;

// The programs an installer start may need, found once on the running system.
struct CInstallerTools {
    bool privileged = false;  // running as root: nothing to elevate
    std::string pkexec;       // empty when not installed
    std::string wine;
    std::string xdgOpen;
    std::string env;  // hands the display variables through pkexec
};
CInstallerTools DetectInstallerTools();

struct CInstallerCommand {
    std::vector<std::string> arguments;
    bool makeExecutable = false;  // give the file u+x before the start
};

// How to start path (an existing file): ".sh" through /bin/sh; ".run" and ".AppImage" made
// executable and run; ".exe" through wine (none without wine); another executable file as it is;
// any other file opened with xdg-open. Programs other than wine and xdg-open are elevated.
std::optional<CInstallerCommand> BuildInstallerCommand(const std::string& path,
                                                       const CInstallerTools& tools);

// Upper bound of the wait until the installer's exec has happened.
inline constexpr int kInstallerStartTimeoutMs = 10000;

// Starts the installer at path; true when it was started. A missing path or file is reported
// with an application message through boxes; a start that fails shows nothing.
bool RunInstaller(const std::string& path, IMessageBoxes& boxes);
bool RunInstaller(const std::string& path, IMessageBoxes& boxes, const CInstallerTools& tools,
                  int startTimeoutMs = kInstallerStartTimeoutMs);
