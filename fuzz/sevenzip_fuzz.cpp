// 7z archives from memory, extracted into a private folder.
//
// The target is the code around libarchive (names, containment, files), not libarchive's
// decoders: inputs that declare much data are listed but not extracted, and allocations that a
// header asks for beyond what a small archive needs fail the way libarchive expects.
#include <archive.h>
#include <archive_entry.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/seven_zip_extract_action.h"
#include "extract_sandbox.h"

extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1:max_allocation_size_mb=256";
}

namespace {

constexpr int64_t kMaxDeclaredBytes = 16 << 20;
constexpr int kMaxEntries = 512;

// Whether the entries the archive lists declare little enough data to be written quickly.
bool SmallEnough(const uint8_t* data, size_t size) {
    struct archive* reader = archive_read_new();
    archive_read_support_format_7zip(reader);
    bool small = true;
    if (archive_read_open_memory(reader, data, size) == ARCHIVE_OK) {
        struct archive_entry* entry = nullptr;
        int64_t declared = 0;
        int entries = 0;
        int r = ARCHIVE_OK;
        while (small && ((r = archive_read_next_header(reader, &entry)) == ARCHIVE_OK ||
                         r == ARCHIVE_WARN)) {
            declared += archive_entry_size(entry);
            small = ++entries <= kMaxEntries && declared <= kMaxDeclaredBytes;
        }
    }
    archive_read_free(reader);
    return small;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ExtractSandbox sandbox;
    if (!SmallEnough(data, size)) {
        return 0;
    }
    sandbox.Run([&](const std::string& folder) {
        C7ZipExtractAction action;
        action.Extract(data, static_cast<uint32_t>(size), 0, folder.c_str());
    });
    return 0;
}
