// The words a failed transfer is reported in: the library shows them to the user as they stand,
// so they say what happened ("name not resolved", "connection refused") before libcurl's detail.
#pragma once

#include <cstdint>
#include <string>

namespace tev::localengine {

// curlCode: the CURLcode of the transfer; osErrno: CURLINFO_OS_ERRNO; detail: libcurl's error
// buffer (may be empty).
std::string DescribeCurlFailure(int curlCode, long osErrno, const std::string& detail);

// An answer that names no size (chunked, or ended by its connection) went past the bound.
std::string UnknownLengthRefusal(uint64_t limit);

}  // namespace tev::localengine
