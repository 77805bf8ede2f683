#include "support/stand_in.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

std::string StandInEngineProgram() {
    return TEV_STAND_IN_ENGINE;
}

bool InstallStandInEngine(const std::string& path, const std::vector<std::string>& script) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::create_directories(fs::path(path).parent_path(), error);
    fs::remove(path + ".pid", error);
    if (!fs::copy_file(StandInEngineProgram(), path, fs::copy_options::overwrite_existing, error)) {
        return false;
    }
    chmod(path.c_str(), 0755);
    std::ofstream out(path + ".script");
    for (const std::string& line : script) {
        out << line << "\n";
    }
    return static_cast<bool>(out);
}

pid_t StandInPid(const std::string& path) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(path + ".pid");
        pid_t pid = -1;
        if (in >> pid && pid > 0) {
            return pid;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

void EndStandIn(pid_t pid) {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGKILL);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            return;
        }
        if (kill(pid, 0) != 0 && errno == ESRCH) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
