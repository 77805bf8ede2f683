#include "update/md4.h"

#include <cstring>

namespace {

constexpr uint32_t Rotate(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}
constexpr uint32_t F(uint32_t x, uint32_t y, uint32_t z) {
    return (x & y) | (~x & z);
}
constexpr uint32_t G(uint32_t x, uint32_t y, uint32_t z) {
    return (x & y) | (x & z) | (y & z);
}
constexpr uint32_t H(uint32_t x, uint32_t y, uint32_t z) {
    return x ^ y ^ z;
}

uint32_t LoadLittle(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void StoreLittle(uint32_t v, uint8_t* p) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

}  // namespace

void ctCMD4::Init() {
    state_[0] = 0x67452301u;
    state_[1] = 0xefcdab89u;
    state_[2] = 0x98badcfeu;
    state_[3] = 0x10325476u;
    length_ = 0;
}

void ctCMD4::Update(const void* data, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t used = static_cast<size_t>(length_ % 64);
    length_ += length;
    if (used != 0) {
        const size_t take = length < 64 - used ? length : 64 - used;
        std::memcpy(buffer_ + used, bytes, take);
        bytes += take;
        length -= take;
        used += take;
        if (used < 64) {
            return;
        }
        Transform(buffer_);
    }
    for (; length >= 64; bytes += 64, length -= 64) {
        Transform(bytes);
    }
    if (length != 0) {
        std::memcpy(buffer_, bytes, length);
    }
}

void ctCMD4::Final(uint8_t digest[kDigestSize]) {
    const uint64_t bits = length_ * 8;
    uint8_t padding[72] = {0x80};
    const size_t used = static_cast<size_t>(length_ % 64);
    const size_t padLength = used < 56 ? 56 - used : 120 - used;
    Update(padding, padLength);
    uint8_t lengthBytes[8];
    StoreLittle(static_cast<uint32_t>(bits), lengthBytes);
    StoreLittle(static_cast<uint32_t>(bits >> 32), lengthBytes + 4);
    Update(lengthBytes, sizeof lengthBytes);
    for (int i = 0; i < 4; ++i) {
        StoreLittle(state_[i], digest + 4 * i);
    }
    Init();
}

void ctCMD4::Digest(const void* data, size_t length, uint8_t digest[kDigestSize]) {
    ctCMD4 md4;
    md4.Update(data, length);
    md4.Final(digest);
}

void ctCMD4::Transform(const uint8_t block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) {
        x[i] = LoadLittle(block + 4 * i);
    }
    uint32_t a = state_[0];
    uint32_t b = state_[1];
    uint32_t c = state_[2];
    uint32_t d = state_[3];

    // Round 1: [abcd k s] a = (a + F(b,c,d) + X[k]) <<< s, k in order.
    static constexpr int kShift1[4] = {3, 7, 11, 19};
    for (int i = 0; i < 16; ++i) {
        const uint32_t t = Rotate(a + F(b, c, d) + x[i], kShift1[i % 4]);
        a = d;
        d = c;
        c = b;
        b = t;
    }
    // Round 2: k runs down the columns of the 4x4 word matrix.
    static constexpr int kShift2[4] = {3, 5, 9, 13};
    for (int i = 0; i < 16; ++i) {
        const int k = (i % 4) * 4 + i / 4;
        const uint32_t t = Rotate(a + G(b, c, d) + x[k] + 0x5a827999u, kShift2[i % 4]);
        a = d;
        d = c;
        c = b;
        b = t;
    }
    // Round 3: k in bit-reversed order of its two 2-bit halves.
    static constexpr int kOrder3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    static constexpr int kShift3[4] = {3, 9, 11, 15};
    for (int i = 0; i < 16; ++i) {
        const uint32_t t = Rotate(a + H(b, c, d) + x[kOrder3[i]] + 0x6ed9eba1u, kShift3[i % 4]);
        a = d;
        d = c;
        c = b;
        b = t;
    }

    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}
