// The library's one percent codec, and the text conversions around it. Texts are UTF-8 on this
// platform, so the ANSI/UTF-8 conversions are identities that always succeed.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/result.h"

class utCUriCodec {
  public:
    virtual ~utCUriCodec() = default;

    // Two-call pattern: without a buffer only *outLength is set; with one (outLength + 1 bytes)
    // the text and its NUL are written. A missing or empty input fails and touches nothing.
    // "%XY" with two hex digits becomes the byte; anything else, '+' included, stays.
    virtual vmResult Decode(const char* input, char* output, uint32_t* outLength) const;
    // Bytes outside * + - . 0-9 @ A-Z _ a-z become "%XY" in upper-case hex.
    virtual vmResult Encode(const char* input, char* output, uint32_t* outLength) const;

    // Replace text with its encoded or decoded form only when the codec succeeds.
    static void EncodeInPlace(std::string* text);
    static void DecodeInPlace(std::string* text);
    // As Encode, except that a "%XY" escape already there stays as it is. URL pieces may arrive
    // encoded (a Location, a URL of the file list): encoding them again would ask for another
    // name ("a%20b" as "a%2520b"). A '%' without two hex digits after it is still encoded.
    static void EncodeKeepingEscapes(std::string* text);

    static bool IsSafe(unsigned char byte);
};

vmResult AnsiToUtf8(const std::string& input, std::string* output);
vmResult Utf8ToAnsi(const std::string& input, std::string* output);
