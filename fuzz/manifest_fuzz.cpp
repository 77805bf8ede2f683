// The update manifest and its signature lines over arbitrary bytes: a manifest that parses
// formats back to exactly the bytes it came from (so nothing is accepted that the format does not
// say), keeps every bound, and no signature document verifies anything without a trusted key.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "update/trust.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CUpdateManifest manifest;
    std::string error;
    if (ParseManifest(text, &manifest, &error)) {
        Check(text.size() <= kMaxManifestSize);
        Check(manifest.files.size() <= kMaxManifestFiles);
        Check(IsWellFormedManifestPath(manifest.document.path));
        for (const CManifestEntry& entry : manifest.files) {
            Check(IsWellFormedManifestPath(entry.path));
            Check(entry.sha256.size() == 64);
        }
        Check(FormatManifest(manifest) == text);
    } else {
        Check(!error.empty());
    }
    // The same bytes as a signature document, with no key trusted: nothing verifies.
    Check(VerifySignatures(CTrustRoots{}, text, "data").empty());
    int order = 0;
    const size_t half = size / 2;
    if (CompareDottedVersions(std::string(text.substr(0, half)), std::string(text.substr(half)),
                              &order)) {
        Check(order >= -1 && order <= 1);
    }
    return 0;
}
