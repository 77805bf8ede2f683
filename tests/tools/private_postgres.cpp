#include "private_postgres.h"

#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/subprocess.h"
#include "support/tcp_peer.h"

namespace fs = std::filesystem;

namespace {

// The newest installed server's programs, e.g. /usr/lib/postgresql/15/bin.
std::string ServerBin() {
    std::error_code error;
    std::string best;
    int bestVersion = -1;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", error)) {
        const fs::path bin = entry.path() / "bin";
        if (!fs::exists(bin / "initdb") || !fs::exists(bin / "pg_ctl")) {
            continue;
        }
        const int version = std::atoi(entry.path().filename().c_str());
        if (version > bestVersion) {
            bestVersion = version;
            best = bin.string();
        }
    }
    return best;
}

}  // namespace

std::string PrivatePostgres::MissingReason() {
    return ServerBin().empty() ? "the PostgreSQL server (package postgresql) is not installed" : "";
}

PrivatePostgres::PrivatePostgres() {
    bin_ = ServerBin();
    if (bin_.empty()) {
        error_ = MissingReason();
        return;
    }
    char pattern[] = "/tmp/tev-pg-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        error_ = "cannot create a temporary folder";
        return;
    }
    folder_ = pattern;
    data_ = folder_ + "/data";
    if (geteuid() == 0) {
        const passwd* user = getpwnam("postgres");
        if (user == nullptr) {
            user = getpwnam("nobody");
        }
        if (user == nullptr) {
            error_ = "running as root and no unprivileged user to run the server as";
            return;
        }
        uid_ = user->pw_uid;
        gid_ = user->pw_gid;
        switchUser_ = true;
        if (chown(folder_.c_str(), uid_, gid_) != 0) {
            error_ = "cannot hand " + folder_ + " to the server's user";
            return;
        }
    }
    if (!Run("initdb",
             {"-D", data_, "-U", "tev", "-A", "trust", "-E", "UTF8", "--locale=C", "--no-sync"})) {
        return;
    }
    // The port is free when taken; another process may win it before the server binds, so try
    // a few.
    for (int attempt = 0; attempt < 3 && !running_; ++attempt) {
        port_ = UnusedPort();
        Start();
    }
}

bool PrivatePostgres::Start() {
    running_ = Run("pg_ctl", {"-D", data_, "-l", folder_ + "/server.log", "-w", "-t", "30", "-o",
                              "-p " + std::to_string(port_) + " -k " + folder_ +
                                  " -c listen_addresses=127.0.0.1 -c fsync=off"
                                  " -c max_connections=40",
                              "start"});
    return running_;
}

bool PrivatePostgres::Stop() {
    if (running_ && Run("pg_ctl", {"-D", data_, "-m", "fast", "-w", "-t", "30", "stop"})) {
        running_ = false;
    }
    return !running_;
}

PrivatePostgres::~PrivatePostgres() {
    if (running_ && !Run("pg_ctl", {"-D", data_, "-m", "immediate", "-w", "-t", "30", "stop"})) {
        // Stop it by the pid it wrote, so that no server outlives the test.
        std::ifstream pidFile(data_ + "/postmaster.pid");
        pid_t pid = 0;
        if (pidFile >> pid && pid > 0) {
            kill(pid, SIGKILL);
        }
    }
    if (!folder_.empty()) {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
}

std::string PrivatePostgres::Location() const {
    return "postgresql://tev@127.0.0.1:" + std::to_string(port_) + "/postgres";
}

bool PrivatePostgres::Run(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> command;
    if (switchUser_) {
        command = {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid_),
                   "--regid=" + std::to_string(gid_), "--clear-groups"};
    }
    command.push_back(bin_ + "/" + program);
    command.insert(command.end(), arguments.begin(), arguments.end());
    ProcessOptions options;
    options.timeoutMs = 60000;
    const ProcessResult result = RunProcess(command, options);
    if (result.exitCode == 0) {
        return true;
    }
    error_ =
        program + " failed (" + std::to_string(result.exitCode) + "): " + result.err + result.out;
    return false;
}
