// Whose is a listening socket on this machine? A loopback port is open to every local user, so
// before the library tells a listener anything it makes sure the listener is one of its own user's
// programs. Linux lists every TCP socket with its owner in /proc/net/tcp and /proc/net/tcp6.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string_view>

// The owners of the sockets listening (state 0A) on port in one /proc/net/tcp{,6} text: the
// owner when every such socket has the same one, else none (no listener, or listeners of two
// users).
std::optional<uid_t> cpFindListenerOwner(std::string_view procNetTcp, uint16_t port);

// The same over both tables of the running system.
std::optional<uid_t> cpListeningSocketOwner(uint16_t port);

// This process's user, with a seam: while set, cpOwnUserId answers it, so a test can make a
// listener of its own look like another user's. Any thread.
uid_t cpOwnUserId();
void cpSetOwnUserIdForTests(std::optional<uid_t> uid);
