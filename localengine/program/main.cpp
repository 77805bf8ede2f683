// TEVDownloadV32: the local download engine. Started by the library without arguments; it
// listens on 127.0.0.1 (TEV_ENGINE_PORT, else 38006), tells its starter it is ready through the
// descriptor in TEV_READY_FD, serves its own user's library connections and exits when idle
// (TEV_ENGINE_IDLE_SECONDS, else 600), when an update replaced its program file, or on SIGTERM.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "peers/peer_source.h"
#include "peers/sharing_settings.h"
#include "program/engine_log.h"
#include "program/engine_server.h"
#include "transfer/event_loop.h"

using namespace tev::localengine;

namespace {

std::string EngineFolder() {
    const char* data = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (data != nullptr && data[0] == '/') {
        base = data;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr ? home : "/tmp") + "/.local/share";
    }
    return base + "/Velmor/tevDownloadV32/";
}

void MakeFolders(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at == path.size() || path[at] == '/') {
            mkdir(path.substr(0, at).c_str(), 0700);
        }
    }
}

long EnvironmentNumber(const char* name, long fallback, long low, long high) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return *end == '\0' && value >= low && value <= high ? value : fallback;
}

void TellReady(int fd) {
    if (fd >= 0) {
        const char byte = 1;
        [[maybe_unused]] ssize_t ignored = write(fd, &byte, 1);
        close(fd);
    }
}

}  // namespace

int main() {
    const int readyFd = static_cast<int>(EnvironmentNumber("TEV_READY_FD", -1, 0, 1 << 20));
    if (readyFd >= 0) {
        fcntl(readyFd, F_SETFD, FD_CLOEXEC);
    }
    // A session of its own and no terminal: the engine outlives the program that started it.
    setsid();
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO) {
            close(null);
        }
    }
    signal(SIGPIPE, SIG_IGN);
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    const std::string folder = EngineFolder();
    MakeFolders(folder + "config");
    EngineLog log(folder + "config/engine.log");
    log.Line("TEVDownloadV32 starting, pid " + std::to_string(getpid()));

    // The program file as it was at the start: an update that replaces it changes its inode.
    struct stat self {};
    char exe[4096] = {};
    const ssize_t exeLength = readlink("/proc/self/exe", exe, sizeof exe - 1);
    const std::string programPath =
        exeLength > 0 ? std::string(exe, static_cast<size_t>(exeLength)) : "";
    const bool haveSelf = !programPath.empty() && stat(programPath.c_str(), &self) == 0;

    EngineOptions options;
    options.port = static_cast<uint16_t>(EnvironmentNumber("TEV_ENGINE_PORT", 38006, 1, 65535));
    options.idleSeconds =
        static_cast<int>(EnvironmentNumber("TEV_ENGINE_IDLE_SECONDS", 600, 1, 86400 * 7));
    options.ownUser = getuid();
    options.programReplaced = [&] {
        struct stat now {};
        return haveSelf && (stat(programPath.c_str(), &now) != 0 || now.st_ino != self.st_ino ||
                            now.st_dev != self.st_dev);
    };

    // Sharing with peers: set when the engine starts, from the engine's own settings file.
    PeerSource* peers = nullptr;
    options.busy = [&peers] { return peers != nullptr && peers->Sharing(); };

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    const int signalFd = signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);

    EventLoop loop;
    EngineServer server(loop, options, log);
    switch (server.Listen()) {
        case EngineServer::ListenResult::PortTaken:
            // The engine that listens serves; the starter need not wait for this one.
            log.Line("another engine listens on the port: exiting");
            TellReady(readyFd);
            return 0;
        case EngineServer::ListenResult::Failed:
            log.Line("cannot start: exiting");
            TellReady(readyFd);
            return 1;
        case EngineServer::ListenResult::Listening:
            break;
    }
    const std::string pidPath = folder + "TEVDownloadV32.pid";
    {
        const std::string pid = std::to_string(getpid()) + "\n";
        const int fd =
            open(pidPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            [[maybe_unused]] ssize_t ignored = write(fd, pid.data(), pid.size());
            close(fd);
        }
    }
    std::vector<std::string> notes;
    const SharingSettings sharing = LoadSharingSettings(SharingSettingsPath(folder), &notes);
    for (const std::string& note : notes) {
        log.Line(note);
    }
    if (!sharing.sharing) {
        log.Line("sharing is off: no peer connections");
    }
    PeerSource peerSource(loop, server.GetTransfers(), sharing,
                          [&log](const std::string& line) { log.Line(line); });
    peers = &peerSource;
    TellReady(readyFd);
    if (signalFd >= 0) {
        loop.Watch(signalFd, 0x001 /* EPOLLIN */, [&](uint32_t) {
            signalfd_siginfo info{};
            while (read(signalFd, &info, sizeof info) == sizeof info) {
            }
            log.Line("stop signal received");
            server.Shutdown();
        });
    }
    loop.Run();
    peers = nullptr;
    loop.Unwatch(signalFd);
    unlink(pidPath.c_str());
    log.Line("TEVDownloadV32 stopped");
    return 0;
}
