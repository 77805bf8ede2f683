// The files of one update run: the descriptor, then the archives of the engine files that are out
// of date. A download file gives its session the hash document's URL first and then the archive's;
// the archive is checked against the hash document and unpacked into its folder. The file list
// keeps the run's files in order, hands out the next one to fetch, counts tries and, when the
// descriptor arrives, decides what else to fetch.
//
// Worker thread only.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "direct/download_session.h"
#include "update/descriptor.h"
#include "update/trust.h"

// Codes of a delivered body (kept in the session's result).
constexpr int32_t kFileOk = 0;
constexpr int32_t kFileUnknownUrl = 1;
constexpr int32_t kFileBadArguments = 2;
constexpr int32_t kFileBadDescriptor = 3;
constexpr int32_t kFileHashMismatch = 4;  // also an archive that could only go in unchecked
constexpr int32_t kFileUnpackFailed = 5;
constexpr int32_t kFileUnpackFailedOther = 6;
constexpr int32_t kFileNoEngineFolder = 7;
// Nothing of this update may be installed (no trusted signature, an expired or older manifest, a
// descriptor that is not the one signed, an address the update may not use, or an installed
// version other than the one offered): the run ends at once and what is installed starts.
constexpr int32_t kFileRefused = 8;

class CDownloadFile;

// What a download file reports to its list.
class IDownloadFileEventListener {
  public:
    virtual int32_t OnDescriptorDelivered(CDownloadFile* file, const uint8_t* data,
                                          uint32_t size) = 0;
    // signatures is null when none arrived.
    virtual int32_t OnManifestDelivered(CDownloadFile* file, const std::vector<uint8_t>* signatures,
                                        const uint8_t* data, uint32_t size) = 0;
    // hashDocument is null when the data goes in unchecked.
    virtual int32_t OnFileDelivered(CDownloadFile* file, const std::vector<uint8_t>* hashDocument,
                                    const uint8_t* data, int64_t size) = 0;

  protected:
    ~IDownloadFileEventListener() = default;
};

class CDownloadFile final : public IProgressFile {
  public:
    static constexpr int32_t kTries = 3;

    // An empty main URL leaves the file empty (it is never taken). A manifest file fetches its
    // signatures (hashUrl) first and never goes without them.
    CDownloadFile(IDownloadFileEventListener* listener, std::string url, std::string hashUrl,
                  std::string name, std::string folder, bool manifest = false);
    CDownloadFile(const CDownloadFile&) = delete;
    CDownloadFile& operator=(const CDownloadFile&) = delete;

    bool NextUrl(std::string* url) override;
    bool IsFinished() override;
    int32_t Deliver(const std::string& url, const uint8_t* data, int64_t size,
                    int32_t* kind) override;
    int32_t UrlKind(const std::string& url) override;
    int64_t BodyLimit(const std::string& url) override;

    // The file for a session, using up a try unless persistent; false while busy or out of tries.
    bool Take();
    // Ends an attempt; true when the file is done with (succeeded, or out of tries).
    bool Release(bool success);
    bool Matches(const std::string& url) const;
    void SetPersistent(bool persistent) { persistent_ = persistent; }

    bool IsDescriptor() const;
    bool IsManifest() const { return manifest_; }
    // What the signed manifest lists for the main file: its bytes are taken only up to this
    // length and checked against it before anything else.
    void SetListed(CManifestEntry entry) { listed_ = std::move(entry); }
    const std::optional<CManifestEntry>& Listed() const { return listed_; }
    bool IsBusy() const { return busy_; }
    int32_t TriesLeft() const { return triesLeft_; }
    const std::string& Url() const { return url_; }
    const std::string& HashUrl() const { return hashUrl_; }
    const std::string& Name() const { return name_; }
    const std::string& Folder() const { return folder_; }

  private:
    IDownloadFileEventListener* listener_;
    std::string url_;
    std::string hashUrl_;
    std::string folder_;
    std::string name_;
    int32_t lastKind_ = kUrlKindNone;
    // The hash document, from creation when a hash URL is given; filled once it has arrived.
    std::optional<std::vector<uint8_t>> hashDocument_;
    std::optional<CManifestEntry> listed_;
    bool manifest_ = false;
    bool busy_ = false;
    bool persistent_ = false;
    int32_t triesLeft_ = 0;
};

class CDownloadFileList final : public IDownloadFileEventListener {
  public:
    explicit CDownloadFileList(CEngineEnvironment environment,
                               CTrustRoots trust = LoadTrustRoots());

    // False for an empty url and when a file for url is already in the list.
    bool AddFile(const std::string& url, const std::string& hashUrl, const std::string& name,
                 const std::string& folder);
    // The run's first file when a signed manifest is required: the manifest at manifestUrl with
    // its signatures at signaturesUrl, vouching for the descriptor at descriptorUrl, which is
    // added once the manifest is accepted.
    void AddManifest(const std::string& manifestUrl, const std::string& signaturesUrl,
                     const std::string& descriptorUrl);
    // Drops every file (a refused update).
    void Clear() { files_.clear(); }
    const CTrustRoots& Trust() const { return trust_; }
    // The first file, in list order, that can be taken (and takes it); null when none.
    CDownloadFile* NextFile();
    // Ends the attempt of the file matching url; a file done with leaves the list. True when a
    // file left it without success (out of tries).
    bool Finish(const std::string& url, bool success);
    void SetAllPersistent(bool persistent);
    bool HasFiles() const { return !files_.empty(); }
    size_t FileCount() const { return files_.size(); }
    // Whether file is still one of the list's.
    bool Contains(const CDownloadFile* file) const;

    // The version the descriptor offers; empty until it arrived.
    const std::string& NewVersion() const { return newVersion_; }

    int32_t OnDescriptorDelivered(CDownloadFile* file, const uint8_t* data, uint32_t size) override;
    int32_t OnFileDelivered(CDownloadFile* file, const std::vector<uint8_t>* hashDocument,
                            const uint8_t* data, int64_t size) override;
    int32_t OnManifestDelivered(CDownloadFile* file, const std::vector<uint8_t>* signatures,
                                const uint8_t* data, uint32_t size) override;

  private:
    // The checks of a descriptor's downloads before any is added: the manifest lists each
    // (when one is required), and an https descriptor names https addresses only.
    bool DownloadsAllowed(const std::string& descriptorUrl,
                          std::vector<CUpdateDownload>* downloads);

    CEngineEnvironment environment_;
    CTrustRoots trust_;
    std::optional<CUpdateManifest> manifest_;  // the accepted one
    std::string updateFolderUrl_;              // the manifest's folder, ending in '/'
    std::string descriptorUrl_;
    std::list<std::unique_ptr<CDownloadFile>> files_;
    std::string newVersion_;
};

// The archive type for a main URL: the text after its last '.', in lower case: "7z" 1, "zip" 2,
// anything else (no '.', or one only at the start) 0.
int ArchiveKindOfUrl(const std::string& url);
