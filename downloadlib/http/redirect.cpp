#include "http/redirect.h"

#include <strings.h>

#include <utility>
#include <vector>

#include "foundation/log.h"

namespace {

// The scheme and authority of an http(s) URL ("http://host:port"), or "" for anything else.
std::string Origin(const std::string& url, size_t* pathStart) {
    size_t schemeEnd = 0;
    if (strncasecmp(url.c_str(), "http://", 7) == 0) {
        schemeEnd = 7;
    } else if (strncasecmp(url.c_str(), "https://", 8) == 0) {
        schemeEnd = 8;
    } else {
        return {};
    }
    const size_t slash = url.find_first_of("/?#", schemeEnd);
    *pathStart = slash == std::string::npos ? url.size() : slash;
    return url.substr(0, *pathStart);
}

bool HasScheme(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    for (size_t i = 0; i < colon; ++i) {
        const char c = text[i];
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
        if (!ok) {
            return false;
        }
    }
    return true;
}

// Removes "." and ".." segments of an absolute path (RFC 3986, section 5.2.4).
std::string RemoveDotSegments(const std::string& path) {
    std::vector<std::string> segments;
    size_t start = 1;
    bool trailingSlash = false;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        const std::string segment = path.substr(start, end - start);
        trailingSlash = segment == "." || segment == "..";
        if (segment == "..") {
            if (!segments.empty()) {
                segments.pop_back();
            }
        } else if (segment != ".") {
            segments.push_back(segment);
        }
        start = end + 1;
    }
    std::string result;
    for (const std::string& segment : segments) {
        result += "/" + segment;
    }
    if (trailingSlash || result.empty()) {
        result += "/";
    }
    return result;
}

}  // namespace

bool ResolveLocation(const std::string& baseUrl, const std::string& location, std::string* out) {
    size_t pathStart = 0;
    const std::string origin = Origin(baseUrl, &pathStart);
    if (origin.empty() || location.empty()) {
        return false;
    }
    std::string reference = location.substr(0, location.find('#'));
    if (HasScheme(reference)) {
        *out = reference;
        return true;
    }
    if (reference.starts_with("//")) {
        *out = origin.substr(0, origin.find("//")) + reference;
        return true;
    }
    std::string query;
    const size_t question = reference.find('?');
    if (question != std::string::npos) {
        query = reference.substr(question);
        reference.resize(question);
    }
    const size_t baseEnd = baseUrl.find_first_of("?#", pathStart);
    std::string basePath(baseUrl, pathStart,
                         baseEnd == std::string::npos ? std::string::npos : baseEnd - pathStart);
    if (basePath.empty()) {
        basePath.push_back('/');
    }
    std::string path;
    if (reference.empty()) {
        path = basePath;  // "?x" keeps the path and replaces the query
    } else if (reference[0] == '/') {
        path = reference;
    } else {
        path = basePath.substr(0, basePath.rfind('/') + 1) + reference;
    }
    *out = origin + RemoveDotSegments(path) + query;
    return true;
}

eRedirectVerdict JudgeRedirect(const std::string& url, const std::string& location,
                               std::string* out) {
    std::string resolved;
    if (!ResolveLocation(url, location, &resolved)) {
        return eRedirectVerdict::kUnusable;
    }
    if (strncasecmp(url.c_str(), "https://", 8) == 0 &&
        strncasecmp(resolved.c_str(), "https://", 8) != 0) {
        WriteLogLineF("[TessloadLib] Redirect Refused (https to http) url:%s location:%s",
                      url.c_str(), location.c_str());
        return eRedirectVerdict::kRefused;
    }
    *out = std::move(resolved);
    return eRedirectVerdict::kFollow;
}
