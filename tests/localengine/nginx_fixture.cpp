#include "localengine/nginx_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/tcp_peer.h"

extern char** environ;

PrivateNginx::PrivateNginx(const std::string& root, uint64_t limitRate) {
    prefix_ =
        std::string(std::getenv("TEV_TEST_ROOT")) + "/nginx-" + std::to_string(FreeLoopbackPort());
    std::filesystem::create_directories(prefix_ + "/logs");
    const std::string p = prefix_;
    for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) {
        port_ = FreeLoopbackPort();
        std::ofstream(p + "/nginx.conf")
            << "worker_processes 1;\nmaster_process off;\nuser root;\npid " << p << "/nginx.pid;\n"
            << "error_log " << p << "/logs/error.log;\nevents { worker_connections 256; }\n"
            << "http {\n access_log off;\n sendfile on;\n keepalive_requests 100000;\n types { }\n"
            << " default_type application/octet-stream;\n client_body_temp_path " << p << "/b;\n"
            << " proxy_temp_path " << p << "/p;\n fastcgi_temp_path " << p << "/f;\n"
            << " uwsgi_temp_path " << p << "/u;\n scgi_temp_path " << p << "/s;\n"
            << " server {\n  listen 127.0.0.1:" << port_ << ";\n  root " << root << ";\n"
            << (limitRate > 0 ? "  limit_rate " + std::to_string(limitRate) + ";\n" : "")
            << " }\n}\n";
        const std::string conf = p + "/nginx.conf";
        const char* argv[] = {"nginx",      "-p", p.c_str(),     "-c",
                              conf.c_str(), "-g", "daemon off;", nullptr};
        pid_t pid = -1;
        if (posix_spawnp(&pid, "nginx", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
            break;
        }
        for (int i = 0; i < 100; ++i) {
            if (LoopbackPortAnswers(port_)) {
                pid_ = pid;
                break;
            }
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                break;  // the port was taken meanwhile: try another
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (pid_ < 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    if (pid_ < 0) {
        port_ = 0;
    }
}

PrivateNginx::~PrivateNginx() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

std::string PrivateNginx::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}
