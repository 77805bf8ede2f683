// Where archive entries land: argument checks, name sanitising, the containment rule and the
// creation of folders and files, shared by both extraction actions.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/paths.h"

// The archive size from its two halves; false for no bytes, a size of 0 or less, or a size
// this process cannot address.
bool ArchiveSize(const void* archive, uint32_t sizeLow, uint32_t sizeHigh, size_t* size);

// The destination in native form: '\' turned into '/', trailing separators dropped ("/" stays).
// Empty for a missing or empty folder.
std::string DestinationFolder(const char* folder);

// Removes what would anchor a zip entry name elsewhere: repeatedly a leading drive prefix
// ("C:"), a leading separator, or everything up to and including the first of "\..\",
// "\../", "/../", "/..\" (tested in that order).
std::string SanitiseZipEntryName(std::string_view name);

// Joins destination and an entry name ('/' or '\' separated), resolving "." and "..". False
// when the result would leave the destination, or when a file entry would be the destination
// itself.
bool EntryTarget(const std::string& destination, std::string_view name, bool isFolder,
                 std::string* target);

// A file written beside its final place and put there only once it is whole: a new temporary
// file in the target's folder (created exclusively, never through a link), synced and renamed
// over the target on Commit. Until then, and whenever anything fails, whatever was at the target
// (an older file, a read-only or running program) stays untouched; the destructor removes an
// uncommitted temporary file.
class CReplacingFile {
  public:
    CReplacingFile() = default;
    ~CReplacingFile();
    CReplacingFile(const CReplacingFile&) = delete;
    CReplacingFile& operator=(const CReplacingFile&) = delete;

    // Creates the temporary file. Whatever mode asks for, the file is committed 0755 when mode
    // has the owner's execute bit, else 0644 (set with fchmod, not left to the umask). False
    // when it cannot be created, or when a folder stands at the target.
    bool Open(const std::string& target, mode_t mode);
    int Descriptor() const { return fd_; }
    // Writes every byte (through the write-failure seam); false on any failure.
    bool Write(const void* data, size_t length);
    // Syncs and closes the temporary file and renames it over the target. False (the target
    // untouched, the temporary file gone) when any step fails.
    bool Commit();
    // Closes and removes the temporary file; the target stays as it was.
    void Abandon();

  private:
    std::string target_;
    std::string temporary_;
    int fd_ = -1;
    bool executable_ = false;
};
