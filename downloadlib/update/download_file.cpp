#include "update/download_file.h"

#include <algorithm>
#include <utility>

#include "archive/extract_action.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "update/hash_document.h"
#include "xml/xml_parser.h"

CDownloadFile::CDownloadFile(IDownloadFileEventListener* listener, std::string url,
                             std::string hashUrl, std::string name, std::string folder)
    : listener_(listener) {
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
    return !hashDocument_.has_value() && folder_.empty() && name_.empty();
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
    return url == url_ ? kUrlKindMain : kUrlKindNone;
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
    if (!hashUrl_.empty() && IsSecureUrl(url_)) {
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

CDownloadFileList::CDownloadFileList(CEngineEnvironment environment)
    : environment_(std::move(environment)) {}

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

int32_t CDownloadFileList::OnDescriptorDelivered(CDownloadFile*, const uint8_t* data,
                                                 uint32_t size) {
    if (data == nullptr || size == 0) {
        return kFileBadArguments;
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    CXMLParserVelmor parser;
    parser.Load(text.c_str());
    const CXMLElement* root = parser.Root();

    const std::string engineFolder = environment_.engineFolder();
    if (!CreateFolderPath(engineFolder)) {
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
    std::vector<CUpdateDownload> downloads;
    const bool formed =
        FormDownloads(root, BuildUpdateList(version, environment_), enginePath, &downloads);
    for (const CUpdateDownload& download : downloads) {
        AddFile(download.url, download.hashUrl, download.name, download.folder);
    }
    return formed ? kFileOk : kFileBadDescriptor;
}

int32_t CDownloadFileList::OnFileDelivered(CDownloadFile* file,
                                           const std::vector<uint8_t>* hashDocument,
                                           const uint8_t* data, int64_t size) {
    if (file == nullptr || data == nullptr || size <= 0) {
        return kFileBadArguments;
    }
    if (hashDocument != nullptr) {
        if (!VerifyWithHashDocument(hashDocument->data(), hashDocument->size(), data,
                                    static_cast<uint64_t>(size))) {
            WriteLogLineF("[TessloadLib] Hash Mismatch (URL: %s)", file->Url().c_str());
            return kFileHashMismatch;
        }
    } else if (IsSecureUrl(file->Url())) {
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
            return kFileOk;
        case kExtractEntryFailureOther:
            return kFileUnpackFailedOther;
        default:
            return kFileUnpackFailed;
    }
}

int ArchiveKindOfUrl(const std::string& url) {
    const size_t dot = url.find_last_of('.');
    if (dot == std::string::npos || dot == 0) {
        return 0;
    }
    return ArchiveTypeOfFileName(url.c_str() + dot);
}
