#include "socket_owner.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr std::string_view kEstablished = "01";

std::atomic<int64_t> gOwnUserOverride{-1};

std::optional<uint32_t> ParseHex(std::string_view text) {
    if (text.empty() || text.size() > 8) {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (const char c : text) {
        uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else {
            return std::nullopt;
        }
        value = value << 4 | digit;
    }
    return value;
}

// "0100007F:1F40" (tcp) or "0000000000000000FFFF00000100007F:1F40" (tcp6). The kernel prints
// each 32-bit word of the address as the number its bytes make on this machine, so the bytes come
// back by storing that number the same way.
std::optional<cpTcpEnd> ParseEnd(std::string_view text) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos || text.size() - colon - 1 != 4) {
        return std::nullopt;
    }
    const std::string_view address = text.substr(0, colon);
    const std::optional<uint32_t> port = ParseHex(text.substr(colon + 1));
    if (!port) {
        return std::nullopt;
    }
    if (address.size() == 8) {
        const std::optional<uint32_t> word = ParseHex(address);
        if (!word) {
            return std::nullopt;
        }
        in_addr_t ip = 0;
        std::memcpy(&ip, &*word, sizeof ip);
        return cpTcpEnd::FromIPv4(ip, static_cast<uint16_t>(*port));
    }
    if (address.size() != 32) {
        return std::nullopt;
    }
    cpTcpEnd end;
    for (size_t i = 0; i < 4; ++i) {
        const std::optional<uint32_t> word = ParseHex(address.substr(i * 8, 8));
        if (!word) {
            return std::nullopt;
        }
        std::memcpy(end.address.data() + i * 4, &*word, 4);
    }
    end.port = static_cast<uint16_t>(*port);
    return end;
}

std::optional<uid_t> ParseUid(const std::string& text) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const unsigned long long value = std::stoull(text);
    if (value > static_cast<unsigned long long>(static_cast<uid_t>(-1))) {
        return std::nullopt;
    }
    return static_cast<uid_t>(value);
}

}  // namespace

cpTcpEnd cpTcpEnd::FromIPv4(in_addr_t networkOrder, uint16_t port) {
    cpTcpEnd end;
    end.address[10] = 0xff;
    end.address[11] = 0xff;
    std::memcpy(end.address.data() + 12, &networkOrder, 4);
    end.port = port;
    return end;
}

cpTcpEnd cpTcpEnd::FromSockaddr(const sockaddr_in& address) {
    return FromIPv4(address.sin_addr.s_addr, ntohs(address.sin_port));
}

std::optional<uid_t> cpFindConnectionOwner(std::string_view text, const cpTcpEnd& socketEnd,
                                           const cpTcpEnd& peerEnd) {
    std::istringstream lines{std::string(text)};
    std::string line;
    std::getline(lines, line);  // the heading
    std::optional<uid_t> owner;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >>
              uid) ||
            state != kEstablished || ParseEnd(local) != socketEnd || ParseEnd(remote) != peerEnd) {
            continue;
        }
        const std::optional<uid_t> found = ParseUid(uid);
        if (!found || (owner && *owner != *found)) {
            return std::nullopt;  // an owner that cannot be read, or two, is nobody we trust
        }
        owner = found;
    }
    return owner;
}

std::optional<uid_t> cpConnectionOwner(const cpTcpEnd& socketEnd, const cpTcpEnd& peerEnd) {
    std::optional<uid_t> owner;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream file(table);
        std::stringstream text;
        text << file.rdbuf();
        const std::optional<uid_t> found = cpFindConnectionOwner(text.str(), socketEnd, peerEnd);
        if (found && owner && *owner != *found) {
            return std::nullopt;
        }
        if (found) {
            owner = found;
        }
    }
    return owner;
}

uid_t cpOwnUserId() {
    const int64_t override = gOwnUserOverride.load();
    return override >= 0 ? static_cast<uid_t>(override) : getuid();
}

void cpSetOwnUserIdForTests(std::optional<uid_t> uid) {
    gOwnUserOverride.store(uid ? static_cast<int64_t>(*uid) : -1);
}
