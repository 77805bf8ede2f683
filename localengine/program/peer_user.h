// Whose is the socket at the other end of a loopback connection? Linux lists every TCP socket
// with its owner in /proc/net/tcp and /proc/net/tcp6; the peer's socket is the one whose local
// port is the peer's port and whose remote port is ours.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace tev::localengine {

// The uid column of the line of a /proc/net/tcp{,6} text whose local port is localPort and whose
// remote port is remotePort.
std::optional<uid_t> FindSocketOwner(std::string_view procNetTcp, uint16_t localPort,
                                     uint16_t remotePort);
// Looks in both tables of the running system.
std::optional<uid_t> PeerUser(uint16_t peerPort, uint16_t ourPort);

}  // namespace tev::localengine
