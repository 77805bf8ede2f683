#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "update/md4.h"

namespace {

std::string Hex(const uint8_t* bytes, size_t n) {
    std::string out;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        out += two;
    }
    return out;
}

struct Vector {
    const char* message;
    const char* digest;
};

// The test suite of RFC 1320, appendix A.5.
constexpr Vector kRfc1320[] = {
    {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
    {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
    {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
    {"message digest", "d9130a8164549fe818874806e1c7014b"},
    {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "043f8582f241db351ce627e153e7f0e4"},
    {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
     "0",
     "e33b4ddc9c38f2199c3e7b164fcc0536"},
};

TEST(ctCMD4, MatchesTheRfcTestSuite) {
    for (const Vector& v : kRfc1320) {
        uint8_t digest[ctCMD4::kDigestSize];
        ctCMD4::Digest(v.message, std::strlen(v.message), digest);
        EXPECT_EQ(Hex(digest, sizeof digest), v.digest) << '"' << v.message << '"';
    }
}

TEST(ctCMD4, GivesTheSameDigestHoweverTheBytesAreSplit) {
    const std::string message = kRfc1320[6].message;  // 80 bytes: crosses a 64-byte block
    ctCMD4 md4;
    for (size_t split = 0; split <= message.size(); ++split) {
        md4.Update(message.data(), split);
        md4.Update(message.data() + split, message.size() - split);
        uint8_t digest[ctCMD4::kDigestSize];
        md4.Final(digest);  // also starts the next digest
        ASSERT_EQ(Hex(digest, sizeof digest), kRfc1320[6].digest) << "split at " << split;
    }
}

}  // namespace
