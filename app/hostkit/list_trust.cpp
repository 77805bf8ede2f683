#include "hostkit/list_trust.h"

#include <utility>

#include "downloadlib.h"
#include "hostkit/format.h"

namespace {

std::string WithSuffix(const std::string& url, const char* suffix) {
    const size_t end = url.find_first_of("?#");
    if (end == std::string::npos) {
        return url + suffix;
    }
    return url.substr(0, end) + suffix + url.substr(end);
}

DataBuffer Buffer(std::string& bytes) {
    return DataBuffer{bytes.data(), static_cast<int64_t>(bytes.size())};
}

}  // namespace

std::string ListManifestUrl(const std::string& listUrl) {
    return WithSuffix(listUrl, ".manifest");
}

std::string ListSignaturesUrl(const std::string& listUrl) {
    return WithSuffix(listUrl, ".manifest.sig");
}

ListTrustStep CListTrust::Refuse(std::string why) {
    reason_ = std::move(why);
    step_ = ListTrustStep::Refused;
    return step_;
}

ListTrustStep CListTrust::OnList(std::string bytes, std::vector<std::string> urls) {
    list_ = std::move(bytes);
    urls_ = std::move(urls);
    manifestUrl_ = ListManifestUrl(listUrl_);
    signaturesUrl_ = ListSignaturesUrl(listUrl_);
    reason_.clear();
    step_ = ListTrustStep::FetchManifest;
    return step_;
}

ListTrustStep CListTrust::OnFetched(bool fetched, int32_t status, std::string bytes) {
    const auto answer = [status] {
        return status != 0 ? "the server answered " + std::to_string(status)
                           : std::string("no answer");
    };
    if (step_ == ListTrustStep::FetchManifest) {
        if (!fetched && (status == 404 || status == 410)) {
            reason_ = "the file list has no signed manifest (" + manifestUrl_ + ")";
            step_ = ListTrustStep::Unsigned;
            return step_;
        }
        if (!fetched) {
            // The list came from the same server a moment ago: a manifest that cannot be had
            // is not taken for a missing one.
            return Refuse("the file list's manifest " + manifestUrl_ + " cannot be fetched (" +
                          answer() + ", or it is larger than " +
                          std::to_string(kListManifestLimit) + " bytes)");
        }
        manifest_ = std::move(bytes);
        step_ = ListTrustStep::FetchSignatures;
        return step_;
    }
    if (step_ != ListTrustStep::FetchSignatures) {
        return step_;
    }
    if (!fetched) {
        return Refuse("the signatures of the file list's manifest " + signaturesUrl_ +
                      " cannot be fetched (" + answer() + ")");
    }
    signatures_ = std::move(bytes);
    char why[512];
    DataBuffer list = Buffer(list_);
    DataBuffer manifest = Buffer(manifest_);
    DataBuffer signatures = Buffer(signatures_);
    const int32_t result =
        DownloadLib_VerifyFileList(&list, &manifest, &signatures, why, sizeof why);
    if (result == DL_E_UNTRUSTED) {
        reason_ = "the file list is signed, but no key is trusted to verify it";
        step_ = ListTrustStep::Unsigned;
        return step_;
    }
    if (result != DL_OK) {
        return Refuse(std::string("the file list's manifest is refused: ") + why);
    }
    // Every file the list names must be vouched for, before anything is fetched.
    for (const std::string& url : urls_) {
        const std::string name = FileNameOfUrl(url);
        if (DownloadLib_VerifyListedFile(&manifest, &signatures, name.c_str(), nullptr, why,
                                         sizeof why) != DL_OK) {
            return Refuse("the file list's manifest does not vouch for " + url + ": " + why);
        }
    }
    step_ = ListTrustStep::Verified;
    return step_;
}

ListTrustStep CListTrust::TakeLibraryAnswer(bool fetched) {
    std::string bytes;
    int64_t size = 0;
    if (fetched && DownloadLib_GetDataSize(&size) == DL_OK && size > 0 &&
        size <= kListManifestLimit) {
        bytes.resize(static_cast<size_t>(size));
        DataBuffer buffer{bytes.data(), size};
        fetched = DownloadLib_GetData(&buffer) == DL_OK;
    } else {
        fetched = false;
    }
    int32_t status = 0;
    DownloadLib_GetDataStatus(&status);
    return OnFetched(fetched, status, std::move(bytes));
}

const std::string& CListTrust::PendingUrl() const {
    return step_ == ListTrustStep::FetchSignatures ? signaturesUrl_ : manifestUrl_;
}

bool CListTrust::StartFetch() const {
    return DownloadLib_DownloadDataWithin(PendingUrl().c_str(), kListManifestLimit) == DL_OK;
}

bool CListTrust::VerifyFile(const std::string& url, const std::string& path,
                            std::string* why) const {
    if (step_ != ListTrustStep::Verified) {
        return true;
    }
    std::string manifestBytes = manifest_;
    std::string signatureBytes = signatures_;
    DataBuffer manifest = Buffer(manifestBytes);
    DataBuffer signatures = Buffer(signatureBytes);
    char reason[512];
    const std::string name = FileNameOfUrl(url);
    if (DownloadLib_VerifyListedFile(&manifest, &signatures, name.c_str(), path.c_str(), reason,
                                     sizeof reason) != DL_OK) {
        *why = reason;
        return false;
    }
    return true;
}
