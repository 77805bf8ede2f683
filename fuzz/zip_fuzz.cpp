// Zip archives from memory, extracted into a private folder.
#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/zip_extract_action.h"
#include "extract_sandbox.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ExtractSandbox sandbox;
    sandbox.Run([&](const std::string& folder) {
        CGZipExtractAction action;
        action.Extract(data, static_cast<uint32_t>(size), 0, folder.c_str());
    });
    return 0;
}
