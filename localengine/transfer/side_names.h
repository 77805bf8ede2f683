// The names of a target's part file and control file, beside it in its folder. They never equal
// the name of another file of the same job and stay within the 255-byte limit of a name.
#pragma once

#include <set>
#include <string>

namespace tev::localengine {

struct SideNames {
    std::string part;
    std::string control;
};

// jobNamesInFolder: every file name the job writes into this target's folder.
SideNames MakeSideNames(const std::string& name, const std::set<std::string>& jobNamesInFolder);

}  // namespace tev::localengine
