// The command-line form of a rule of the test server, for manual checks:
//
//     PATH:[first=N,][range-only,][no-validators,][link=URL,]KIND[=VALUE]
//
// KIND is one of: redirect[=LOCATION] (302), see-other[=LOCATION] (303), status=CODE,
// close-before-head, close-after=BYTES, stall, rate=BYTES_PER_SECOND, no-length, ignore-range,
// chunked[=BYTES_PER_SECOND], no-validators (a normal answer without ETag and Last-Modified),
// link=URL (a normal answer with "Link: <URL>; rel=describedby; type="application/x-bittorrent"",
// the header that points a client at the file's torrent; as a modifier it adds that header to
// the answers of any KIND). URL holds no space, '<', '>' or ','.
// PATH starts with "/" or is "*" (every path). Examples: "/a.bin:close-after=1000",
// "/a.bin:first=2,range-only,stall", "/old:redirect=http://127.0.0.1:8080/new",
// "/game.bin:link=/game.bin.torrent", "/game.bin:link=/game.bin.torrent,rate=1000000".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "test_server/test_http_server.h"

namespace tev::tools {

// nullopt with *error set when text is not of the form above.
std::optional<std::pair<std::string, HttpRule>> ParseRuleOption(std::string_view text,
                                                                std::string* error);

}  // namespace tev::tools
