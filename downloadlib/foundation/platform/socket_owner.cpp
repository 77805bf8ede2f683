#include "foundation/platform/socket_owner.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr char kListenState[] = "0A";

std::atomic<int64_t> gOwnUserOverride{-1};

// "0100007F:1F40" → 0x1F40.
std::optional<uint16_t> PortOf(const std::string& address) {
    const size_t colon = address.rfind(':');
    if (colon == std::string::npos || address.size() - colon - 1 != 4) {
        return std::nullopt;
    }
    char* end = nullptr;
    const unsigned long port = std::strtoul(address.c_str() + colon + 1, &end, 16);
    if (*end != '\0') {
        return std::nullopt;
    }
    return static_cast<uint16_t>(port);
}

// 0 no listener, 1 every listener has *owner, -1 listeners of different users.
int ScanListeners(std::string_view text, uint16_t port, uid_t* owner) {
    std::istringstream lines{std::string(text)};
    std::string line;
    std::getline(lines, line);  // the heading
    int found = 0;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >>
              uid) ||
            state != kListenState || PortOf(local) != port) {
            continue;
        }
        char* end = nullptr;
        const unsigned long value = std::strtoul(uid.c_str(), &end, 10);
        if (*end != '\0') {
            return -1;  // a listener whose owner cannot be read is nobody we trust
        }
        if (found != 0 && static_cast<uid_t>(value) != *owner) {
            return -1;
        }
        *owner = static_cast<uid_t>(value);
        found = 1;
    }
    return found;
}

}  // namespace

std::optional<uid_t> cpFindListenerOwner(std::string_view procNetTcp, uint16_t port) {
    uid_t owner = 0;
    if (ScanListeners(procNetTcp, port, &owner) == 1) {
        return owner;
    }
    return std::nullopt;
}

std::optional<uid_t> cpListeningSocketOwner(uint16_t port) {
    std::optional<uid_t> owner;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream file(table);
        std::stringstream text;
        text << file.rdbuf();
        uid_t found = 0;
        const int scanned = ScanListeners(text.str(), port, &found);
        if (scanned < 0 || (scanned == 1 && owner && *owner != found)) {
            return std::nullopt;
        }
        if (scanned == 1) {
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
