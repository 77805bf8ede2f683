// A private nginx for interop tests: its own prefix, configuration and loopback port, serving a
// folder over https with a certificate the test made. Stopped (by its pid) when destroyed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

class NginxServer {
  public:
    struct Options {
        std::string root;             // the folder served
        std::string prefix;           // nginx's own folder: configuration, logs, temporary files
        std::string certificateFile;  // PEM; empty: plain http
        std::string keyFile;
    };

    explicit NginxServer(const Options& options);
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    // False when nginx is missing or did not start listening; Error() says why.
    bool Ok() const { return ok_; }
    const std::string& Error() const { return error_; }
    std::string Url(const std::string& path) const;
    // The access log: one line per request, "<status> <Range header or -> <request URI>".
    std::string AccessLog() const;

  private:
    Options options_;
    uint16_t port_ = 0;
    pid_t pid_ = -1;
    bool ok_ = false;
    std::string error_;
};
