#include "transfer/stranded_parts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string_view>

#include "transfer/side_names.h"

namespace tev::localengine {
namespace {

constexpr std::string_view kSuffixes[] = {".tevpart", ".tevctl", ".tevctl.new"};

// The target a side file belongs to ("a.bin" for "a.bin.tevctl"), or empty for other names.
std::string StemOf(std::string_view name) {
    for (const std::string_view suffix : kSuffixes) {
        if (name.size() > suffix.size() && name.ends_with(suffix)) {
            return std::string(name.substr(0, name.size() - suffix.size()));
        }
    }
    return {};
}

struct Group {
    std::vector<std::string> names;
    time_t newest = 0;
    bool keep = false;
};

}  // namespace

std::map<std::string, std::set<std::string>> NamesByFolder(const std::vector<FileOrder>& files) {
    std::map<std::string, std::set<std::string>> targets;
    for (const FileOrder& file : files) {
        targets[NormalizeFolder(file.folder)].insert(file.name);
    }
    std::map<std::string, std::set<std::string>> names;
    for (const auto& [folder, inFolder] : targets) {
        std::set<std::string>& all = names[folder];
        all = inFolder;
        for (const std::string& target : inFolder) {
            const SideNames side = MakeSideNames(target, inFolder);
            all.insert(side.part);
            all.insert(side.control);
            all.insert(side.control + ".new");
        }
    }
    return names;
}

std::set<std::string> NamesInFolder(const std::vector<FileOrder>& files,
                                    const std::string& normalFolder) {
    std::map<std::string, std::set<std::string>> names = NamesByFolder(files);
    auto found = names.find(normalFolder);
    return found == names.end() ? std::set<std::string>() : std::move(found->second);
}

std::vector<std::string> RemoveStrandedParts(const std::string& folder,
                                             const std::set<std::string>& keep, time_t before,
                                             size_t scanLimit) {
    std::vector<std::string> removed;
    const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folderFd < 0) {
        return removed;
    }
    DIR* listing = fdopendir(dup(folderFd));
    if (listing == nullptr) {
        close(folderFd);
        return removed;
    }
    std::map<std::string, Group> groups;
    size_t seen = 0;
    while (const dirent* entry = readdir(listing)) {
        if (++seen > scanLimit) {
            break;
        }
        const std::string name = entry->d_name;
        const std::string stem = StemOf(name);
        if (stem.empty()) {
            continue;
        }
        Group& group = groups[stem];
        struct stat info {};
        if (fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode) || keep.contains(name)) {
            group.keep = true;  // never guess about what is not plainly ours
            continue;
        }
        group.names.push_back(name);
        group.newest = std::max(group.newest, info.st_mtim.tv_sec);
    }
    closedir(listing);
    for (auto& [stem, group] : groups) {
        if (group.keep || group.newest >= before) {
            continue;
        }
        // A part file still locked is being written by a job (of this or another engine).
        const std::string part = stem + ".tevpart";
        const int partFd =
            openat(folderFd, part.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (partFd >= 0 && flock(partFd, LOCK_EX | LOCK_NB) != 0) {
            close(partFd);
            continue;
        }
        // The record before the data, as everywhere: never a record that claims missing bytes.
        std::sort(group.names.begin(), group.names.end(), [](const auto& a, const auto& b) {
            return a.ends_with(".tevpart") < b.ends_with(".tevpart");
        });
        for (const std::string& name : group.names) {
            if (unlinkat(folderFd, name.c_str(), 0) == 0) {
                removed.push_back(name);
            }
        }
        if (partFd >= 0) {
            close(partFd);
        }
    }
    if (!removed.empty()) {
        fsync(folderFd);
    }
    close(folderFd);
    return removed;
}

}  // namespace tev::localengine
