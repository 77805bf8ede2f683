#include "publish/torrent_maker.h"

#include <sys/stat.h>

#include <exception>
#include <iterator>
#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/error_code.hpp>
#include <libtorrent/file_storage.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/torrent_info.hpp>
#include <sstream>

namespace tev::tools {
namespace {

constexpr int kMinPieceLength = 256 * 1024;
constexpr int kMaxPieceLength = 4 * 1024 * 1024;
constexpr uint64_t kMaxPieces = 2048;
// An address is carried verbatim by every peer that loads the torrent; a bound keeps a mistyped
// argument from becoming a torrent no client accepts.
constexpr size_t kMaxUrlLength = 2048;
constexpr size_t kMaxTrackers = 16;

bool Fail(std::string* error, const std::string& message) {
    if (error != nullptr) {
        *error = message;
    }
    return false;
}

bool HasScheme(const std::string& url, const std::string& scheme) {
    return url.size() > scheme.size() + 3 && url.compare(0, scheme.size() + 3, scheme + "://") == 0;
}

// Printable ASCII without spaces, a host after the scheme, no fragment: what a client can
// request as it stands.
bool IsPlainUrl(const std::string& url) {
    if (url.empty() || url.size() > kMaxUrlLength) {
        return false;
    }
    for (const char c : url) {
        if (c <= ' ' || c >= 0x7f || c == '#') {
            return false;
        }
    }
    const size_t host = url.find("://");
    return host != std::string::npos && host + 3 < url.size() && url[host + 3] != '/';
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Folder(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

int TorrentPieceLength(uint64_t fileSize) {
    int length = kMinPieceLength;
    while (length < kMaxPieceLength && (fileSize + length - 1) / length > kMaxPieces) {
        length *= 2;
    }
    return length;
}

std::string MakeTorrent(const std::string& filePath, const std::string& webSeedUrl,
                        const std::vector<std::string>& trackers, std::string* error) {
    if (!IsPlainUrl(webSeedUrl) ||
        !(HasScheme(webSeedUrl, "http") || HasScheme(webSeedUrl, "https"))) {
        Fail(error, "the web seed must be an http:// or https:// address: " + webSeedUrl);
        return {};
    }
    // A web seed ending in '/' names a folder to clients; a single-file torrent's names the file.
    if (webSeedUrl.back() == '/') {
        Fail(error, "the web seed must be the file's own address, not a folder: " + webSeedUrl);
        return {};
    }
    if (trackers.size() > kMaxTrackers) {
        Fail(error, "at most " + std::to_string(kMaxTrackers) + " trackers");
        return {};
    }
    for (const std::string& tracker : trackers) {
        if (!IsPlainUrl(tracker) || !(HasScheme(tracker, "http") || HasScheme(tracker, "https") ||
                                      HasScheme(tracker, "udp"))) {
            Fail(error, "a tracker must be an http://, https:// or udp:// address: " + tracker);
            return {};
        }
    }
    const std::string name = BaseName(filePath);
    if (name.empty() || name == "." || name == "..") {
        Fail(error, filePath + " names no file");
        return {};
    }
    struct stat info {};
    if (::stat(filePath.c_str(), &info) != 0) {
        Fail(error, "cannot read " + filePath);
        return {};
    }
    if (!S_ISREG(info.st_mode)) {
        Fail(error, filePath + " is not a regular file");
        return {};
    }
    if (info.st_size == 0) {
        Fail(error, filePath + " is empty: an empty file has no pieces to share");
        return {};
    }
    const uint64_t size = static_cast<uint64_t>(info.st_size);
    const int pieceLength = TorrentPieceLength(size);
    try {
        lt::file_storage files;
        files.add_file(name, static_cast<std::int64_t>(size));
        // v1 only. A hybrid torrent makes every player hash each byte with SHA-256 as well as
        // SHA-1 (here about 0.6 s more CPU per GiB, 45% more than v1 alone when the torrent is
        // made), and its v2 half gains nothing for a single file: libtorrent bans a peer behind a
        // failed v1 piece just the same. Every client agrees on a v1 info hash, where aria2 1.36
        // derives another from a hybrid torrent and so would join a swarm of its own.
        lt::create_torrent torrent(files, pieceLength, lt::create_torrent::v1_only);
        torrent.set_priv(true);
        torrent.add_url_seed(webSeedUrl);
        int tier = 0;
        for (const std::string& tracker : trackers) {
            torrent.add_tracker(tracker, tier++);
        }
        torrent.set_creator("tev-publish");
        // No creation date: the same file and addresses always give the same bytes.
        torrent.set_creation_date(0);
        lt::error_code ec;
        lt::settings_pack settings;
        settings.set_int(lt::settings_pack::aio_threads, 2);
        lt::set_piece_hashes(
            torrent, Folder(filePath), settings, [](lt::piece_index_t) {}, ec);
        if (ec) {
            Fail(error, "cannot hash " + filePath + ": " + ec.message());
            return {};
        }
        // The file may have changed size while it was read; the torrent would then describe bytes
        // no server has.
        struct stat after {};
        if (::stat(filePath.c_str(), &after) != 0 || after.st_size != info.st_size ||
            after.st_mtim.tv_sec != info.st_mtim.tv_sec ||
            after.st_mtim.tv_nsec != info.st_mtim.tv_nsec) {
            Fail(error, filePath + " changed while it was hashed");
            return {};
        }
        std::string bytes;
        lt::bencode(std::back_inserter(bytes), torrent.generate());
        return bytes;
    } catch (const std::exception& e) {
        Fail(error, "cannot make a torrent of " + filePath + ": " + e.what());
        return {};
    }
}

std::string TorrentInfoHashHex(const std::string& torrent) {
    lt::error_code ec;
    const lt::torrent_info info(lt::span<char const>(torrent), ec, lt::from_span);
    if (ec || !info.info_hashes().has_v1()) {
        return {};
    }
    std::ostringstream hex;
    hex << info.info_hashes().v1;
    return hex.str();
}

}  // namespace tev::tools
