// The version text of a program file ("FileVersion" of its version information), and that of
// the installed engine program. Versions are compared as text, never parsed.
#pragma once

#include <string>

// True and the text when the file at path carries a FileVersion; false for an empty path, a
// missing file, a file without version information or without that value.
bool GetFileVersionText(const std::string& path, std::string* text);
// The installed engine program's version text; empty when it has none.
std::string GetCurrentEngineVersion();
