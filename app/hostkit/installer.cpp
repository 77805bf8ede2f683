#include "hostkit/installer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "hostkit/file_list.h"
#include "hostkit/format.h"
#include "hostkit/seams.h"
#include "hostkit/start_up.h"
#include "hostkit/texts.h"
#include "process_start.h"

CInstallerTools DetectInstallerTools() {
    CInstallerTools tools;
    tools.privileged = geteuid() == 0;
    tools.pkexec = cpFindProgram("pkexec");
    tools.wine = cpFindProgram("wine");
    tools.xdgOpen = cpFindProgram("xdg-open");
    tools.env = cpFindProgram("env");
    return tools;
}

namespace {

// pkexec clears the environment; a graphical installer still needs to find the display.
std::vector<std::string> Elevated(std::vector<std::string> arguments,
                                  const CInstallerTools& tools) {
    if (tools.privileged || tools.pkexec.empty()) {
        return arguments;
    }
    std::vector<std::string> elevated{tools.pkexec};
    if (!tools.env.empty()) {
        elevated.push_back(tools.env);
        for (const char* name : {"DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY"}) {
            if (const char* value = std::getenv(name); value != nullptr && value[0] != 0) {
                elevated.push_back(std::string(name) + "=" + value);
            }
        }
    }
    elevated.insert(elevated.end(), arguments.begin(), arguments.end());
    return elevated;
}

bool IsExecutable(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
}

}  // namespace

std::optional<CInstallerCommand> BuildInstallerCommand(const std::string& path,
                                                       const CInstallerTools& tools) {
    const std::string extension = LowerCaseExtension(path);
    CInstallerCommand command;
    if (extension == ".sh") {
        command.arguments = Elevated({"/bin/sh", path}, tools);
    } else if (extension == ".run" || extension == ".appimage") {
        command.makeExecutable = true;
        command.arguments = Elevated({path}, tools);
    } else if (extension == ".exe") {
        if (tools.wine.empty()) {
            return std::nullopt;
        }
        // Windows programs run in the user's own wine prefix, never as root.
        command.arguments = {tools.wine, path};
    } else if (IsExecutable(path)) {
        command.arguments = Elevated({path}, tools);
    } else {
        if (tools.xdgOpen.empty()) {
            return std::nullopt;
        }
        command.arguments = {tools.xdgOpen, path};
    }
    return command;
}

bool RunInstaller(const std::string& path, IMessageBoxes& boxes) {
    return RunInstaller(path, boxes, DetectInstallerTools());
}

bool RunInstaller(const std::string& path, IMessageBoxes& boxes, const CInstallerTools& tools,
                  int startTimeoutMs) {
    if (path.empty()) {
        boxes.Show(CMessage::Application(kTextInstallerPathMissing));
        return false;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        boxes.Show(CMessage::Application(FormatText(kTextInstallerNotFound, path.c_str())));
        return false;
    }
    // pkexec and the started program may run in another folder: hand them an absolute path.
    std::error_code error;
    const std::filesystem::path full = std::filesystem::absolute(path, error);
    const std::string absolute = error ? path : full.lexically_normal().string();
    const std::optional<CInstallerCommand> command = BuildInstallerCommand(absolute, tools);
    if (!command) {
        return false;
    }
    if (command->makeExecutable) {
        chmod(absolute.c_str(), info.st_mode | S_IXUSR);
    }
    const cpStartedProcess started = cpStartProcess(command->arguments, startTimeoutMs);
    if (started.timedOut) {
        std::fprintf(stderr, "%s: %s did not report its start within %d ms\n",
                     ApplicationName().c_str(), command->arguments[0].c_str(), startTimeoutMs);
    }
    return started.started;
}
