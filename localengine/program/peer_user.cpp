#include "program/peer_user.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace tev::localengine {
namespace {

// "0100007F:1F40" → 0x1F40.
std::optional<uint16_t> PortOf(std::string_view address) {
    const size_t colon = address.rfind(':');
    if (colon == std::string_view::npos || address.size() - colon - 1 != 4) {
        return std::nullopt;
    }
    const std::string hex(address.substr(colon + 1));
    char* end = nullptr;
    const unsigned long port = std::strtoul(hex.c_str(), &end, 16);
    if (*end != '\0') {
        return std::nullopt;
    }
    return static_cast<uint16_t>(port);
}

}  // namespace

std::optional<uid_t> FindSocketOwner(std::string_view text, uint16_t localPort,
                                     uint16_t remotePort) {
    std::istringstream lines{std::string(text)};
    std::string line;
    std::getline(lines, line);  // the heading
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >>
              uid)) {
            continue;
        }
        if (PortOf(local) == localPort && PortOf(remote) == remotePort) {
            char* end = nullptr;
            const unsigned long value = std::strtoul(uid.c_str(), &end, 10);
            if (*end == '\0') {
                return static_cast<uid_t>(value);
            }
        }
    }
    return std::nullopt;
}

std::optional<uid_t> PeerUser(uint16_t peerPort, uint16_t ourPort) {
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream file(table);
        std::stringstream text;
        text << file.rdbuf();
        if (std::optional<uid_t> owner = FindSocketOwner(text.str(), peerPort, ourPort)) {
            return owner;
        }
    }
    return std::nullopt;
}

}  // namespace tev::localengine
