// Where archive entries land: argument checks, name sanitising, the containment rule and the
// creation of folders and files, shared by both extraction actions.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
    // The first half of Commit: modes set, data synced, file closed; Commit renames it.
    bool Finish();
    // Closes and removes the temporary file; the target stays as it was.
    void Abandon();

  private:
    std::string target_;
    std::string temporary_;
    int fd_ = -1;
    bool executable_ = false;
    bool finished_ = false;
};

// One extraction's files and budget: what its entries declare and what they really unpack to are
// both held to the budget, and every file waits, whole and synced, until all are; only then are
// they put in place together. Anything short of that leaves every target as it was.
class CExtractBatch {
  public:
    explicit CExtractBatch(uint64_t budget) : budget_(budget) {}

    // The checking pass: false once the declared sizes together exceed the budget.
    bool Declare(uint64_t size);
    // The writing pass: false once the bytes written together exceed the budget.
    bool Spend(uint64_t bytes);
    // A new file for target, held by the batch (null when it cannot be made).
    CReplacingFile* Open(const std::string& target, mode_t mode);
    // Puts every file in place; false (nothing more renamed) at the first that fails.
    bool CommitAll();

  private:
    uint64_t budget_;
    uint64_t declared_ = 0;
    uint64_t spent_ = 0;
    std::vector<std::unique_ptr<CReplacingFile>> files_;
};
