#include "http/uri_codec.h"

#include <cstring>
#include <utility>
#include <vector>

namespace {

int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

vmResult Emit(const std::string& result, char* output, uint32_t* outLength) {
    if (outLength != nullptr) {
        *outLength = static_cast<uint32_t>(result.size());
    }
    if (output != nullptr) {
        std::memcpy(output, result.c_str(), result.size() + 1);
    }
    return UT_OK;
}

}  // namespace

bool utCUriCodec::IsSafe(unsigned char byte) {
    return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= 'a' && byte <= 'z') || byte == '*' || byte == '+' || byte == '-' ||
           byte == '.' || byte == '@' || byte == '_';
}

vmResult utCUriCodec::Encode(const char* input, char* output, uint32_t* outLength) const {
    if (input == nullptr || input[0] == '\0') {
        return UT_FAIL;
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string result;
    for (const char* p = input; *p != '\0'; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        if (IsSafe(byte)) {
            result += static_cast<char>(byte);
        } else {
            result += '%';
            result += kHex[byte >> 4];
            result += kHex[byte & 0x0F];
        }
    }
    return Emit(result, output, outLength);
}

vmResult utCUriCodec::Decode(const char* input, char* output, uint32_t* outLength) const {
    if (input == nullptr || input[0] == '\0') {
        return UT_FAIL;
    }
    const size_t length = std::strlen(input);
    std::string result;
    size_t i = 0;
    while (i + 3 <= length) {
        const auto c = static_cast<unsigned char>(input[i]);
        const int high = HexValue(static_cast<unsigned char>(input[i + 1]));
        const int low = HexValue(static_cast<unsigned char>(input[i + 2]));
        if (c == '%' && high >= 0 && low >= 0) {
            result += static_cast<char>(high * 16 + low);
            i += 3;
        } else {
            result += static_cast<char>(c);
            ++i;
        }
    }
    result.append(input + i, length - i);
    return Emit(result, output, outLength);
}

namespace {

template <class Operation>
void TwoCall(std::string* text, Operation operation) {
    uint32_t length = 0;
    if (vmFailed(operation(text->c_str(), nullptr, &length))) {
        return;
    }
    std::vector<char> buffer(length + 1, '\0');
    if (vmSucceeded(operation(text->c_str(), buffer.data(), &length))) {
        text->assign(buffer.data(), length);
    }
}

}  // namespace

void utCUriCodec::EncodeInPlace(std::string* text) {
    const utCUriCodec codec;
    TwoCall(text, [&](const char* in, char* out, uint32_t* n) { return codec.Encode(in, out, n); });
}

void utCUriCodec::DecodeInPlace(std::string* text) {
    const utCUriCodec codec;
    TwoCall(text, [&](const char* in, char* out, uint32_t* n) { return codec.Decode(in, out, n); });
}

void utCUriCodec::EncodeKeepingEscapes(std::string* text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string result;
    result.reserve(text->size());
    for (size_t i = 0; i < text->size(); ++i) {
        const auto byte = static_cast<unsigned char>((*text)[i]);
        const bool escape = byte == '%' && i + 2 < text->size() &&
                            HexValue(static_cast<unsigned char>((*text)[i + 1])) >= 0 &&
                            HexValue(static_cast<unsigned char>((*text)[i + 2])) >= 0;
        if (IsSafe(byte) || escape) {
            result += static_cast<char>(byte);
        } else {
            result += '%';
            result += kHex[byte >> 4];
            result += kHex[byte & 0x0F];
        }
    }
    *text = std::move(result);
}

vmResult AnsiToUtf8(const std::string& input, std::string* output) {
    *output = input;
    return CP_OK;
}

vmResult Utf8ToAnsi(const std::string& input, std::string* output) {
    *output = input;
    return CP_OK;
}
