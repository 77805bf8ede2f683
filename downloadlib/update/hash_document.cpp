#include "update/hash_document.h"

#include <cstring>

#include "update/md4.h"

namespace {

uint64_t ChunkCount(uint64_t dataLength) {
    return (dataLength + kHashDocumentChunkSize - 1) / kHashDocumentChunkSize;
}

void ChunkDigest(const uint8_t* data, uint64_t dataLength, uint64_t chunk, uint8_t* digest) {
    const uint64_t offset = chunk * kHashDocumentChunkSize;
    const uint64_t rest = dataLength - offset;
    ctCMD4::Digest(
        data + offset,
        static_cast<size_t>(rest < kHashDocumentChunkSize ? rest : kHashDocumentChunkSize), digest);
}

}  // namespace

std::vector<uint8_t> BuildHashDocument(const uint8_t* data, uint64_t dataLength) {
    const uint64_t chunks = data != nullptr ? ChunkCount(dataLength) : 0;
    std::vector<uint8_t> document(static_cast<size_t>((chunks + 1) * ctCMD4::kDigestSize));
    for (uint64_t i = 0; i < chunks; ++i) {
        ChunkDigest(data, dataLength, i, document.data() + i * ctCMD4::kDigestSize);
    }
    ctCMD4::Digest(document.data(), static_cast<size_t>(chunks * ctCMD4::kDigestSize),
                   document.data() + chunks * ctCMD4::kDigestSize);
    return document;
}

bool VerifyWithHashDocument(const uint8_t* document, size_t documentLength, const uint8_t* data,
                            uint64_t dataLength) {
    // An empty document would accept any data, and a partial digest proves nothing.
    if (document == nullptr || documentLength == 0 || documentLength % ctCMD4::kDigestSize != 0) {
        return false;
    }
    if (data == nullptr && dataLength != 0) {
        return false;
    }
    const uint64_t chunks = ChunkCount(dataLength);
    // Every chunk and the digest of digests: a document that covers only the leading chunks
    // would vouch for data it never saw.
    if (documentLength / ctCMD4::kDigestSize != chunks + 1) {
        return false;
    }

    // Chunk digests are compared as they are computed, so a mismatch stops the work early.
    ctCMD4 ofDigests;
    for (uint64_t i = 0; i < chunks; ++i) {
        uint8_t digest[ctCMD4::kDigestSize];
        ChunkDigest(data, dataLength, i, digest);
        if (std::memcmp(digest, document + i * ctCMD4::kDigestSize, sizeof digest) != 0) {
            return false;
        }
        ofDigests.Update(digest, sizeof digest);
    }
    uint8_t final[ctCMD4::kDigestSize];
    ofDigests.Final(final);
    return std::memcmp(final, document + chunks * ctCMD4::kDigestSize, sizeof final) == 0;
}
