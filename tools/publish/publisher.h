// What the update server serves, made from an engine build: the updater descriptor, the complete
// package with its hash document, and one archive with hash document per file.
//
// Layout under the output folder (addresses are the base URL followed by the same paths):
//   velmor/tevdownload/update/v3_32/tevdownload_updater.xml
//   velmor/tevdownload/update/v3_32/tevdownload_updater.manifest  (+ ".sig"; signed only)
//   velmor/tevdownload/update/v3_32/all/<program>.<zip|7z>       (+ ".hash")
//   velmor/tevdownload/update/v3_32/file/<file name>.<zip|7z>    (+ ".hash")
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tev::tools {

enum class PackageFormat { kZip, k7z };

struct PublishOptions {
    std::string outputFolder;
    std::string baseUrl;  // "http://host[:port]" or "https://...", no trailing path needed
    PackageFormat format = PackageFormat::kZip;
    std::string program;              // the engine program; its file name names its entry
    std::string version;              // the program's "FileVersion"
    std::vector<std::string> extras;  // further files of the engine (a licence, a library)
    // The Ed25519 private key (PEM) that signs the manifest; empty: no manifest, the update is
    // then installed only by builds without a trusted key, and only over https.
    std::string signingKey;
    int expiresDays = 30;
    // 0: one more than the manifest already in the output folder (1 without one).
    uint64_t manifestVersion = 0;
    // A plain-http base URL is refused unless the update is for a test.
    bool forTest = false;
};

// A new signing pair: the private key written 0600 (never over an existing file), the public key
// beside it for the trust file of the library or the build.
bool GenerateKeyFiles(const std::string& privatePath, const std::string& publicPath,
                      std::string* error);

// The folder of the update below the output folder and below the base URL.
constexpr char kUpdateFolder[] = "velmor/tevdownload/update/v3_32";
constexpr char kDescriptorName[] = "tevdownload_updater.xml";

// Writes everything; false with *error set when an input is unusable (a name that cannot be an
// element name, an address longer than the descriptor holds, a file that cannot be read) or an
// output cannot be written.
bool Publish(const PublishOptions& options, std::string* error);

// A game's file list signed for the hosts: beside LIST, LIST.manifest (the list's exact bytes as
// its document, one "file" line per list entry with the SHA-256 and length of its file) and
// LIST.manifest.sig. An entry is named as the library names the downloaded file: the last
// segment of its URL, which must be a plain name ('A'-'Z', 'a'-'z', '0'-'9', '.', '_', '-').
struct ListPublishOptions {
    std::string list;                // the file list as it is served
    std::vector<std::string> files;  // the files it names, each under the name its URL ends in
    std::string signingKey;          // the Ed25519 private key (PEM); a list is always signed
    int expiresDays = 30;
    uint64_t manifestVersion = 0;  // 0: one more than the manifest beside the list (1 without)
};
constexpr char kListManifestSuffix[] = ".manifest";
constexpr char kListSignaturesSuffix[] = ".manifest.sig";

// Every entry of the list must have exactly one file and every file an entry; false with
// *error set otherwise, and nothing written.
bool PublishListManifest(const ListPublishOptions& options, std::string* error);

// A .torrent beside each game file of a list, for peers to share its pieces: LIST names the
// files by address as for PublishListManifest, FILE.torrent is written beside each file with the
// file's address as its web seed and the trackers given. A plain-http address is refused unless
// the torrents are for a test.
struct TorrentPublishOptions {
    std::string list;
    std::vector<std::string> files;
    std::vector<std::string> trackers;
    bool forTest = false;
};
constexpr char kTorrentSuffix[] = ".torrent";

struct PublishedTorrent {
    std::string path;
    std::string infoHash;  // v1, 40 hex digits: what a tracker's whitelist holds
};

// The torrents written in *written; false with *error set on the first unusable entry, file or
// address, and then no torrent written.
bool PublishTorrents(const TorrentPublishOptions& options, std::vector<PublishedTorrent>* written,
                     std::string* error);

}  // namespace tev::tools
