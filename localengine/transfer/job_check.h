// The checks a job's file list passes before anything is written: absolute folders without "..",
// plain names, http or https addresses, a bounded number of files, no target named twice.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tev::localengine {

struct FileOrder {
    std::string folder;  // absolute; '/' or '\' separate its components
    std::string name;
    std::string url;    // alternatives separated by '|' name mirrors of the same bytes
    int64_t size = -1;  // -1: the host did not give one
};

// The alternatives of a URL, in order.
std::vector<std::string> SplitAlternatives(const std::string& url);
// folder + name as the library sent them ('/' between them when the folder lacks it).
std::string JoinPath(const std::string& folder, const std::string& name);

constexpr size_t kMaxFilesPerJob = 65536;

// The folder with '\' turned into '/' and a single trailing '/' removed (the root stays "/").
std::string NormalizeFolder(const std::string& folder);
// nullopt when the list is acceptable, else the reason, naming the offending entry.
std::optional<std::string> CheckFileList(const std::vector<FileOrder>& files);

}  // namespace tev::localengine
