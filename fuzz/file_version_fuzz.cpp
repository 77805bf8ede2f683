// The version reader over arbitrary files (ELF headers, section tables and blocks alike), and
// the block queries over the same bytes taken as a block.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/platform/file_version.h"
#include "update/version_text.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

void QueryBlock(const uint8_t* block, uint32_t size) {
    const void* value = nullptr;
    uint32_t length = 0;
    if (cpVerQueryValue(block, size, "\\VarFileInfo\\Translation", &value, &length)) {
        Check(length % 4 == 0 && length > 0);
        Check(static_cast<const uint8_t*>(value) + length <= block + size);
    }
    for (const char* name :
         {"\\StringFileInfo\\040904B0\\FileVersion", "\\StringFileInfo\\041204b0\\fileversion"}) {
        if (cpVerQueryValue(block, size, name, &value, &length)) {
            const auto* text = static_cast<const uint8_t*>(value);
            Check(length > 0 && text + length <= block + size && text[length - 1] == 0);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> exact(data, data + size);
    QueryBlock(exact.data(), static_cast<uint32_t>(exact.size()));

    static const int fd = memfd_create("version", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, 0) != 0 ||
        pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        return 0;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const uint32_t infoSize = cpGetFileVersionInfoSize(path.c_str());
    if (infoSize > 0) {
        std::vector<uint8_t> info(infoSize);
        Check(cpGetFileVersionInfo(path.c_str(), infoSize, info.data()));
        QueryBlock(info.data(), infoSize);
    }
    std::string text;
    if (GetFileVersionText(path, &text)) {
        Check(infoSize > 0 && text.find('\0') == std::string::npos);
    }
    return 0;
}
