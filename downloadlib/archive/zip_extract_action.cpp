#include "archive/zip_extract_action.h"

#include <string>
#include <vector>

#include "archive/extract_target.h"
#include "archive/zip_reader.h"

int CGZipExtractAction::Extract(const void* archive, uint32_t sizeLow, uint32_t sizeHigh,
                                const char* folder) {
    size_t size = 0;
    const std::string destination = DestinationFolder(folder);
    if (!ArchiveSize(archive, sizeLow, sizeHigh, &size) || destination.empty()) {
        return kExtractBadArguments;
    }
    const std::unique_ptr<CZipReader> reader = CZipReader::Open(archive, size);
    if (reader == nullptr) {
        return kExtractEntryFailed;
    }
    ZipEntry whole;
    if (reader->GetEntry(-1, &whole) != ZR_OK) {
        return kExtractEntryFailed;
    }
    const int count = whole.index;

    // Every name is checked before the first byte is written.
    // The count is the archive's claim: the list grows only with entries that exist.
    std::vector<std::string> targets;
    CExtractBatch batch(kExtractBudget);
    for (int i = 0; i < count; ++i) {
        ZipEntry entry;
        std::string target;
        if (reader->GetEntry(i, &entry) != ZR_OK || entry.IsSymbolicLink() ||
            !EntryTarget(destination, entry.name, entry.IsFolder(), &target) ||
            entry.uncompressedSize < 0 ||
            !batch.Declare(static_cast<uint64_t>(entry.uncompressedSize))) {
            return kExtractEntryFailed;
        }
        targets.push_back(std::move(target));
    }
    // Every entry is written whole before the first is put in place.
    for (int i = 0; i < count; ++i) {
        if (reader->ExtractEntry(i, targets[i], &batch) != ZR_OK) {
            return kExtractEntryFailed;
        }
    }
    reader->Close();
    return batch.CommitAll() ? kExtractOk : kExtractEntryFailed;
}
