#include "transfer/side_names.h"

#include <cstdint>
#include <cstdio>

namespace tev::localengine {
namespace {

constexpr size_t kNameLimit = 255;

uint64_t Fnv1a(const std::string& text, uint64_t salt) {
    uint64_t hash = 14695981039346656037ull ^ salt;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

}  // namespace

SideNames MakeSideNames(const std::string& name, const std::set<std::string>& jobNamesInFolder) {
    const auto free = [&](const SideNames& names) {
        return names.control.size() + 4 <= kNameLimit &&  // control + ".new" while replaced
               !jobNamesInFolder.contains(names.part) &&
               !jobNamesInFolder.contains(names.control) &&
               !jobNamesInFolder.contains(names.control + ".new");
    };
    SideNames plain{name + ".tevpart", name + ".tevctl"};
    if (free(plain)) {
        return plain;
    }
    // Too long, or a file of the job already has that name: a hashed name, salted again in the
    // unlikely case that a file of the job is named like it.
    for (uint64_t salt = 0;; ++salt) {
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx",
                      static_cast<unsigned long long>(Fnv1a(name, salt)));
        SideNames hashed{std::string(".tev-") + hex + ".tevpart",
                         std::string(".tev-") + hex + ".tevctl"};
        if (free(hashed)) {
            return hashed;
        }
    }
}

}  // namespace tev::localengine
