// The version information of a program file: the block in its ELF section ".tev_version"
// (foundation/platform/version_block.h), read the way a version resource is read.
//
// Every offset and size of the ELF file and of the block is checked against what is there: a
// file that is not a 64-bit little-endian ELF, that is truncated, whose section table points
// outside the file, or whose block is malformed, has no version information.
#pragma once

#include <cstdint>

// Size of the version information of the file at path; 0 when it has none.
uint32_t cpGetFileVersionInfoSize(const char* path);
// Copies the version information (at most size bytes) into data; false when the file has none
// or it does not fit.
bool cpGetFileVersionInfo(const char* path, uint32_t size, void* data);
// Looks a value up in version information of the given size:
//   "\VarFileInfo\Translation": the translations, 4 bytes each (language in the low 16 bits,
//     code page in the high 16 bits); fails when the block lists none;
//   "\StringFileInfo\LLLLCCCC\Key": the text value of Key in the string table of language LLLL
//     and code page CCCC (hexadecimal), NUL-terminated; *length counts the NUL.
// Names of tables and keys are matched without regard to ASCII case.
bool cpVerQueryValue(const void* block, uint32_t blockSize, const char* subBlock,
                     const void** value, uint32_t* length);
// The user's language as a Windows language id, from LC_ALL, LC_MESSAGES or LANG
// ("ko_KR.UTF-8" gives 0x0412); 0x0409 when none is set or the language is not known.
uint16_t cpGetUserDefaultLangID();
