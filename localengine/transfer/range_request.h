// One ranged GET as every receiving thread of the engine asks it (a libcurl easy handle).
#pragma once

#include <cstdint>
#include <string>

#include "transfer/response_check.h"

typedef void CURL;
struct curl_slist;

namespace tev::localengine {

inline constexpr uint64_t kNoEnd = UINT64_MAX;  // a range open to the file's end

struct RangeRequest {
    std::string url;
    uint64_t begin = 0;
    uint64_t end = kNoEnd;  // exclusive
    std::string ifRange;    // the stored validator, or empty for none
    long bufferSize = 16 * 1024;
    int connectTimeoutSeconds = 10;
    int stallSeconds = 30;  // receiving nothing this long ends the transfer
};

// A configured easy handle (http and https only, redirects followed, peers verified, HTTP/1.1);
// *headers is to be freed with curl_slist_free_all once the handle is cleaned up. Callbacks and
// their data are the caller's to set. nullptr when libcurl has no memory.
CURL* NewRangeRequest(const RangeRequest& request, curl_slist** headers);

}  // namespace tev::localengine
