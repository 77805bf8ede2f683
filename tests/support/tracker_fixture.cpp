#include "support/tracker_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/server_process.h"
#include "support/tcp_peer.h"

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
        pid_ = StartServerProcess({"opentracker", "-i", "127.0.0.1", "-p", tcp, "-P", udp, "-d",
                                   folder_, "-w", "whitelist"},
                                  port_, folder_ + "/opentracker.log");
    }
}

PrivateTracker::~PrivateTracker() {
    EndServerProcess(pid_);
}

std::string PrivateTracker::AnnounceUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/announce";
}
