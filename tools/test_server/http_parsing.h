// Byte-level pieces of the test HTTP server, kept free of sockets so they can be tested alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tev::tools {

struct HttpRequestHead {
    std::string method;
    std::string target;                                        // as sent, query included
    std::string version;                                       // "HTTP/1.1"
    std::vector<std::pair<std::string, std::string>> headers;  // in order; values trimmed
};

// Length of the request head at the front of bytes (request line, headers and the blank line),
// or 0 while it is incomplete. Lines may end in CRLF or a bare LF.
size_t FindHeadEnd(std::string_view bytes);

// Parses a complete head; nullopt when the request line or a header line is malformed.
std::optional<HttpRequestHead> ParseRequestHead(std::string_view head);

// The first value of a header, matched without regard to case.
std::optional<std::string> FindHeader(
    const std::vector<std::pair<std::string, std::string>>& headers, std::string_view name);

bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// Whether a comma-separated header value (such as Connection) holds token, ignoring case.
bool HasToken(std::string_view value, std::string_view token);

// Percent-decodes the path part of an origin-form target (everything before '?' or '#').
// nullopt when the target does not start with '/' or holds a broken escape.
std::optional<std::string> DecodeTargetPath(std::string_view target);

// Resolves "." and ".." segments and collapses repeated slashes. nullopt when ".." would climb
// above the root or the path holds a NUL byte.
std::optional<std::string> NormalizePath(std::string_view decodedPath);

// One "Range" header value applied to a body of size bytes.
struct ByteRange {
    enum Kind {
        None,           // no usable single byte range: answer the whole body with 200
        Satisfiable,    // answer [first, last] with 206
        Unsatisfiable,  // answer 416 with "Content-Range: bytes */size"
    };
    Kind kind = None;
    uint64_t first = 0;
    uint64_t last = 0;
};

// Understands "bytes=N-", "bytes=N-M" and "bytes=-N". Syntax it does not understand, including
// several ranges at once, is ignored (None), as HTTP allows a server to do.
ByteRange ParseRange(std::string_view value, uint64_t size);

const char* ReasonPhrase(int status);

}  // namespace tev::tools
