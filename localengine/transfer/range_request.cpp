#include "transfer/range_request.h"

#include <curl/curl.h>

#include <cctype>
#include <cstdlib>

namespace tev::localengine {
namespace {

std::string_view TrimValue(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) {
        s.remove_suffix(1);
    }
    return s;
}

bool HeaderIs(std::string_view line, std::string_view name, std::string_view* value) {
    if (line.size() <= name.size() || line[name.size()] != ':') {
        return false;
    }
    for (size_t i = 0; i < name.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) {
            return false;
        }
    }
    *value = TrimValue(line.substr(name.size() + 1));
    return true;
}

std::string FromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

CURL* NewRangeRequest(const RangeRequest& request, curl_slist** headers) {
    *headers = nullptr;
    CURL* easy = curl_easy_init();
    if (easy == nullptr) {
        return nullptr;
    }
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT,
                     static_cast<long>(request.connectTimeoutSeconds));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(request.stallSeconds));
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "TEVDownloadV32");
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, request.bufferSize);
    // libcurl reads neither variable itself (only the curl program does).
    static const std::string caFile = FromEnvironment("SSL_CERT_FILE");
    static const std::string caPath = FromEnvironment("SSL_CERT_DIR");
    if (!caFile.empty()) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.c_str());
    }
    if (!caPath.empty()) {
        curl_easy_setopt(easy, CURLOPT_CAPATH, caPath.c_str());
    }
    const std::string range =
        std::to_string(request.begin) + "-" +
        (request.end == kNoEnd ? std::string() : std::to_string(request.end - 1));
    curl_easy_setopt(easy, CURLOPT_RANGE, range.c_str());  // copied by libcurl
    if (!request.ifRange.empty()) {
        const std::string ifRange = "If-Range: " + request.ifRange;
        *headers = curl_slist_append(nullptr, ifRange.c_str());
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, *headers);
    }
    return easy;
}

bool ReadHeadLine(std::string_view line, AnswerHead& head) {
    if (line.substr(0, 5) == "HTTP/") {
        // A new answer (after a redirect or a 100): forget the previous head.
        head = AnswerHead{};
        const size_t space = line.find(' ');
        if (space != std::string_view::npos) {
            head.status = std::strtol(std::string(line.substr(space + 1, 3)).c_str(), nullptr, 10);
        }
        return false;
    }
    std::string_view value;
    if (HeaderIs(line, "content-range", &value)) {
        head.contentRange = std::string(value);
    } else if (HeaderIs(line, "content-length", &value)) {
        char* end = nullptr;
        const std::string text(value);
        const unsigned long long number = std::strtoull(text.c_str(), &end, 10);
        if (!text.empty() && *end == '\0') {
            head.contentLength = number;
        }
    } else if (HeaderIs(line, "etag", &value)) {
        // Only a strong ETag may stand in If-Range.
        if (!value.empty() && value.substr(0, 2) != "W/") {
            head.validator = {Validator::ETag, std::string(value)};
        }
    } else if (HeaderIs(line, "last-modified", &value)) {
        if (head.validator.kind != Validator::ETag && !value.empty()) {
            head.validator = {Validator::LastModified, std::string(value)};
        }
    } else if (TrimValue(line).empty()) {
        const long status = head.status;
        // Informational, or a redirect that libcurl follows: another head comes.
        return !(status < 200 || (status >= 300 && status < 400 && status != 304));
    }
    return false;
}

}  // namespace tev::localengine
