#include "transfer/job_check.h"

#include <set>
#include <string_view>

namespace tev::localengine {
namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + 32) : text[i];
        if (c != prefix[i]) {
            return false;
        }
    }
    return true;
}

bool FolderIsSafe(const std::string& folder) {
    if (folder.empty() || folder.front() != '/') {
        return false;
    }
    size_t at = 0;
    while (at <= folder.size()) {
        size_t next = folder.find('/', at);
        if (next == std::string::npos) {
            next = folder.size();
        }
        if (std::string_view(folder).substr(at, next - at) == "..") {
            return false;
        }
        at = next + 1;
    }
    return true;
}

bool NameIsSafe(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.size() <= 255 &&
           name.find('/') == std::string::npos && name.find('\\') == std::string::npos;
}

}  // namespace

std::vector<std::string> SplitAlternatives(const std::string& url) {
    std::vector<std::string> alternatives;
    size_t at = 0;
    while (true) {
        const size_t bar = url.find('|', at);
        alternatives.push_back(
            url.substr(at, bar == std::string::npos ? std::string::npos : bar - at));
        if (bar == std::string::npos) {
            return alternatives;
        }
        at = bar + 1;
    }
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    return !folder.empty() && (folder.back() == '/' || folder.back() == '\\') ? folder + name
                                                                              : folder + "/" + name;
}

std::string NormalizeFolder(const std::string& folder) {
    std::string normal = folder;
    for (char& c : normal) {
        if (c == '\\') {
            c = '/';
        }
    }
    while (normal.size() > 1 && normal.back() == '/') {
        normal.pop_back();
    }
    return normal;
}

std::optional<std::string> CheckFileList(const std::vector<FileOrder>& files) {
    if (files.empty()) {
        return "the file list is empty";
    }
    if (files.size() > kMaxFilesPerJob) {
        return "the file list has " + std::to_string(files.size()) + " files, more than " +
               std::to_string(kMaxFilesPerJob);
    }
    std::set<std::string> targets;
    for (const FileOrder& file : files) {
        const std::string folder = NormalizeFolder(file.folder);
        if (!FolderIsSafe(folder)) {
            return "refused folder \"" + file.folder + "\": not an absolute path without \"..\"";
        }
        if (!NameIsSafe(file.name)) {
            return "refused file name \"" + file.name + "\": empty, \"..\" or with a separator";
        }
        for (const std::string& url : SplitAlternatives(file.url)) {
            if (!StartsWithNoCase(url, "http://") && !StartsWithNoCase(url, "https://")) {
                return "refused URL \"" + file.url + "\": only http and https are allowed";
            }
        }
        // The completion report carries the path in a field of 260 bytes.
        if (JoinPath(file.folder, file.name).size() >= 260) {
            return "refused path \"" + JoinPath(file.folder, file.name) + "\": 260 bytes or longer";
        }
        if (!targets.insert(folder + "/" + file.name).second) {
            return "refused file list: \"" + folder + "/" + file.name + "\" appears twice";
        }
    }
    return std::nullopt;
}

}  // namespace tev::localengine
