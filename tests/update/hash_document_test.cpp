#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "update/hash_document.h"
#include "update/md4.h"

namespace {

std::vector<uint8_t> Data(size_t n) {
    std::vector<uint8_t> data(n);
    uint32_t x = 12345;
    for (uint8_t& b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return data;
}

bool Verify(const std::vector<uint8_t>& document, const std::vector<uint8_t>& data) {
    return VerifyWithHashDocument(document.data(), document.size(), data.data(), data.size());
}

TEST(HashDocument, HasOneDigestPerMebibyteChunkPlusTheDigestOfDigests) {
    const std::vector<uint8_t> data = Data(2 * 1048576);
    const std::vector<uint8_t> document = BuildHashDocument(data.data(), data.size());
    ASSERT_EQ(document.size(), 48u);
    uint8_t digest[16];
    ctCMD4::Digest(data.data(), 1048576, digest);
    EXPECT_EQ(std::memcmp(document.data(), digest, 16), 0);
    ctCMD4::Digest(data.data() + 1048576, 1048576, digest);
    EXPECT_EQ(std::memcmp(document.data() + 16, digest, 16), 0);
    ctCMD4::Digest(document.data(), 32, digest);
    EXPECT_EQ(std::memcmp(document.data() + 32, digest, 16), 0);

    EXPECT_EQ(BuildHashDocument(data.data(), 1048576 + 1).size(), 48u);
    EXPECT_EQ(BuildHashDocument(data.data(), 1).size(), 32u);
}

TEST(HashDocument, VerifiesOnlyTheWholeDocument) {
    const std::vector<uint8_t> data = Data(2 * 1048576);
    const std::vector<uint8_t> document = BuildHashDocument(data.data(), data.size());
    EXPECT_TRUE(Verify(document, data));
    // A leading part vouches for data it never covered: refused, right as its digests are.
    EXPECT_FALSE(Verify({document.begin(), document.begin() + 16}, data));
    EXPECT_FALSE(Verify({document.begin(), document.begin() + 32}, data));

    std::vector<uint8_t> longer = document;
    longer.resize(64);
    EXPECT_FALSE(Verify(longer, data));

    std::vector<uint8_t> changed = data;
    changed[1048576 + 7] ^= 1;
    EXPECT_FALSE(Verify(document, changed));
    EXPECT_FALSE(Verify({document.begin(), document.begin() + 16}, changed));
    std::vector<uint8_t> wrongFinal = document;
    wrongFinal[47] ^= 1;
    EXPECT_FALSE(Verify(wrongFinal, data));
}

TEST(HashDocument, EmptyOrPartialDigestsVerifyNothing) {
    const std::vector<uint8_t> data = Data(1000);
    const std::vector<uint8_t> document = BuildHashDocument(data.data(), data.size());
    EXPECT_FALSE(Verify({}, data));
    EXPECT_FALSE(VerifyWithHashDocument(nullptr, 0, data.data(), data.size()));
    EXPECT_FALSE(Verify({document.begin(), document.begin() + 15}, data));
    EXPECT_FALSE(Verify({document.begin(), document.begin() + 17}, data));
    EXPECT_TRUE(Verify(document, data));
}

TEST(HashDocument, EmptyDataHasOnlyTheDigestOfNoDigests) {
    const std::vector<uint8_t> document = BuildHashDocument(nullptr, 0);
    ASSERT_EQ(document.size(), 16u);
    uint8_t empty[16];
    ctCMD4::Digest(nullptr, 0, empty);
    EXPECT_EQ(std::memcmp(document.data(), empty, 16), 0);
    EXPECT_TRUE(VerifyWithHashDocument(document.data(), document.size(), nullptr, 0));
}

}  // namespace
