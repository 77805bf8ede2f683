// The record that a complete file is the server's version: its size and validator, kept with the
// file as an extended attribute (user.tev.version) when its completion renames it. A later job
// adopts a file under its final name only when the server still answers with that size and
// validator; a file without the record (another program wrote it, or the file system keeps no
// user attributes) is fetched again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "transfer/control_file.h"

namespace tev::localengine {

struct FinalRecord {
    uint64_t size = 0;
    Validator validator;  // never None in a record
    // The file's mtime when it was completed (nanoseconds): a file written to since differs.
    int64_t mtimeNs = 0;
    bool operator==(const FinalRecord&) const = default;
};

// Records size and validator with fd's current mtime. False when the validator is None or too
// long, or the file system refuses the attribute.
bool WriteFinalRecord(int fd, FinalRecord record);
// The record of the file at path (a link is not followed); nullopt when there is none, it does
// not parse, or the file was modified since it was written (size or mtime differ).
std::optional<FinalRecord> ReadFinalRecord(const std::string& path);

}  // namespace tev::localengine
