#include "archive/seven_zip_extract_action.h"

#include <archive.h>
#include <archive_entry.h>
#include <locale.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "archive/extract_action.h"
#include "archive/extract_target.h"

namespace {

constexpr size_t kCopyBufferSize = 65536;

// libarchive converts the archive's UTF-16 names through the thread's locale; "C" cannot hold
// them, so the read runs under a UTF-8 locale of this thread only.
class Utf8LocaleScope {
  public:
    Utf8LocaleScope()
        : utf8_(newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr))),
          previous_(utf8_ != nullptr ? uselocale(utf8_) : nullptr) {}
    ~Utf8LocaleScope() {
        if (utf8_ != nullptr) {
            uselocale(previous_);
            freelocale(utf8_);
        }
    }
    Utf8LocaleScope(const Utf8LocaleScope&) = delete;
    Utf8LocaleScope& operator=(const Utf8LocaleScope&) = delete;

  private:
    locale_t utf8_;
    locale_t previous_;
};

struct ArchiveDeleter {
    void operator()(struct archive* a) const { archive_read_free(a); }
};
using ArchivePtr = std::unique_ptr<struct archive, ArchiveDeleter>;

ArchivePtr OpenMemory(const void* data, size_t size) {
    ArchivePtr reader(archive_read_new());
    if (reader == nullptr || archive_read_support_format_7zip(reader.get()) != ARCHIVE_OK ||
        archive_read_open_memory(reader.get(), data, size) != ARCHIVE_OK) {
        return nullptr;
    }
    return reader;
}

// The next entry; false at the end or when the archive cannot be read further (*failed).
// Warnings (a name that did not convert cleanly, for one) are not failures.
bool NextEntry(struct archive* reader, struct archive_entry** entry, bool* failed) {
    const int r = archive_read_next_header(reader, entry);
    *failed = r != ARCHIVE_OK && r != ARCHIVE_WARN && r != ARCHIVE_EOF;
    return r == ARCHIVE_OK || r == ARCHIVE_WARN;
}

const char* EntryName(struct archive_entry* entry) {
    const char* name = archive_entry_pathname_utf8(entry);
    if (name == nullptr) {
        name = archive_entry_pathname(entry);
    }
    return name != nullptr ? name : "";
}

bool IsLink(struct archive_entry* entry) {
    return archive_entry_filetype(entry) == AE_IFLNK || archive_entry_hardlink(entry) != nullptr;
}

bool IsFolder(struct archive_entry* entry) {
    return archive_entry_filetype(entry) == AE_IFDIR;
}

// Writes the current entry's bytes to target; false on any failure, which leaves whatever was
// at target untouched.
bool WriteEntry(struct archive* reader, struct archive_entry* entry, const std::string& target,
                char* buffer, CExtractBatch* batch) {
    const mode_t mode = archive_entry_perm(entry) & 0777;
    CReplacingFile* opened = batch->Open(target, mode != 0 ? mode : 0666);
    if (opened == nullptr) {
        return false;
    }
    CReplacingFile& file = *opened;
    while (true) {
        // A bad checksum reads as a warning: the data is not what was packed.
        const la_ssize_t n = archive_read_data(reader, buffer, kCopyBufferSize);
        if (n == 0) {
            break;
        }
        if (n < 0 || !batch->Spend(static_cast<uint64_t>(n)) ||
            !file.Write(buffer, static_cast<size_t>(n))) {
            return false;
        }
    }
    return file.Finish();
}

// The extraction itself: 0, 2 when the archive cannot be read, 4 when it is refused or an
// entry fails.
int Extract7z(const std::string& destination, const void* data, size_t size) {
    const Utf8LocaleScope utf8;

    // First pass: headers only (listing decodes nothing), so that a bad name refuses the
    // archive before anything is written.
    ArchivePtr reader = OpenMemory(data, size);
    if (reader == nullptr) {
        return kExtractCannotOpen;
    }
    struct archive_entry* entry = nullptr;
    bool failed = false;
    CExtractBatch batch(kExtractBudget);
    while (NextEntry(reader.get(), &entry, &failed)) {
        std::string target;
        if (IsLink(entry) ||
            !EntryTarget(destination, EntryName(entry), IsFolder(entry), &target) ||
            (archive_entry_size_is_set(entry) != 0 &&
             (archive_entry_size(entry) < 0 ||
              !batch.Declare(static_cast<uint64_t>(archive_entry_size(entry)))))) {
            return kExtractEntryFailed;
        }
    }
    if (failed) {
        return kExtractCannotOpen;
    }

    reader = OpenMemory(data, size);
    if (reader == nullptr) {
        return kExtractCannotOpen;
    }
    CreateFolderPath(destination);
    const auto buffer = std::make_unique<char[]>(kCopyBufferSize);
    while (NextEntry(reader.get(), &entry, &failed)) {
        // Folders arise as parents of files; empty ones stored in the archive are not made.
        if (IsFolder(entry)) {
            continue;
        }
        std::string target;
        if (IsLink(entry) || !EntryTarget(destination, EntryName(entry), false, &target)) {
            return kExtractEntryFailed;
        }
        if (const size_t slash = target.find_last_of('/'); slash != std::string::npos) {
            CreateFolderPath(target.substr(0, slash));
        }
        if (!WriteEntry(reader.get(), entry, target, buffer.get(), &batch)) {
            return kExtractEntryFailed;
        }
    }
    // Every entry is written whole before the first is put in place.
    return failed || !batch.CommitAll() ? kExtractEntryFailed : kExtractOk;
}

}  // namespace

int C7ZipExtractAction::Extract(const void* archive, uint32_t sizeLow, uint32_t sizeHigh,
                                const char* folder) {
    size_t size = 0;
    const std::string destination = DestinationFolder(folder);
    if (!ArchiveSize(archive, sizeLow, sizeHigh, &size) || destination.empty()) {
        return kExtractBadArguments;
    }
    const int result = Extract7z(destination, archive, size);
    switch (result) {
        case 0:
        case 2:
        case 3:
        case 4:
        case 5:
            return result;
        default:
            return kExtractFailed;
    }
}
