#include "archive/extract_action.h"

#include <cstring>
#include <string>

#include "archive/seven_zip_extract_action.h"
#include "archive/zip_extract_action.h"

std::unique_ptr<IExtractAction> CreateExtractAction(int type) {
    switch (type) {
        case kArchiveType7z:
            return std::make_unique<C7ZipExtractAction>();
        case kArchiveTypeZip:
            return std::make_unique<CGZipExtractAction>();
        default:
            return nullptr;
    }
}

int ExtractArchive(int type, const void* archive, uint32_t sizeLow, uint32_t sizeHigh,
                   const char* folder) {
    const std::unique_ptr<IExtractAction> action = CreateExtractAction(type);
    if (action == nullptr) {
        return kExtractEntryFailure;
    }
    switch (action->Extract(archive, sizeLow, sizeHigh, folder)) {
        case kExtractOk:
            return kExtractEntryOk;
        case 5:
            return kExtractEntryFailureOther;
        default:
            // Any failure, known or not, must not read as success.
            return kExtractEntryFailure;
    }
}

int ArchiveTypeOfFileName(const char* fileName) {
    if (fileName == nullptr) {
        return 0;
    }
    const char* dot = std::strrchr(fileName, '.');
    if (dot == nullptr) {
        return 0;
    }
    std::string extension(dot + 1);
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    if (extension == "7z") {
        return kArchiveType7z;
    }
    if (extension == "zip") {
        return kArchiveTypeZip;
    }
    return 0;
}
