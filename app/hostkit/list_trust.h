// A game's file list and its signed manifest: the installer is code too, so a list published with
// a manifest has every file checked before anything of it runs.
//
// Beside the list at URL the publisher serves URL.manifest and its signatures URL.manifest.sig
// (tev-publish list). The manifest is the engine update's kind: the list's exact bytes as its
// document, and one "file" line per list entry, named as the library names the downloaded file
// (the last segment of the entry's URL), with its length and SHA-256. The library verifies both
// against the keys it trusts; this is the hosts' side of the order: the list, then its manifest,
// then the signatures, each fetched whole and bounded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The most a manifest or its signature document may be.
inline constexpr int64_t kListManifestLimit = 64 * 1024;

// URL with ".manifest" (".manifest.sig") added to its path, before any query.
std::string ListManifestUrl(const std::string& listUrl);
std::string ListSignaturesUrl(const std::string& listUrl);

enum class ListTrustStep {
    FetchManifest,    // fetch ManifestUrl() next
    FetchSignatures,  // fetch SignaturesUrl() next
    Verified,         // the list is the signed one: every file is checked after download
    Unsigned,         // no manifest (or no key to check one with): the files are unverified
    Refused,          // a manifest is there but does not verify: Reason() says why
};

class CListTrust {
  public:
    explicit CListTrust(std::string listUrl = {}) : listUrl_(std::move(listUrl)) {}

    const std::string& ManifestUrl() const { return manifestUrl_; }
    const std::string& SignaturesUrl() const { return signaturesUrl_; }
    const std::string& Reason() const { return reason_; }
    bool Verified() const { return step_ == ListTrustStep::Verified; }
    ListTrustStep Step() const { return step_; }

    // The list arrived (its exact bytes) and names these URLs: the manifest is fetched next.
    ListTrustStep OnList(std::string bytes, std::vector<std::string> urls);
    // The data download of the current step ended: fetched with bytes, or failed with the HTTP
    // status of the answer (0 for none). Only 404 and 410 of the manifest mean "not signed";
    // any other failure of a manifest or of signatures refuses the list.
    ListTrustStep OnFetched(bool fetched, int32_t status, std::string bytes);
    // OnFetched with what the library holds after its data download ended (fetched: it ended
    // with DLN_DATA_DONE): the bytes, at most kListManifestLimit, and the answer's status.
    ListTrustStep TakeLibraryAnswer(bool fetched);
    // Asks the library for the document of the current step (manifest or signatures), bounded
    // by kListManifestLimit. False when the library refuses to start it.
    bool StartFetch() const;
    // The document the current step fetches.
    const std::string& PendingUrl() const;

    // Checks a downloaded file of the list against the manifest; true when it matches (or the
    // list is not verified, which the host said before it started). *why on a mismatch.
    bool VerifyFile(const std::string& url, const std::string& path, std::string* why) const;

  private:
    ListTrustStep Refuse(std::string why);

    std::string listUrl_;
    std::string manifestUrl_;
    std::string signaturesUrl_;
    std::string list_;
    std::vector<std::string> urls_;
    std::string manifest_;
    std::string signatures_;
    std::string reason_;
    ListTrustStep step_ = ListTrustStep::FetchManifest;
};
