#include "core/folder_path.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

std::string NormaliseFolder(const std::string& folder) {
    std::string normalised = folder;
    std::replace(normalised.begin(), normalised.end(), '\\', '/');
    while (!normalised.empty() && normalised.back() == '/') {
        normalised.pop_back();
    }
    normalised.push_back('/');
    return normalised;
}

namespace {

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool CreateFolderPath(const std::string& folder) {
    if (folder.empty()) {
        return false;
    }
    if (IsDirectory(folder)) {
        return true;
    }
    // From the second character on, so that the root of an absolute path is never created.
    for (size_t slash = folder.find('/', 1); slash != std::string::npos;
         slash = folder.find('/', slash + 1)) {
        const std::string prefix = folder.substr(0, slash);
        if (prefix.back() == '/' || IsDirectory(prefix)) {
            continue;  // a doubled separator, or a part that is there already
        }
        if (mkdir(prefix.c_str(), 0755) != 0 && !(errno == EEXIST && IsDirectory(prefix))) {
            return false;
        }
    }
    return IsDirectory(folder);
}

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}
