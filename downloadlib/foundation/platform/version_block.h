// The version block a program of ours carries in its ELF section ".tev_version", in place of a
// version resource. Header-only and free of the library, so any program can carry one.
//
// Layout (little-endian):
//   0  4  magic "TEVV"
//   4  2  format, 1
//   6  2  size of the whole block in bytes
//   8  2  translation count T, then T x (16-bit language, 16-bit code page)
//      2  string table count S, then S tables:
//         16-bit language, 16-bit code page, 16-bit byte length L,
//         L bytes of NUL-terminated key and value texts, key, value, key, value ...
//
// A program gets its block through the CMake function tev_version_block(target), which writes
// the project version; the section is allocated and marked to be retained, so neither strip
// nor --gc-sections removes it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tev_version {

constexpr char kSectionName[] = ".tev_version";
constexpr char kMagic[4] = {'T', 'E', 'V', 'V'};
constexpr uint16_t kFormat = 1;
constexpr uint16_t kEnglishUs = 0x0409;
constexpr uint16_t kUnicode = 0x04B0;

template <size_t N>
struct Block {
    unsigned char bytes[N];
};

// The block of one translation and one string table holding FileVersion, ProductVersion and
// ProductName. The sizes are those of the string literals (NUL included).
template <size_t FileVersionN, size_t ProductVersionN, size_t ProductNameN>
constexpr auto MakeBlock(uint16_t language, uint16_t codePage,
                         const char (&fileVersion)[FileVersionN],
                         const char (&productVersion)[ProductVersionN],
                         const char (&productName)[ProductNameN]) {
    constexpr size_t kPairs = sizeof("FileVersion") + FileVersionN + sizeof("ProductVersion") +
                              ProductVersionN + sizeof("ProductName") + ProductNameN;
    constexpr size_t kSize = 8 + 2 + 4 + 2 + 6 + kPairs;
    static_assert(kSize <= 0xFFFF, "a version block is at most 65535 bytes");
    Block<kSize> block{};
    size_t at = 0;
    const auto u16 = [&](uint16_t v) {
        block.bytes[at++] = static_cast<unsigned char>(v);
        block.bytes[at++] = static_cast<unsigned char>(v >> 8);
    };
    const auto text = [&](const char* s) {
        do {
            block.bytes[at++] = static_cast<unsigned char>(*s);
        } while (*s++ != '\0');
    };
    for (char c : kMagic) {
        block.bytes[at++] = static_cast<unsigned char>(c);
    }
    u16(kFormat);
    u16(static_cast<uint16_t>(kSize));
    u16(1);
    u16(language);
    u16(codePage);
    u16(1);
    u16(language);
    u16(codePage);
    u16(static_cast<uint16_t>(kPairs));
    text("FileVersion");
    text(fileVersion);
    text("ProductVersion");
    text(productVersion);
    text("ProductName");
    text(productName);
    return block;
}

}  // namespace tev_version

// Gives the program that compiles this its version block (once per program).
#define TEV_VERSION_BLOCK(language, codePage, fileVersion, productVersion, productName)         \
    [[gnu::section(".tev_version"), gnu::used, gnu::retain]] constexpr auto tev_version_block = \
        ::tev_version::MakeBlock(language, codePage, fileVersion, productVersion, productName)
