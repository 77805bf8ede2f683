#include "core/folder_path.h"

#include <algorithm>

std::string NormaliseFolder(const std::string& folder) {
    std::string normalised = folder;
    std::replace(normalised.begin(), normalised.end(), '\\', '/');
    while (!normalised.empty() && normalised.back() == '/') {
        normalised.pop_back();
    }
    normalised.push_back('/');
    return normalised;
}

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}
