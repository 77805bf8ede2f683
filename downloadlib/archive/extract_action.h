// Extraction actions: unpack a 7z or zip archive held in memory into a folder.
#pragma once

#include <cstdint>
#include <memory>

// Archive types of the factory and the entry function.
constexpr int kArchiveType7z = 1;
constexpr int kArchiveTypeZip = 2;

// The most bytes one archive may unpack to, declared and written alike (the engine is about
// 0.5 MB); beyond it the archive is refused with nothing put in place.
constexpr uint64_t kExtractBudget = uint64_t{64} << 20;

// Results of IExtractAction::Extract.
constexpr int kExtractOk = 0;
constexpr int kExtractFailed = 1;        // 7z: any other failure of the extraction
constexpr int kExtractCannotOpen = 2;    // 7z: the archive cannot be read
constexpr int kExtractBadArguments = 3;  // no bytes, a size of 0 or less, no folder
constexpr int kExtractEntryFailed = 4;   // zip: cannot be opened; either: an entry failed or
                                         // the archive names a place outside the folder

// Results of ExtractArchive.
constexpr int kExtractEntryOk = 0;
constexpr int kExtractEntryFailure = 5;
constexpr int kExtractEntryFailureOther = 6;

class IExtractAction {
  public:
    // Unpacks the archive (its size a signed 64-bit value given as two halves) into folder
    // (UTF-8; '/' or '\' separated). Entries that would land outside the folder, symbolic
    // links and declared sizes beyond kExtractBudget refuse the whole archive before anything is
    // written; every entry is written whole before any is put in place.
    virtual int Extract(const void* archive, uint32_t sizeLow, uint32_t sizeHigh,
                        const char* folder) = 0;
    virtual ~IExtractAction() = default;
};

// A new action for type (kArchiveType7z or kArchiveTypeZip); null for any other type.
std::unique_ptr<IExtractAction> CreateExtractAction(int type);

// Runs one extraction and maps its result: 0 success, 5 failure (also for an unknown type),
// 6 when the action reported 5.
int ExtractArchive(int type, const void* archive, uint32_t sizeLow, uint32_t sizeHigh,
                   const char* folder);

// The type for a downloaded file's name: its text after the last '.', in lower case, "7z" or
// "zip"; 0 for anything else.
int ArchiveTypeOfFileName(const char* fileName);
