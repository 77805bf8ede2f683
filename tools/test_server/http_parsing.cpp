#include "test_server/http_parsing.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace tev::tools {

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

bool IsTokenChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) != 0) {
        return true;
    }
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Digits only; saturates instead of overflowing so that a huge position is simply too large.
std::optional<uint64_t> ParseNumber(std::string_view digits) {
    if (digits.empty()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
            value = std::numeric_limits<uint64_t>::max();
        } else {
            value = value * 10 + digit;
        }
    }
    return value;
}

}  // namespace

size_t FindHeadEnd(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\n') {
            continue;
        }
        if (i + 1 < bytes.size() && bytes[i + 1] == '\n') {
            return i + 2;
        }
        if (i + 2 < bytes.size() && bytes[i + 1] == '\r' && bytes[i + 2] == '\n') {
            return i + 3;
        }
    }
    return 0;
}

std::optional<HttpRequestHead> ParseRequestHead(std::string_view head) {
    std::vector<std::string_view> lines;
    while (!head.empty()) {
        const size_t end = head.find('\n');
        std::string_view line = head.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        head.remove_prefix(end == std::string_view::npos ? head.size() : end + 1);
    }
    while (!lines.empty() && lines.back().empty()) {
        lines.pop_back();
    }
    if (lines.empty()) {
        return std::nullopt;
    }

    HttpRequestHead request;
    const std::string_view requestLine = lines.front();
    const size_t firstSpace = requestLine.find(' ');
    const size_t lastSpace = requestLine.rfind(' ');
    if (firstSpace == std::string_view::npos || firstSpace == lastSpace) {
        return std::nullopt;
    }
    request.method = requestLine.substr(0, firstSpace);
    request.target = requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    request.version = requestLine.substr(lastSpace + 1);
    if (request.method.empty() ||
        !std::all_of(request.method.begin(), request.method.end(), IsTokenChar)) {
        return std::nullopt;
    }
    if (request.target.empty() || request.target.find(' ') != std::string::npos) {
        return std::nullopt;
    }
    if (request.version != "HTTP/1.1" && request.version != "HTTP/1.0") {
        return std::nullopt;
    }

    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        const size_t colon = line.find(':');
        if (colon == 0 || colon == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view name = line.substr(0, colon);
        if (!std::all_of(name.begin(), name.end(), IsTokenChar)) {
            return std::nullopt;  // also refuses folded continuation lines
        }
        request.headers.emplace_back(std::string(name), std::string(Trim(line.substr(colon + 1))));
    }
    return request;
}

std::optional<std::string> FindHeader(
    const std::vector<std::pair<std::string, std::string>>& headers, std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (EqualsIgnoreCase(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool HasToken(std::string_view value, std::string_view token) {
    while (!value.empty()) {
        const size_t comma = value.find(',');
        if (EqualsIgnoreCase(Trim(value.substr(0, comma)), token)) {
            return true;
        }
        value.remove_prefix(comma == std::string_view::npos ? value.size() : comma + 1);
    }
    return false;
}

std::optional<std::string> DecodeTargetPath(std::string_view target) {
    if (target.empty() || target.front() != '/') {
        return std::nullopt;
    }
    target = target.substr(0, target.find_first_of("?#"));
    std::string path;
    path.reserve(target.size());
    for (size_t i = 0; i < target.size(); ++i) {
        if (target[i] != '%') {
            path.push_back(target[i]);
            continue;
        }
        if (i + 2 >= target.size()) {
            return std::nullopt;
        }
        const int high = HexValue(target[i + 1]);
        const int low = HexValue(target[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        path.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return path;
}

std::optional<std::string> NormalizePath(std::string_view decodedPath) {
    if (decodedPath.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    std::vector<std::string_view> segments;
    while (!decodedPath.empty()) {
        const size_t slash = decodedPath.find('/');
        const std::string_view segment = decodedPath.substr(0, slash);
        decodedPath.remove_prefix(slash == std::string_view::npos ? decodedPath.size() : slash + 1);
        if (segment.empty() || segment == ".") {
            continue;
        }
        if (segment == "..") {
            if (segments.empty()) {
                return std::nullopt;
            }
            segments.pop_back();
            continue;
        }
        segments.push_back(segment);
    }
    std::string path;
    for (const std::string_view segment : segments) {
        path += '/';
        path += segment;
    }
    return path.empty() ? std::string("/") : path;
}

ByteRange ParseRange(std::string_view value, uint64_t size) {
    value = Trim(value);
    const size_t equals = value.find('=');
    if (equals == std::string_view::npos ||
        !EqualsIgnoreCase(Trim(value.substr(0, equals)), "bytes")) {
        return {};
    }
    const std::string_view ranges = Trim(value.substr(equals + 1));
    if (ranges.find(',') != std::string_view::npos) {
        return {};
    }
    const size_t dash = ranges.find('-');
    if (dash == std::string_view::npos) {
        return {};
    }
    const std::string_view firstText = Trim(ranges.substr(0, dash));
    const std::string_view lastText = Trim(ranges.substr(dash + 1));
    const ByteRange unsatisfiable{ByteRange::Unsatisfiable, 0, 0};

    if (firstText.empty()) {
        const std::optional<uint64_t> suffix = ParseNumber(lastText);
        if (!suffix) {
            return {};
        }
        if (*suffix == 0 || size == 0) {
            return unsatisfiable;
        }
        return {ByteRange::Satisfiable, size - std::min(*suffix, size), size - 1};
    }
    const std::optional<uint64_t> first = ParseNumber(firstText);
    if (!first) {
        return {};
    }
    uint64_t last = std::numeric_limits<uint64_t>::max();
    if (!lastText.empty()) {
        const std::optional<uint64_t> parsed = ParseNumber(lastText);
        if (!parsed || *parsed < *first) {
            return {};
        }
        last = *parsed;
    }
    if (*first >= size) {
        return unsatisfiable;
    }
    return {ByteRange::Satisfiable, *first, std::min(last, size - 1)};
}

const char* ReasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 204:
            return "No Content";
        case 206:
            return "Partial Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 303:
            return "See Other";
        case 304:
            return "Not Modified";
        case 307:
            return "Temporary Redirect";
        case 308:
            return "Permanent Redirect";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 410:
            return "Gone";
        case 416:
            return "Range Not Satisfiable";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        default:
            return "Status";
    }
}

}  // namespace tev::tools
