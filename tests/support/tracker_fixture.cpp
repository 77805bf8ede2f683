#include "support/tracker_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/tcp_peer.h"

extern char** environ;

PrivateTracker::PrivateTracker(const std::vector<std::string>& infoHashes) {
    folder_ = std::string(std::getenv("TEV_TEST_ROOT")) + "/tracker-" +
              std::to_string(FreeLoopbackPort());
    std::filesystem::create_directories(folder_);
    {
        std::ofstream list(folder_ + "/whitelist");
        for (const std::string& hash : infoHashes) {
            list << hash << "\n";
        }
    }
    for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) {
        port_ = FreeLoopbackPort();
        const std::string tcp = std::to_string(port_);
        const std::string udp = std::to_string(FreeLoopbackPort(SOCK_DGRAM));
        // It changes its root to its folder, so the list is named from there.
        const char* argv[] = {"opentracker", "-i", "127.0.0.1",     "-p", tcp.c_str(), "-P",
                              udp.c_str(),   "-d", folder_.c_str(), "-w", "whitelist", nullptr};
        pid_t pid = -1;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log = folder_ + "/opentracker.log";
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        const int spawned =
            posix_spawnp(&pid, "opentracker", &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            break;
        }
        for (int i = 0; i < 100; ++i) {
            if (LoopbackPortAnswers(port_)) {
                pid_ = pid;
                break;
            }
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                break;  // a port was taken meanwhile: try others
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (pid_ < 0 && pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
}

PrivateTracker::~PrivateTracker() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

std::string PrivateTracker::AnnounceUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/announce";
}
