#include "update/download_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "archive/extract_action.h"
#include "foundation/clock.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "update/hash_document.h"
#include "xml/xml_parser.h"

CDownloadFile::CDownloadFile(IDownloadFileEventListener* listener, std::string url,
                             std::string hashUrl, std::string name, std::string folder,
                             bool manifest)
    : listener_(listener), manifest_(manifest) {
    if (url.empty()) {
        return;
    }
    url_ = std::move(url);
    hashUrl_ = std::move(hashUrl);
    name_ = std::move(name);
    folder_ = std::move(folder);
    if (!hashUrl_.empty()) {
        hashDocument_.emplace();
    }
    triesLeft_ = kTries;
}

bool CDownloadFile::IsDescriptor() const {
    return !manifest_ && !hashDocument_.has_value() && folder_.empty() && name_.empty();
}

bool CDownloadFile::NextUrl(std::string* url) {
    *url = !hashUrl_.empty() ? hashUrl_ : url_;
    return true;
}

bool CDownloadFile::IsFinished() {
    return lastKind_ != kUrlKindHash;
}

int32_t CDownloadFile::UrlKind(const std::string& url) {
    if (url.empty()) {
        return kUrlKindNone;
    }
    if (IsDescriptor()) {
        return kUrlKindDescriptor;
    }
    if (!hashUrl_.empty() && url == hashUrl_) {
        return kUrlKindHash;
    }
    if (url != url_) {
        return kUrlKindNone;
    }
    // The manifest completes as the descriptor does: the run then fetches what it adds.
    return manifest_ ? kUrlKindDescriptor : kUrlKindMain;
}

int64_t CDownloadFile::BodyLimit(const std::string& url) {
    if (manifest_) {
        return static_cast<int64_t>(url == hashUrl_ ? kMaxSignatureDocumentSize : kMaxManifestSize);
    }
    if (url == url_ && listed_) {
        return static_cast<int64_t>(listed_->length);
    }
    return 0;
}

int32_t CDownloadFile::Deliver(const std::string& url, const uint8_t* data, int64_t size,
                               int32_t* kind) {
    if (url.empty() || data == nullptr || size <= 0 || kind == nullptr) {
        return kFileBadArguments;
    }
    if (IsDescriptor()) {
        *kind = lastKind_ = kUrlKindDescriptor;
        if (listener_ == nullptr || size > UINT32_MAX) {
            return kFileBadArguments;
        }
        return listener_->OnDescriptorDelivered(this, data, static_cast<uint32_t>(size));
    }
    if (!hashUrl_.empty() && url == hashUrl_) {
        *kind = lastKind_ = kUrlKindHash;
        hashUrl_.clear();
        hashDocument_.emplace(data, data + size);
        return kFileOk;
    }
    if (manifest_ && url == url_) {
        *kind = lastKind_ = kUrlKindDescriptor;
        if (listener_ == nullptr || size > UINT32_MAX) {
            return kFileBadArguments;
        }
        return listener_->OnManifestDelivered(this, hashDocument_ ? &*hashDocument_ : nullptr, data,
                                              static_cast<uint32_t>(size));
    }
    if (url == url_) {
        *kind = lastKind_ = kUrlKindMain;
        if (listener_ == nullptr) {
            return kFileBadArguments;
        }
        return listener_->OnFileDelivered(this, hashDocument_ ? &*hashDocument_ : nullptr, data,
                                          size);
    }
    *kind = lastKind_ = kUrlKindNone;
    return kFileUnknownUrl;
}

bool CDownloadFile::Take() {
    if (busy_ || url_.empty()) {
        return false;
    }
    if (!persistent_ && --triesLeft_ < 0) {
        return false;
    }
    busy_ = true;
    lastKind_ = kUrlKindNone;
    return true;
}

bool CDownloadFile::Release(bool success) {
    busy_ = false;
    if (success) {
        return true;
    }
    if (!hashUrl_.empty() && IsSecureUrl(url_) && !manifest_) {
        // Verified TLS vouches for the archive itself: without its hash document the next
        // attempt fetches it unchecked.
        hashUrl_.clear();
        hashDocument_.reset();
        return triesLeft_ <= 0 && !persistent_;
    }
    // Over plain http the hash document is the only check, so it is fetched again every time.
    return triesLeft_ <= 0 && !persistent_;
}

bool CDownloadFile::Matches(const std::string& url) const {
    return !hashUrl_.empty() ? url == hashUrl_ : url == url_;
}

