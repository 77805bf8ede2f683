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
        if (!StartsWithNoCase(file.url, "http://") && !StartsWithNoCase(file.url, "https://")) {
            return "refused URL \"" + file.url + "\": only http and https are allowed";
        }
        if (!targets.insert(folder + "/" + file.name).second) {
            return "refused file list: \"" + folder + "/" + file.name + "\" appears twice";
        }
    }
    return std::nullopt;
}

}  // namespace tev::localengine
