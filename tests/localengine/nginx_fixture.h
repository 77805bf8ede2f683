// A private nginx for interop tests: its own prefix, configuration and free loopback port,
// serving one folder with ETag and Last-Modified, ranges and If-Range. Stopped by its pid.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

class PrivateNginx {
  public:
    // limitRate: per-connection cap in bytes per second (0: none).
    explicit PrivateNginx(const std::string& root, uint64_t limitRate = 0);
    ~PrivateNginx();
    PrivateNginx(const PrivateNginx&) = delete;
    PrivateNginx& operator=(const PrivateNginx&) = delete;

    bool Ok() const { return pid_ > 0 && port_ != 0; }
    std::string Url(const std::string& path) const;

  private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::string prefix_;
};
