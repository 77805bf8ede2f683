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

// Creates a regular file at path for writing, replacing whatever non-folder is there (a file,
// a read-only or running program, a symbolic link, which is never followed). The new file gets
// mode under the process's umask. Returns the descriptor, or -1.
int CreateReplacingFile(const std::string& path, mode_t mode);

// Writes all of the bytes; false on any failure.
bool WriteAll(int fd, const void* data, size_t length);