CDownloadFileList::CDownloadFileList(CEngineEnvironment environment, CTrustRoots trust)
    : environment_(std::move(environment)), trust_(std::move(trust)) {}

void CDownloadFileList::AddManifest(const std::string& manifestUrl,
                                    const std::string& signaturesUrl,
                                    const std::string& descriptorUrl) {
    if (manifestUrl.empty()) {
        return;
    }
    descriptorUrl_ = descriptorUrl;
    updateFolderUrl_ = manifestUrl.substr(0, manifestUrl.find_last_of('/') + 1);
    files_.push_back(
        std::make_unique<CDownloadFile>(this, manifestUrl, signaturesUrl, "", "", true));
}

bool CDownloadFileList::AddFile(const std::string& url, const std::string& hashUrl,
                                const std::string& name, const std::string& folder) {
    // A file without an address could never be taken, and the list would never empty.
    if (url.empty()) {
        return false;
    }
    const bool known = std::any_of(files_.begin(), files_.end(), [&](const auto& file) {
        return file->Matches(url) || file->Url() == url;
    });
    if (known) {
        return false;
    }
    files_.push_back(std::make_unique<CDownloadFile>(this, url, hashUrl, name, folder));
    return true;
}

CDownloadFile* CDownloadFileList::NextFile() {
    for (const auto& file : files_) {
        if (file->Take()) {
            return file.get();
        }
    }
    return nullptr;
}

bool CDownloadFileList::Finish(const std::string& url, bool success) {
    const auto it = std::find_if(files_.begin(), files_.end(),
                                 [&](const auto& file) { return file->Matches(url); });
    if (it == files_.end() || !(*it)->Release(success)) {
        return false;
    }
    files_.erase(it);
    return !success;
}

void CDownloadFileList::SetAllPersistent(bool persistent) {
    for (const auto& file : files_) {
        file->SetPersistent(persistent);
    }
}

bool CDownloadFileList::Contains(const CDownloadFile* file) const {
    return std::any_of(files_.begin(), files_.end(),
                       [&](const auto& owned) { return owned.get() == file; });
}

