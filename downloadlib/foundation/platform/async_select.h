// Winsock's asynchronous-select rules on top of epoll. A selected socket posts one message per
// network event to a window, with the event in the low word of lParam and the error in the high
// word, and wParam the socket handle:
//   FD_READ    once, then not again until the socket is read (recv re-enables it);
//   FD_WRITE   after a connect completes, and after a send met would-block;
//   FD_CONNECT once, with 0 or the error of the failed connect;
//   FD_CLOSE   once, after the data that arrived before the close has been read.
// Selecting again (re-arm) posts every condition that still holds.
#pragma once

#include <cstdint>

enum : uint32_t {
    FD_READ = 0x01,
    FD_WRITE = 0x02,
    FD_OOB = 0x04,
    FD_ACCEPT = 0x08,
    FD_CONNECT = 0x10,
    FD_CLOSE = 0x20,
};

// Winsock error words carried by FD_CONNECT and FD_CLOSE.
enum : uint32_t {
    WSAECONNABORTED = 10053,
    WSAECONNRESET = 10054,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
    WSAEHOSTUNREACH = 10065,
};

constexpr uint32_t cpSelectEvent(intptr_t lParam) {
    return static_cast<uint32_t>(lParam) & 0xFFFF;
}
constexpr uint32_t cpSelectError(intptr_t lParam) {
    return (static_cast<uint32_t>(lParam) >> 16) & 0xFFFF;
}

// Selects events of fd for window/message; events 0 cancels. The socket's readiness is watched
// by the loop that owns the window.
void cpAsyncSelect(int fd, uint32_t window, uint32_t message, uint32_t events);

// What the socket functions tell the watcher.
void cpNoteReceive(int fd);
void cpNoteSendWouldBlock(int fd);
void cpNoteConnect(int fd, bool completed);
void cpNoteClosing(int fd);

// Called by a loop for epoll readiness of a watched socket.
void cpSocketWatchReady(int fd, uint32_t epollEvents);

// The Winsock error word for an errno value.
uint32_t cpWinsockError(int err);
