// The control file kept beside a part file: the file's size, the server's validator and the byte
// ranges that are on disk. It is only ever replaced whole (written to a new name, synced, renamed
// over the old one), and only after the data it describes was synced, so after a crash it never
// claims bytes the part file lacks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "transfer/byte_ranges.h"

namespace tev::localengine {

// What identifies one version of a file on the server, as sent back in If-Range.
struct Validator {
    enum Kind { None, ETag, LastModified };
    Kind kind = None;
    std::string value;
    bool operator==(const Validator&) const = default;
};

struct ControlRecord {
    uint64_t size = 0;
    Validator validator;
    ByteRanges done;
    bool operator==(const ControlRecord&) const = default;
};

std::string EncodeControlRecord(const ControlRecord& record);
// nullopt for anything that is not a whole, consistent record (torn, foreign or tampered file).
std::optional<ControlRecord> DecodeControlRecord(std::string_view text);

// Writes path + ".new", syncs it, renames it over path and syncs the folder. False with errno set
// on failure (the old control file then still stands).
bool WriteControlFile(const std::string& path, const ControlRecord& record);
std::optional<ControlRecord> ReadControlFile(const std::string& path);

}  // namespace tev::localengine
