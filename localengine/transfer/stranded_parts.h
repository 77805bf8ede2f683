// Part and control files that no job comes back for (the engine was killed and the job never ran
// again) would lie beside the targets for ever. A job's start sweeps its folders: side files
// untouched for kStrandedSeconds are removed, unless a job of this engine names them.
#pragma once

#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "transfer/job_check.h"

namespace tev::localengine {

constexpr time_t kStrandedSeconds = 7 * 24 * 3600;
// A sweep looks at no more entries than this, so a huge folder costs a bounded time.
constexpr size_t kStrandedScanLimit = 100000;

// Every name the files of a job use, by folder (normalised as NormalizeFolder does): the
// targets, their part and control files and the control files' replacements. O(N log N).
std::map<std::string, std::set<std::string>> NamesByFolder(const std::vector<FileOrder>& files);
// The same for one folder.
std::set<std::string> NamesInFolder(const std::vector<FileOrder>& files,
                                    const std::string& normalFolder);

// Removes from folder each target's "*.tevpart", "*.tevctl" and "*.tevctl.new" when all of them
// were last modified before `before`, none is in keep, and no process holds the part file locked.
// Only regular files, never through a link. Returns the names removed.
std::vector<std::string> RemoveStrandedParts(const std::string& folder,
                                             const std::set<std::string>& keep, time_t before,
                                             size_t scanLimit = kStrandedScanLimit);

}  // namespace tev::localengine
