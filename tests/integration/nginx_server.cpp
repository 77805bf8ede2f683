#include "nginx_server.h"

#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/tcp_peer.h"
#include "support/test_data.h"

extern char** environ;

namespace {

bool Accepts(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = LoopbackAddress();
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

}  // namespace

NginxServer::NginxServer(const Options& options) : options_(options) {
    namespace fs = std::filesystem;
    fs::create_directories(options_.prefix + "/logs");
    port_ = UnusedPort();
    const bool tls = !options_.certificateFile.empty();
    const std::string& p = options_.prefix;
    std::ofstream(p + "/nginx.conf")
        // As root, the worker would otherwise run as nobody and could not read the test's files.
        << (geteuid() == 0 ? "user root;\n" : "") << "worker_processes 1;\n"
        << "pid " << p << "/nginx.pid;\n"
        << "error_log " << p << "/logs/error.log;\n"
        << "events { worker_connections 64; }\n"
        << "http {\n"
        << "    log_format tev '$status $http_range $request_uri';\n"
        << "    access_log " << p << "/logs/access.log tev;\n"
        << "    sendfile on;\n"
        << "    types { }\n"
        << "    default_type application/octet-stream;\n"
        << "    client_body_temp_path " << p << "/body;\n"
        << "    proxy_temp_path " << p << "/proxy;\n"
        << "    fastcgi_temp_path " << p << "/fastcgi;\n"
        << "    uwsgi_temp_path " << p << "/uwsgi;\n"
        << "    scgi_temp_path " << p << "/scgi;\n"
        << "    server {\n"
        << "        listen 127.0.0.1:" << port_ << (tls ? " ssl" : "") << ";\n"
        << (tls ? "        ssl_certificate " + options_.certificateFile + ";\n" +
                      "        ssl_certificate_key " + options_.keyFile + ";\n"
                : "")
        << "        root " << options_.root << ";\n"
        << "    }\n"
        << "}\n";

    const std::string conf = p + "/nginx.conf";
    const char* argv[] = {"nginx",      "-p", p.c_str(),     "-c",
                          conf.c_str(), "-g", "daemon off;", nullptr};
    if (posix_spawnp(&pid_, "nginx", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
        pid_ = -1;
        error_ = "nginx could not be started";
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Accepts(port_)) {
            ok_ = true;
            return;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "nginx ended: " + ReadWholeFile(p + "/logs/error.log");
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error_ = "nginx did not listen on its port";
}

NginxServer::~NginxServer() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

std::string NginxServer::Url(const std::string& path) const {
    const bool tls = !options_.certificateFile.empty();
    return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

std::string NginxServer::AccessLog() const {
    return ReadWholeFile(options_.prefix + "/logs/access.log");
}
