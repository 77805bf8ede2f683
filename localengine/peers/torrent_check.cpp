#include "peers/torrent_check.h"

#include <libtorrent/load_torrent.hpp>
#include <libtorrent/torrent_flags.hpp>
#include <libtorrent/torrent_info.hpp>

#include <cctype>
#include <exception>
#include <memory>

namespace tev::localengine {

namespace lt = libtorrent;

namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

std::string Unquote(std::string_view value) {
    value = Trim(value);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

// scheme://authority, lower-cased, with the default port made explicit; empty when the URL has
// none of the two schemes.
std::string OriginOf(const std::string& url) {
    const std::string lower = Lower(url);
    std::string scheme;
    if (lower.rfind("https://", 0) == 0) {
        scheme = "https";
    } else if (lower.rfind("http://", 0) == 0) {
        scheme = "http";
    } else {
        return {};
    }
    const size_t start = scheme.size() + 3;
    std::string authority = lower.substr(start, lower.find_first_of("/?#", start) - start);
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        authority.erase(0, at + 1);  // user information never makes two origins one
    }
    if (authority.empty()) {
        return {};
    }
    const size_t bracket = authority.rfind(']');
    const size_t colon = authority.rfind(':');
    if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket)) {
        authority += scheme == "https" ? ":443" : ":80";
    }
    return scheme + "://" + authority;
}

// A reference resolved against base: absolute, scheme-relative, path-absolute or relative.
std::string Resolve(const std::string& reference, const std::string& base) {
    const std::string lower = Lower(reference);
    if (lower.rfind("http://", 0) == 0 || lower.rfind("https://", 0) == 0) {
        return reference;
    }
    if (lower.find(':') != std::string::npos && lower.find(':') < lower.find_first_of("/?#")) {
        return {};  // another scheme
    }
    const size_t schemeEnd = base.find("://");
    if (schemeEnd == std::string::npos) {
        return {};
    }
    if (reference.rfind("//", 0) == 0) {
        return base.substr(0, schemeEnd + 1) + reference;
    }
    const size_t pathStart = base.find_first_of("/?#", schemeEnd + 3);
    const std::string origin = base.substr(0, pathStart);
    if (!reference.empty() && reference[0] == '/') {
        return origin + reference;
    }
    std::string path = pathStart == std::string::npos ? "/" : base.substr(pathStart);
    path = path.substr(0, path.find_first_of("?#"));
    return origin + path.substr(0, path.rfind('/') + 1) + reference;
}

}  // namespace

std::optional<std::string> TorrentLinkOf(std::string_view header, const std::string& answerUrl) {
    // link-value = "<" URI-Reference ">" *( ";" link-param ), several separated by commas.
    size_t at = 0;
    while (at < header.size()) {
        const size_t open = header.find('<', at);
        if (open == std::string_view::npos) {
            return std::nullopt;
        }
        const size_t close = header.find('>', open);
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view target = header.substr(open + 1, close - open - 1);
        // The parameters run to the next comma outside quotes.
        size_t end = close + 1;
        bool quoted = false;
        while (end < header.size() && (quoted || header[end] != ',')) {
            quoted = header[end] == '"' ? !quoted : quoted;
            ++end;
        }
        std::string_view params = header.substr(close + 1, end - close - 1);
        bool describedBy = false;
        bool torrentType = false;
        while (!params.empty()) {
            const size_t semicolon = params.find(';');
            const std::string_view param = Trim(params.substr(0, semicolon));
            params = semicolon == std::string_view::npos ? std::string_view()
                                                         : params.substr(semicolon + 1);
            const size_t equals = param.find('=');
            if (equals == std::string_view::npos) {
                continue;
            }
            const std::string name = Lower(Trim(param.substr(0, equals)));
            const std::string value = Lower(Unquote(param.substr(equals + 1)));
            if (name == "rel") {
                // rel may list several relation types separated by spaces.
                size_t from = 0;
                while (from <= value.size()) {
                    const size_t space = value.find(' ', from);
                    if (value.substr(from, space - from) == "describedby") {
                        describedBy = true;
                    }
                    if (space == std::string::npos) {
                        break;
                    }
                    from = space + 1;
                }
            } else if (name == "type") {
                torrentType = value == "application/x-bittorrent";
            }
        }
        if (describedBy && torrentType && !target.empty() && target.size() < 8192) {
            std::string resolved = Resolve(std::string(Trim(target)), answerUrl);
            if (!resolved.empty()) {
                return resolved;
            }
        }
        at = end + 1;
    }
    return std::nullopt;
}

