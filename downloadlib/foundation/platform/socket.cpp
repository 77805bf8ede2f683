#include "foundation/platform/socket.h"

#include <arpa/inet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/platform/async_select.h"
#include "foundation/platform/message_loop.h"
#include "foundation/platform/window.h"

namespace {

sockaddr_in ToSockaddr(const cpAddress* address) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(address->port);
    in.sin_addr.s_addr = address->ip;
    return in;
}

uint32_t SlotMessage(const cpSocketRecord* record) {
    return kFirstSlotMessage + static_cast<uint32_t>(record->slot);
}

vmResult SetLingerReset(int fd) {
    // Closing resets the connection instead of lingering in TIME_WAIT.
    linger l{1, 0};
    return setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? CP_OK : CP_FAIL;
}

}  // namespace

void cpSocketRecordCloser::operator()(cpSocketRecord* record) const {
    if (record == nullptr) {
        return;
    }
    if (record->handle != -1) {
        cpNoteClosing(record->handle);
        close(record->handle);
    }
    delete record;
}

vmResult cpSocketResult(int err) {
    switch (err) {
        case EWOULDBLOCK:
        case EINPROGRESS:
            return CP_E_WOULDBLOCK;
        case EALREADY:
            return CP_E_ALREADY;
        case ENOTSOCK:
        case EBADF:
            return CP_E_NOTSOCK;
        case ENOBUFS:
        case ENOMEM:
            return CP_E_NOBUFS;
        case ECONNREFUSED:
            return CP_E_CONNREFUSED;
        default:
            return CP_FAIL;
    }
}

vmResult cpSocketCreate(cpSocketRecordPtr* record, int type) {
    if (record == nullptr) {
        return CP_E_NORECORD;
    }
    if (*record) {
        if ((*record)->handle != -1) {
            return CP_E_EXISTS;
        }
    } else {
        record->reset(new cpSocketRecord());
    }
    cpSocketRecord* r = record->get();
    r->type = type;
    if (type == 0) {
        r->handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
        if (r->handle != -1) {
            SetLingerReset(r->handle);
        }
    } else {
        r->handle = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    if (r->handle == -1) {
        record->reset();
        return CP_E_NORECORD;
    }
    return CP_OK;
}

vmResult cpSocketSetBlocking(cpSocketRecord* record, int flag) {
    if (record == nullptr) {
        return CP_E_NORECORD;
    }
    record->blockingFlag = flag == 1 ? 0 : 1;
    int nonBlocking = static_cast<int>(record->blockingFlag);
    return ioctl(record->handle, FIONBIO, &nonBlocking) == 0 ? CP_OK : cpSocketResult(errno);
}

vmResult cpSocketConnect(cpSocketRecord* record, const cpAddress* address) {
    if (record == nullptr || address == nullptr) {
        return CP_E_NORECORD;
    }
    record->address = ToSockaddr(address);
    if (connect(record->handle, reinterpret_cast<const sockaddr*>(&record->address),
                sizeof record->address) == 0) {
        cpNoteConnect(record->handle, true);
        return CP_OK;
    }
    const int err = errno;
    if (err == EINPROGRESS) {
        cpNoteConnect(record->handle, false);
    }
    return cpSocketResult(err);
}

vmResult cpSocketSend(cpSocketRecord* record, const void* data, uint32_t length, uint32_t* sent) {
    if (record == nullptr) {
        return CP_E_NORECORD;
    }
    const ssize_t n = send(record->handle, data, length, MSG_NOSIGNAL);
    if (n < 0) {
        const int err = errno;
        if (err == EWOULDBLOCK) {
            cpNoteSendWouldBlock(record->handle);
        }
        return cpSocketResult(err);
    }
    if (sent != nullptr) {
        *sent = static_cast<uint32_t>(n);
    }
    return CP_OK;
}

vmResult cpSocketReceive(cpSocketRecord* record, void* buffer, uint32_t size, uint32_t* received) {
    if (record == nullptr) {
        return CP_E_NORECORD;
    }
    const ssize_t n = recv(record->handle, buffer, size, 0);
    const int err = errno;
    cpNoteReceive(record->handle);
    if (n > 0) {
        if (received != nullptr) {
            *received = static_cast<uint32_t>(n);
        }
        return CP_OK;
    }
    // A peer that closed answers 0 bytes: that is a failure, not an empty success.
    return n == 0 ? CP_FAIL : cpSocketResult(err);
}

vmResult cpSocketSendTo(cpSocketRecord* record, const void* data, uint32_t length,
                        const cpAddress* address, uint32_t* sent) {
    if (record == nullptr) {
        return CP_E_NORECORD;
    }
    if (record->handle == -1) {
        return CP_E_NOTSOCK;
    }
    record->address = ToSockaddr(address);
    const ssize_t n =
        sendto(record->handle, data, length, MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&record->address), sizeof record->address);
    if (n < 0) {
        return cpSocketResult(errno);
    }
    if (sent != nullptr) {
        *sent = static_cast<uint32_t>(n);
    }
    return CP_OK;
}

