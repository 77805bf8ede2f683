// A private folder for the archive fuzzers: every input extracts below <root>/fence/out, is
// checked to have written nothing beside out/, and is removed before the next one.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class ExtractSandbox {
  public:
    ExtractSandbox() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/tev-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        root_ = pattern;
        fence_ = root_ / "fence";
        out_ = fence_ / "out";
    }
    ~ExtractSandbox() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    ExtractSandbox(const ExtractSandbox&) = delete;
    ExtractSandbox& operator=(const ExtractSandbox&) = delete;

    // Calls extract(destination folder), then traps when anything appeared outside it.
    template <class Extract>
    void Run(Extract&& extract) {
        std::error_code ignored;
        std::filesystem::create_directories(fence_, ignored);
        extract(out_.string());
        if (!OnlyEntryIs(root_, "fence") || !OnlyEntryIs(fence_, "out")) {
            __builtin_trap();  // an entry escaped the destination
        }
        std::filesystem::remove_all(out_, ignored);
    }

  private:
    static bool OnlyEntryIs(const std::filesystem::path& folder, const char* name) {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
            if (entry.path().filename() != name) {
                return false;
            }
        }
        return true;
    }

    std::filesystem::path root_;
    std::filesystem::path fence_;
    std::filesystem::path out_;
};
