#include "program/engine_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace tev::localengine {

EngineLog::EngineLog(std::string path, uint64_t maxBytes)
    : path_(std::move(path)), maxBytes_(maxBytes) {
    Open();
}

EngineLog::~EngineLog() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void EngineLog::Open() {
    if (path_.empty()) {
        return;
    }
    fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat info {};
    size_ = fd_ >= 0 && fstat(fd_, &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

void EngineLog::Line(const std::string& text) {
    if (fd_ < 0) {
        return;
    }
    if (size_ >= maxBytes_) {
        close(fd_);
        rename(path_.c_str(), (path_ + ".1").c_str());
        Open();
        if (fd_ < 0) {
            return;
        }
    }
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &local);
    std::string line = stamp + text;
    // One line per event, whatever the text holds.
    for (char& c : line) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    line += '\n';
    if (write(fd_, line.data(), line.size()) > 0) {
        size_ += line.size();
    }
}

}  // namespace tev::localengine
