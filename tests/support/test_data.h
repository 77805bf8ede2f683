// Bytes and files for tests: content that shows a shifted or repeated block, and a file read
// back whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// n pseudo-random bytes; the same seed gives the same bytes.
std::string TestBytes(size_t n, uint32_t seed = 1);
// The whole file, or "" when it cannot be read.
std::string ReadWholeFile(const std::string& path);
