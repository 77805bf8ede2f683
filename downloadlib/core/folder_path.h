// Download folders as the library keeps them: '/' separated, ending in exactly one '/'.
#pragma once

#include <string>

#include "foundation/paths.h"

// Longest normalised folder a job keeps (its folder field holds 259 characters and a NUL).
constexpr size_t kMaxJobFolderLength = 259;

// Accepts '/' and '\' as separators; every run of separators at the end becomes one '/'.
std::string NormaliseFolder(const std::string& folder);
// Lower-cases 'A'..'Z' only: paths are UTF-8 and other bytes stay as they are.
std::string LowerAscii(std::string text);
