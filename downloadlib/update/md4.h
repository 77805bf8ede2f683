// MD4 message digest (RFC 1320), the digest of the engine files' hash documents.
#pragma once

#include <cstddef>
#include <cstdint>

class ctCMD4 {
  public:
    static constexpr size_t kDigestSize = 16;

    ctCMD4() { Init(); }
    virtual ~ctCMD4() = default;

    // Starts a new digest; Final does not need to have been called.
    void Init();
    void Update(const void* data, size_t length);
    // Writes the digest of everything added since Init, then starts over.
    void Final(uint8_t digest[kDigestSize]);

    // The digest of one block of bytes.
    static void Digest(const void* data, size_t length, uint8_t digest[kDigestSize]);

  private:
    void Transform(const uint8_t block[64]);

    uint32_t state_[4] = {};
    uint64_t length_ = 0;  // bytes added
    uint8_t buffer_[64] = {};
};
