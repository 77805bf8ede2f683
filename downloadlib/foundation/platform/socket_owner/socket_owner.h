// Whose is the socket at the other end of a loopback connection? A loopback port is open to every
// local user, so the library and the engine each make sure that the other end of their
// connection is a program of their own user before it says anything. Linux lists every TCP socket
// with its state and owner in /proc/net/tcp and /proc/net/tcp6.
//
// Only the exact connection counts: the row whose local end is the peer's address and port, whose
// remote end is ours, in state ESTABLISHED. A port alone proves nothing: another user can bind the
// same port on another loopback address (127.0.0.2), and the listener's row says nothing about who
// connected.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

// One end of a TCP connection. IPv4 addresses are kept in their IPv4-mapped IPv6 form, so a
// dual-stack socket listed in tcp6 as ::ffff:127.0.0.1 matches the same IPv4 end.
struct cpTcpEnd {
    std::array<uint8_t, 16> address{};
    uint16_t port = 0;

    static cpTcpEnd FromIPv4(in_addr_t networkOrder, uint16_t port);
    static cpTcpEnd FromSockaddr(const sockaddr_in& address);
    bool operator==(const cpTcpEnd&) const = default;
};

// The owner of the ESTABLISHED socket whose local end is `socketEnd` and whose remote end is
// `peerEnd`, read from one /proc/net/tcp or /proc/net/tcp6 text. None when no row matches, or
// when matching rows disagree on the owner.
std::optional<uid_t> cpFindConnectionOwner(std::string_view procNetTcp, const cpTcpEnd& socketEnd,
                                           const cpTcpEnd& peerEnd);

// The same over both tables of the running system.
std::optional<uid_t> cpConnectionOwner(const cpTcpEnd& socketEnd, const cpTcpEnd& peerEnd);

// This process's user, with a seam: while set, cpOwnUserId answers it, so a test can make a
// program of its own look like another user's. Any thread.
uid_t cpOwnUserId();
void cpSetOwnUserIdForTests(std::optional<uid_t> uid);
