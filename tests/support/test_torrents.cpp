#include "support/test_torrents.h"

#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/torrent_info.hpp>

#include <exception>
#include <iterator>
#include <sstream>

namespace lt = libtorrent;

TestTorrent MakeTestTorrent(const std::string& filePath, const std::vector<std::string>& trackers,
                            int pieceLength, bool v1Only, const std::string& webSeed) {
    TestTorrent made;
    try {
        lt::file_storage files;
        lt::add_files(files, filePath);
        lt::create_torrent maker(files, pieceLength,
                                 v1Only ? lt::create_torrent::v1_only : lt::create_flags_t{});
        for (const std::string& tracker : trackers) {
            maker.add_tracker(tracker);
        }
        if (!webSeed.empty()) {
            maker.add_url_seed(webSeed);
        }
        maker.set_priv(true);
        const size_t slash = filePath.rfind('/');
        lt::set_piece_hashes(maker, filePath.substr(0, slash));
        lt::bencode(std::back_inserter(made.bytes), maker.generate());
        const lt::torrent_info info(made.bytes.data(), static_cast<int>(made.bytes.size()));
        const lt::info_hash_t hashes = info.info_hashes();
        const auto hex = [](const lt::sha1_hash& hash) {
            std::ostringstream text;
            text << hash;
            return text.str();
        };
        if (hashes.has_v1()) {
            made.v1Hash = hex(hashes.v1);
        }
        if (hashes.has_v2()) {
            made.v2Hash = hex(lt::sha1_hash(hashes.v2.data()));
        }
    } catch (const std::exception&) {
        made = {};
    }
    return made;
}
