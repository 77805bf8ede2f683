// Following redirects: where a "Location:" value points, and how many hops one request chain
// may take before its URL counts as failed.
#pragma once

#include <string>

// Resolves a Location value against the URL it answered. Absolute URLs, scheme-relative
// ("//host/x"), absolute-path ("/x") and relative ("x", "../x") references are all legal HTTP.
// False when the base is not an http(s) URL or the location is empty.
bool ResolveLocation(const std::string& baseUrl, const std::string& location, std::string* out);

// What to do with a redirect from url to a Location value.
enum class eRedirectVerdict {
    kFollow,    // *out holds the URL to ask next
    kUnusable,  // an empty Location, or a base that is not http(s)
    kRefused,   // from https to plain http: what a verified server sent would then come over an
                // unauthenticated connection (logged with the Location)
};
// Resolves location against url and refuses a step down from https; http to https is followed.
eRedirectVerdict JudgeRedirect(const std::string& url, const std::string& location,
                               std::string* out);

class CRedirectChain {
  public:
    static constexpr int kMaxRedirects = 10;

    // Counts one more redirect of the chain; false once the chain is longer than allowed.
    bool Follow() { return ++count_ <= kMaxRedirects; }
    int Count() const { return count_; }
    void Reset() { count_ = 0; }

  private:
    int count_ = 0;
};
