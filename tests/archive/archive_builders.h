// Small archives built by the tests themselves, in memory, plus the temporary folders they
// land in.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A folder below the test process's private home, created empty.
std::string TestFolder(const std::string& name);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// The names in folder, sorted; empty when it does not exist.
std::vector<std::string> ListFolder(const std::string& folder);

struct ZipItem {
    std::string name{};
    std::string data{};
    int host = 0;  // high byte of version-made-by: 0 FAT, 3 Unix
    uint32_t externalAttributes = 0;
    uint32_t dosDate = 0x2A430000;  // 2001-02-03 00:00:00
    Bytes centralExtra{};
    bool stored = false;     // no compression, so that tests can find the bytes
    bool encrypted = false;  // only the flag: the data is plain
};
Bytes BuildZip(const std::vector<ZipItem>& items);

enum class SevenZipKind { kFile, kFolder, kSymbolicLink };
struct SevenZipItem {
    std::string name{};
    std::string data{};  // a link's target for kSymbolicLink
    SevenZipKind kind = SevenZipKind::kFile;
    mode_t perm = 0644;
};
Bytes BuildSevenZip(const std::vector<SevenZipItem>& items);

// Runs a shell command (the zip and 7zz tools); true when it exits with 0.
bool RunTool(const std::string& command);
// The 7-Zip command of this machine ("7zz" or "7z").
std::string SevenZipTool();