namespace {

// The engine folder, made when missing and writable by the user alone (the engine is refused a
// start from any other).
bool PrepareEngineFolder(const std::string& folder) {
    struct stat st {};
    if (folder.empty() || folder[0] != '/' || !CreateFolderPath(folder) ||
        stat(folder.c_str(), &st) != 0 || st.st_uid != geteuid()) {
        return false;
    }
    return (st.st_mode & 022) == 0 || chmod(folder.c_str(), st.st_mode & 0755) == 0;
}

std::string Text(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace

int32_t CDownloadFileList::OnManifestDelivered(CDownloadFile* file,
                                               const std::vector<uint8_t>* signatures,
                                               const uint8_t* data, uint32_t size) {
    if (file == nullptr || data == nullptr || size == 0) {
        return kFileBadArguments;
    }
    const char* url = file->Url().c_str();
    // The signature covers the raw bytes: they are verified before anything reads them.
    const std::string keyId =
        signatures != nullptr
            ? VerifySignatures(trust_, Text(signatures->data(), signatures->size()),
                               std::string_view(reinterpret_cast<const char*>(data), size))
            : std::string();
    if (keyId.empty()) {
        WriteLogLineF("[TessloadLib] Manifest Signature Refused (URL: %s)(Keys: %d)", url,
                      static_cast<int>(trust_.keys.size()));
        return kFileRefused;
    }
    CUpdateManifest manifest;
    std::string error;
    if (!ParseManifest(std::string_view(reinterpret_cast<const char*>(data), size), &manifest,
                       &error)) {
        WriteLogLineF("[TessloadLib] Manifest Unusable (URL: %s)(%s)", url, error.c_str());
        return kFileRefused;
    }
    const int64_t now = static_cast<int64_t>(cpGetSeconds());
    if (manifest.expires <= now) {
        WriteLogLineF("[TessloadLib] Manifest Expired (Expires: %s)",
                      FormatUtcTime(manifest.expires).c_str());
        return kFileRefused;
    }
    const std::string engineFolder = environment_.engineFolder();
    if (!PrepareEngineFolder(engineFolder)) {
        return kFileNoEngineFolder;
    }
    const uint64_t accepted = ReadAcceptedManifestVersion(engineFolder);
    if (manifest.version < accepted) {
        WriteLogLineF("[TessloadLib] Manifest Rollback (Version: %llu / Accepted: %llu)",
                      static_cast<unsigned long long>(manifest.version),
                      static_cast<unsigned long long>(accepted));
        return kFileRefused;
    }
    if (updateFolderUrl_ + manifest.document.path != descriptorUrl_) {
        WriteLogLineF("[TessloadLib] Manifest For Another Document (%s)",
                      manifest.document.path.c_str());
        return kFileRefused;
    }
    if (manifest.version > accepted &&
        !WriteAcceptedManifestVersion(engineFolder, manifest.version)) {
        // Without the record a replay could not be told later: nothing is installed.
        WriteLogLineF("[TessloadLib] Manifest Version Not Recorded (Version: %llu)",
                      static_cast<unsigned long long>(manifest.version));
        return kFileNoEngineFolder;
    }
    WriteLogLineF("[TessloadLib] Manifest Verified (Version: %llu)(Key: %s)(Expires: %s)",
                  static_cast<unsigned long long>(manifest.version), keyId.c_str(),
                  FormatUtcTime(manifest.expires).c_str());
    manifest_ = std::move(manifest);
    files_.push_back(std::make_unique<CDownloadFile>(this, descriptorUrl_, "", "", ""));
    files_.back()->SetListed(manifest_->document);
    return kFileOk;
}

bool CDownloadFileList::DownloadsAllowed(const std::string& descriptorUrl,
                                         std::vector<CUpdateDownload>* downloads) {
    for (CUpdateDownload& download : *downloads) {
        // An https descriptor vouches only for addresses that are as well protected as itself.
        if (IsSecureUrl(descriptorUrl) &&
            (!IsSecureUrl(download.url) ||
             (!download.hashUrl.empty() && !IsSecureUrl(download.hashUrl)))) {
            WriteLogLineF("[TessloadLib] Insecure Address Refused (URL: %s)", download.url.c_str());
            return false;
        }
        if (!trust_.required) {
            continue;
        }
        const bool inFolder =
            download.url.size() > updateFolderUrl_.size() &&
            download.url.compare(0, updateFolderUrl_.size(), updateFolderUrl_) == 0;
        const CManifestEntry* entry =
            inFolder && manifest_ ? manifest_->Find(download.url.substr(updateFolderUrl_.size()))
                                  : nullptr;
        if (entry == nullptr) {
            WriteLogLineF("[TessloadLib] Not In Manifest (URL: %s)", download.url.c_str());
            return false;
        }
    }
    return true;
}

int32_t CDownloadFileList::OnDescriptorDelivered(CDownloadFile* file, const uint8_t* data,
                                                 uint32_t size) {
    if (data == nullptr || size == 0) {
        return kFileBadArguments;
    }
    const std::string descriptorUrl = file != nullptr ? file->Url() : descriptorUrl_;
    if (trust_.required) {
        const CManifestEntry* listed =
            file != nullptr && file->Listed() ? &*file->Listed() : nullptr;
        if (!manifest_ || listed == nullptr) {
            WriteLogLineF("[TessloadLib] Descriptor Without Manifest (URL: %s)",
                          descriptorUrl.c_str());
            return kFileRefused;
        }
        if (size != listed->length || Sha256Hex(data, size) != listed->sha256) {
            WriteLogLineF("[TessloadLib] Descriptor Digest Mismatch (URL: %s)",
                          descriptorUrl.c_str());
            return kFileRefused;
        }
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    CXMLParserVelmor parser;
    parser.Load(text.c_str());
    const CXMLElement* root = parser.Root();

    const std::string engineFolder = environment_.engineFolder();
    if (!PrepareEngineFolder(engineFolder)) {
        return kFileNoEngineFolder;
    }
    const std::string enginePath = environment_.enginePath();
    std::string folder;
    std::string engineName;
    SplitPath(enginePath, &folder, &engineName);
    const std::string version = ReadEngineVersion(root, engineName);
    if (version.empty()) {
        return kFileBadDescriptor;
    }
    newVersion_ = version;
    if (trust_.required && version != manifest_->offer) {
        WriteLogLineF("[TessloadLib] Descriptor Version Mismatch (Descriptor: %s / Manifest: %s)",
                      version.c_str(), manifest_->offer.c_str());
        return kFileRefused;
    }
    std::vector<CUpdateDownload> downloads;
    // Without a signed manifest nothing tells a stale offer from a fresh one: only a newer
    // version goes in.
    const bool formed = FormDownloads(
        root, BuildUpdateList(version, environment_, !trust_.required), enginePath, &downloads);
    if (!DownloadsAllowed(descriptorUrl, &downloads)) {
        return kFileRefused;
    }
    for (const CUpdateDownload& download : downloads) {
        if (!AddFile(download.url, download.hashUrl, download.name, download.folder)) {
            continue;
        }
        if (trust_.required) {
            files_.back()->SetListed(
                *manifest_->Find(download.url.substr(updateFolderUrl_.size())));
        }
    }
    return formed ? kFileOk : kFileBadDescriptor;
}

int32_t CDownloadFileList::OnFileDelivered(CDownloadFile* file,
                                           const std::vector<uint8_t>* hashDocument,
                                           const uint8_t* data, int64_t size) {
    if (file == nullptr || data == nullptr || size <= 0) {
        return kFileBadArguments;
    }
    if (trust_.required) {
        // Trust comes from the manifest: length and SHA-256 before anything else looks inside.
        const std::optional<CManifestEntry>& listed = file->Listed();
        if (!listed) {
            WriteLogLineF("[TessloadLib] Not In Manifest (URL: %s)", file->Url().c_str());
            return kFileRefused;
        }
        if (static_cast<uint64_t>(size) != listed->length) {
            WriteLogLineF("[TessloadLib] Length Mismatch (URL: %s)(Listed: %llu)(Received: %lld)",
                          file->Url().c_str(), static_cast<unsigned long long>(listed->length),
                          static_cast<long long>(size));
            return kFileHashMismatch;
        }
        if (Sha256Hex(data, static_cast<size_t>(size)) != listed->sha256) {
            WriteLogLineF("[TessloadLib] Digest Mismatch (URL: %s)", file->Url().c_str());
            return kFileHashMismatch;
        }
    } else if (!IsSecureUrl(file->Url())) {
        WriteLogLineF("[TessloadLib] Refused Unsigned File (URL: %s)", file->Url().c_str());
        return kFileRefused;
    }
    if (hashDocument != nullptr) {
        if (!VerifyWithHashDocument(hashDocument->data(), hashDocument->size(), data,
                                    static_cast<uint64_t>(size))) {
            WriteLogLineF("[TessloadLib] Hash Mismatch (URL: %s)", file->Url().c_str());
            return kFileHashMismatch;
        }
    } else if (IsSecureUrl(file->Url()) || trust_.required) {
        WriteLogLineF("[TessloadLib] Unchecked File (URL: %s)", file->Url().c_str());
    } else {
        // Nothing vouches for an archive fetched over plain http without its hash document.
        WriteLogLineF("[TessloadLib] Refused Unchecked File (URL: %s)", file->Url().c_str());
        return kFileHashMismatch;
    }
    const int kind = ArchiveKindOfUrl(file->Url());
    if (kind == 0) {
        return kFileUnpackFailed;
    }
    const auto full = static_cast<uint64_t>(size);
    switch (ExtractArchive(kind, data, static_cast<uint32_t>(full),
                           static_cast<uint32_t>(full >> 32), file->Folder().c_str())) {
        case kExtractEntryOk:
            break;
        case kExtractEntryFailureOther:
            return kFileUnpackFailedOther;
        default:
            return kFileUnpackFailed;
    }
    // The program now in place must be the one offered; anything else is a failed update that
    // fetching again within this run would not mend.
    std::string folder;
    std::string engineName;
    SplitPath(environment_.enginePath(), &folder, &engineName);
    if (file->Name() == engineName) {
        // The program runs whatever modes its archive carried (or left out).
        std::string placed = file->Folder();
        if (!placed.empty() && placed.back() != '/' && placed.back() != '\\') {
            placed += '/';
        }
        placed += engineName;
        const int fd = open(placed.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        const bool executable = fd >= 0 && fchmod(fd, 0755) == 0;
        if (fd >= 0) {
            close(fd);
        }
        if (!executable) {
            return kFileUnpackFailed;
        }
    }
    if (file->Name() == engineName && !newVersion_.empty()) {
        const std::string installed = environment_.currentVersion();
        if (installed != newVersion_) {
            WriteLogLineF("[TessloadLib] Installed Version Mismatch (Installed: %s / Offered: %s)",
                          installed.c_str(), newVersion_.c_str());
            return kFileRefused;
        }
    }
    return kFileOk;
}

int ArchiveKindOfUrl(const std::string& url) {
    const size_t dot = url.find_last_of('.');
    if (dot == std::string::npos || dot == 0) {
        return 0;
    }
    return ArchiveTypeOfFileName(url.c_str() + dot);
}
