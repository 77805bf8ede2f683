// A private opentracker on a loopback port of the test's own, serving only the info hashes the
// test names (Debian's opentracker refuses any torrent not on its list). Stopped by its pid.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

class PrivateTracker {
  public:
    // infoHashes: 40 hex digits each (a v1 hash, or a v2 hash cut to 20 bytes).
    explicit PrivateTracker(const std::vector<std::string>& infoHashes);
    ~PrivateTracker();
    PrivateTracker(const PrivateTracker&) = delete;
    PrivateTracker& operator=(const PrivateTracker&) = delete;

    bool Ok() const { return pid_ > 0; }
    std::string AnnounceUrl() const;

  private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::string folder_;
};