vmResult cpSocketReceiveFrom(cpSocketRecord* record, void* buffer, uint32_t size,
                             cpAddress* address, uint32_t* received) {
    if (record == nullptr) {
        return CP_E_NORECORD;
    }
    if (record->handle == -1) {
        return CP_E_NOTSOCK;
    }
    record->addressLength = sizeof record->address;
    const ssize_t n =
        recvfrom(record->handle, buffer, size, 0, reinterpret_cast<sockaddr*>(&record->address),
                 &record->addressLength);
    if (n <= 0) {
        return n == 0 ? CP_FAIL : cpSocketResult(errno);
    }
    if (address != nullptr) {
        address->ip = record->address.sin_addr.s_addr;
        address->port = ntohs(record->address.sin_port);
        address->zero = 0;
    }
    if (received != nullptr) {
        *received = static_cast<uint32_t>(n);
    }
    return CP_OK;
}

vmResult cpSocketBind(cpSocketRecord* record, const cpAddress* address) {
    if (record == nullptr || address == nullptr) {
        return CP_E_NORECORD;
    }
    const int one = 1;
    setsockopt(record->handle, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    record->address = ToSockaddr(address);
    return bind(record->handle, reinterpret_cast<const sockaddr*>(&record->address),
                sizeof record->address) == 0
               ? CP_OK
               : cpSocketResult(errno);
}

vmResult cpSocketListen(cpSocketRecord* record) {
    if (record == nullptr) {
        return CP_E_NORECORD;
    }
    return listen(record->handle, 5) == 0 ? CP_OK : cpSocketResult(errno);
}

vmResult cpSocketAccept(cpSocketRecord* listening, cpAddress* peer, cpSocketRecordPtr* accepted) {
    if (listening == nullptr || accepted == nullptr) {
        return CP_E_NORECORD;
    }
    cpSocketRecordPtr record(new cpSocketRecord());
    record->handle = accept4(listening->handle, nullptr, nullptr, SOCK_CLOEXEC);
    if (record->handle == -1) {
        return cpSocketResult(errno);
    }
    SetLingerReset(record->handle);
    record->addressLength = sizeof record->address;
    getpeername(record->handle, reinterpret_cast<sockaddr*>(&record->address),
                &record->addressLength);
    if (peer != nullptr) {
        peer->ip = record->address.sin_addr.s_addr;
        peer->port = ntohs(record->address.sin_port);
        peer->zero = 0;
    }
    *accepted = std::move(record);
    return CP_OK;
}

vmResult cpSocketSetOption(cpSocketRecord* record, int option) {
    if (record == nullptr || option != 0) {
        return CP_FAIL;
    }
    const int one = 1;
    return setsockopt(record->handle, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) == 0
               ? CP_OK
               : cpSocketResult(errno);
}

vmResult cpSocketClose(cpSocketRecordPtr* record) {
    if (record == nullptr || !*record) {
        return CP_E_NORECORD;
    }
    record->reset();
    return CP_OK;
}

vmResult cpSocketLocalAddress(cpSocketRecord* record, cpAddress* address) {
    if (record == nullptr || address == nullptr) {
        return CP_E_NORECORD;
    }
    sockaddr_in in{};
    socklen_t length = sizeof in;
    if (getsockname(record->handle, reinterpret_cast<sockaddr*>(&in), &length) != 0) {
        return cpSocketResult(errno);
    }
    if (in.sin_family != AF_INET) {
        return CP_FAIL;
    }
    *address = cpAddress{in.sin_addr.s_addr, ntohs(in.sin_port), 0};
    return CP_OK;
}

vmResult cpSocketSelect(cpWindowRecord* window, cpSocketRecord* record, int slot) {
    if (window == nullptr || record == nullptr) {
        return CP_FAIL;
    }
    record->slot = slot;
    record->window = window;
    cpAsyncSelect(record->handle, window->window, SlotMessage(record),
                  FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE);
    return CP_OK;
}

vmResult cpSocketRearm(cpSocketRecord* record) {
    if (record == nullptr || record->window == nullptr || record->slot < 0) {
        return CP_FAIL;
    }
    cpAsyncSelect(record->handle, record->window->window, SlotMessage(record),
                  FD_READ | FD_WRITE | FD_OOB | FD_CLOSE);
    return CP_OK;
}

vmResult cpSocketUnselect(cpWindowRecord* window, cpSocketRecord* record, int* slot) {
    if (record == nullptr || record->slot < 0) {
        if (slot != nullptr) {
            *slot = -1;
        }
        return CP_FAIL;
    }
    if (slot != nullptr) {
        *slot = record->slot;
    }
    const uint32_t message = SlotMessage(record);
    record->slot = -1;
    cpAsyncSelect(record->handle, 0, 0, 0);
    // Notifications already queued for this socket must not reach the slot's next owner.
    // They wait on the window's loop, which need not be the calling thread's.
    if (window != nullptr) {
        if (std::shared_ptr<cpCMessageLoop> loop = cpWindowLoop(window->window)) {
            const uint32_t target = window->window;
            const auto fd = static_cast<uintptr_t>(record->handle);
            const auto posted = reinterpret_cast<intptr_t>(record);
            loop->RemoveMessages([&](const cpMessage& m) {
                return m.window == target &&
                       ((m.message == message && m.wParam == fd) ||
                        (m.message == kPostedEventMessage && m.lParam == posted));
            });
        }
    }
    return CP_OK;
}

vmResult cpSocketPostEvent(cpSocketRecord* record) {
    if (record == nullptr || record->window == nullptr) {
        return CP_FAIL;
    }
    cpPostMessage(record->window->window, kPostedEventMessage, static_cast<uintptr_t>(record->slot),
                  reinterpret_cast<intptr_t>(record));
    return CP_OK;
}

vmResult cpNetStartup() {
    return NW_OK;
}

vmResult cpNetCleanup() {
    return NW_OK;
}
