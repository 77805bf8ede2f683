// Hash documents of the engine files: the MD4 digest of every 1 MiB chunk of a file, in order,
// followed by the MD4 digest of those chunk digests placed one after another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint64_t kHashDocumentChunkSize = 1048576;

// The full hash document of data: 16 * (chunks + 1) bytes.
std::vector<uint8_t> BuildHashDocument(const uint8_t* data, uint64_t dataLength);

// True when the document equals the start of the data's digest sequence. A document that is
// empty, not a whole number of digests long, or longer than the sequence verifies nothing.
bool VerifyWithHashDocument(const uint8_t* document, size_t documentLength, const uint8_t* data,
                            uint64_t dataLength);
