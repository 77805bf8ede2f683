// The response head parser takes whatever a server sends.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "http/response_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    nwCHttpResponseParser parser;
    parser.Parse(bytes.substr(0, HttpHeadLength(bytes) == 0 ? size : HttpHeadLength(bytes)));
    parser.StatusCode();
    parser.ContentLength();
    parser.Find("Location:");
    return 0;
}
