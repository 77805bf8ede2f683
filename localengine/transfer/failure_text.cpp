#include "transfer/failure_text.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstring>

namespace tev::localengine {

std::string DescribeCurlFailure(int curlCode, long osErrno, const std::string& detail) {
    const auto code = static_cast<CURLcode>(curlCode);
    std::string what;
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
            what = "name not resolved";
            break;
        case CURLE_COULDNT_RESOLVE_PROXY:
            what = "proxy name not resolved";
            break;
        case CURLE_COULDNT_CONNECT:
            what = osErrno == ECONNREFUSED ? std::string("connection refused")
                   : osErrno != 0
                       ? std::string("cannot connect: ") + std::strerror(static_cast<int>(osErrno))
                       : std::string("cannot connect");
            break;
        case CURLE_OPERATION_TIMEDOUT:
            what = "timed out";
            break;
        case CURLE_PEER_FAILED_VERIFICATION:
            what = "the server's certificate was not verified";
            break;
        case CURLE_SSL_CONNECT_ERROR:
            what = "TLS handshake failed";
            break;
        case CURLE_TOO_MANY_REDIRECTS:
            what = "too many redirects";
            break;
        case CURLE_UNSUPPORTED_PROTOCOL:
            what = "refused scheme (only http and https, and never from https to http)";
            break;
        default:
            what = curl_easy_strerror(code);
            break;
    }
    return detail.empty() || detail == what ? what : what + " (" + detail + ")";
}

std::string UnknownLengthRefusal(uint64_t limit) {
    return "refused answer: it names no size and went on past " + std::to_string(limit) + " bytes";
}

}  // namespace tev::localengine
