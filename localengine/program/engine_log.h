// The engine's log: <engine folder>config/engine.log, one line per event with a time stamp,
// bounded in size (the full file moves to engine.log.1 and a new one starts).
#pragma once

#include <cstdint>
#include <string>

namespace tev::localengine {

class EngineLog {
  public:
    // An empty path logs nowhere.
    explicit EngineLog(std::string path, uint64_t maxBytes = 1 << 20);
    ~EngineLog();
    EngineLog(const EngineLog&) = delete;
    EngineLog& operator=(const EngineLog&) = delete;

    void Line(const std::string& text);

  private:
    void Open();
    std::string path_;
    uint64_t maxBytes_;
    int fd_ = -1;
    uint64_t size_ = 0;
};

}  // namespace tev::localengine
