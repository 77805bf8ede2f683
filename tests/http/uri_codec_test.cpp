#include <gtest/gtest.h>

#include <string>

#include "http/uri_codec.h"

namespace {

struct CodecCase {
    const char* input;
    const char* encoded;
};

std::string Encode(const std::string& text) {
    std::string result = text;
    utCUriCodec::EncodeInPlace(&result);
    return result;
}

std::string Decode(const std::string& text) {
    std::string result = text;
    utCUriCodec::DecodeInPlace(&result);
    return result;
}

}  // namespace

TEST(utCUriCodec, EncodesEverythingOutsideTheSafeSet) {
    const CodecCase cases[] = {
        {"a b", "a%20b"},
        {"~", "%7E"},
        {"*+-.@_AZaz09", "*+-.@_AZaz09"},
        {"/:=&?", "%2F%3A%3D%26%3F"},
        {"\xED\x95\x9C", "%ED%95%9C"},  // multi-byte text goes byte by byte
    };
    for (const CodecCase& c : cases) {
        EXPECT_EQ(Encode(c.input), c.encoded) << c.input;
    }
    int safe = 0;
    for (int byte = 0; byte < 256; ++byte) {
        safe += utCUriCodec::IsSafe(static_cast<unsigned char>(byte)) ? 1 : 0;
    }
    EXPECT_EQ(safe, 68);
}

TEST(utCUriCodec, DecodesOnlyCompleteEscapes) {
    const CodecCase cases[] = {
        {"A", "%41"},   {"A%4", "%41%4"}, {"a+b", "a+b"},         {"a b", "a%20b"},
        {"%zz", "%zz"}, {"%", "%"},       {"\xC3\xA9", "%c3%A9"},
    };
    for (const CodecCase& c : cases) {
        EXPECT_EQ(Decode(c.encoded), c.input) << c.encoded;
    }
}

TEST(utCUriCodec, TwoCallPatternAndEmptyInput) {
    const utCUriCodec codec;
    uint32_t length = 99;
    EXPECT_EQ(codec.Encode("", nullptr, &length), UT_FAIL);
    EXPECT_EQ(codec.Decode(nullptr, nullptr, &length), UT_FAIL);
    EXPECT_EQ(length, 99u) << "a failure leaves the length untouched";
    ASSERT_EQ(codec.Encode("a b", nullptr, &length), UT_OK);
    EXPECT_EQ(length, 5u);
    std::string buffer(length + 1, 'x');
    ASSERT_EQ(codec.Encode("a b", buffer.data(), &length), UT_OK);
    EXPECT_STREQ(buffer.c_str(), "a%20b");
}
