#include "transfer/range_request.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string_view>

namespace tev::localengine {
namespace {

std::string FromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool IsHttps(const std::string& url) {
    constexpr std::string_view kScheme = "https://";
    return url.size() >= kScheme.size() &&
           std::equal(kScheme.begin(), kScheme.end(), url.begin(), [](char a, char b) {
               return a == std::tolower(static_cast<unsigned char>(b));
           });
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
    // What came over a verified https connection may not send us on to plain http, where anyone
    // on the way could answer in its place; http may still move up to https.
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR,
                     IsHttps(request.url) ? "https" : "http,https");
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

}  // namespace tev::localengine