std::string TorrentUrlBeside(const std::string& fileUrl) {
    const size_t schemeEnd = fileUrl.find("://");
    const size_t cut =
        fileUrl.find_first_of("?#", schemeEnd == std::string::npos ? 0 : schemeEnd + 3);
    return fileUrl.substr(0, cut) + ".torrent";
}

bool TorrentUrlAllowed(const std::string& fileUrl, const std::string& torrentUrl,
                       std::string* why) {
    const std::string fileOrigin = OriginOf(fileUrl);
    const std::string torrentOrigin = OriginOf(torrentUrl);
    if (fileOrigin.empty() || torrentOrigin.empty()) {
        *why = "not an http or https URL";
        return false;
    }
    if (fileOrigin.rfind("https:", 0) == 0) {
        if (torrentOrigin.rfind("https:", 0) != 0) {
            *why = "an http torrent for an https file";
            return false;
        }
        if (torrentOrigin != fileOrigin) {
            *why = "a torrent from another origin than the https file";
            return false;
        }
    }
    return true;
}

std::optional<lt::add_torrent_params> JudgeTorrent(std::string_view bytes, uint64_t httpSize,
                                                   const std::string& partPath,
                                                   std::string* refusal) {
    if (bytes.size() > kTorrentMaxBytes) {
        *refusal = "the torrent is larger than 4 MiB";
        return std::nullopt;
    }
    lt::load_torrent_limits limits;
    limits.max_buffer_size = static_cast<int>(kTorrentMaxBytes);
    limits.max_pieces = 1 << 20;
    limits.max_decode_depth = 32;
    limits.max_decode_tokens = 1 << 20;
    lt::add_torrent_params params;
    try {
        params = lt::load_torrent_buffer(
            lt::span<char const>(bytes.data(), static_cast<long>(bytes.size())), limits);
    } catch (const std::exception& error) {
        *refusal = std::string("the torrent cannot be read: ") + error.what();
        return std::nullopt;
    }
    if (!params.ti || !params.ti->is_valid()) {
        *refusal = "the torrent has no file list";
        return std::nullopt;
    }
    const lt::file_storage& files = params.ti->files();
    if (files.num_files() != 1) {
        *refusal = "the torrent describes " + std::to_string(files.num_files()) + " files, not one";
        return std::nullopt;
    }
    if (files.total_size() < 0 || static_cast<uint64_t>(files.total_size()) != httpSize) {
        *refusal = "the torrent's file has " + std::to_string(files.total_size()) +
                   " bytes, the server's " + std::to_string(httpSize);
        return std::nullopt;
    }
    if (files.piece_length() <= 0 || files.piece_length() > kMaxPieceLength) {
        *refusal = "the torrent's pieces are larger than 16 MiB";
        return std::nullopt;
    }
    const size_t slash = partPath.rfind('/');
    if (slash == std::string::npos || slash + 1 == partPath.size()) {
        *refusal = "no part file to share";
        return std::nullopt;
    }
    params.save_path = partPath.substr(0, slash);
    params.renamed_files.clear();
    params.renamed_files[lt::file_index_t{0}] = partPath.substr(slash + 1);
    // Our own transfers fetch from the server; libtorrent asking it too would fetch bytes twice.
    params.url_seeds.clear();
    params.ti->set_web_seeds({});
    params.flags |= lt::torrent_flags::override_web_seeds | lt::torrent_flags::disable_dht |
                    lt::torrent_flags::disable_lsd | lt::torrent_flags::disable_pex;
    params.flags &= ~(lt::torrent_flags::auto_managed | lt::torrent_flags::paused);
    return params;
}

}  // namespace tev::localengine
