#include "localengine/nginx_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/server_process.h"
#include "support/tcp_peer.h"

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
        pid_ = StartServerProcess({"nginx", "-p", p, "-c", conf, "-g", "daemon off;"}, port_);
    }
    if (pid_ < 0) {
        port_ = 0;
    }
}

PrivateNginx::~PrivateNginx() {
    EndServerProcess(pid_);
}

std::string PrivateNginx::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}
