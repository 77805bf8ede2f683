// Socket records and the socket functions the protocol stack calls. Sockets are non-blocking
// and announce readiness through cpAsyncSelect; errno values map onto the library's results.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>

#include "foundation/object.h"

// An IPv4 address as passed between layers: address in network byte order, port in host order.
struct cpAddress {
    uint32_t ip = 0;
    uint16_t port = 0;
    uint16_t zero = 0;
};
static_assert(sizeof(cpAddress) == 8);

// The hidden window a socket reports to.
struct cpWindowRecord {
    uint32_t window = 0;
    uint32_t zero = 0;
};

struct cpSocketRecord {
    int handle = -1;
    int type = 0;  // 0 TCP stream, 1 UDP datagram
    sockaddr_in address{};
    socklen_t addressLength = sizeof(sockaddr_in);
    uint32_t blockingFlag = 0;
    int slot = -1;  // registry slot, -1 when not registered
    cpWindowRecord* window = nullptr;
};

// Dropping a record closes its socket.
struct cpSocketRecordCloser {
    void operator()(cpSocketRecord* record) const;
};
using cpSocketRecordPtr = std::unique_ptr<cpSocketRecord, cpSocketRecordCloser>;

// Messages of the hidden socket window: a context's posted event, and the notification of the
// socket in slot i (0 to 63).
constexpr uint32_t kPostedEventMessage = 0x0400 + 9;
constexpr uint32_t kFirstSlotMessage = 0x0400 + 10;
constexpr int kSlotCount = 64;

vmResult cpSocketCreate(cpSocketRecordPtr* record, int type);
// flag 1: blocking; anything else: non-blocking.
vmResult cpSocketSetBlocking(cpSocketRecord* record, int flag);
vmResult cpSocketConnect(cpSocketRecord* record, const cpAddress* address);
vmResult cpSocketSend(cpSocketRecord* record, const void* data, uint32_t length, uint32_t* sent);
// Only a count above 0 is success: a peer that closed makes it fail.
vmResult cpSocketReceive(cpSocketRecord* record, void* buffer, uint32_t size, uint32_t* received);
vmResult cpSocketSendTo(cpSocketRecord* record, const void* data, uint32_t length,
                        const cpAddress* address, uint32_t* sent);
vmResult cpSocketReceiveFrom(cpSocketRecord* record, void* buffer, uint32_t size,
                             cpAddress* address, uint32_t* received);
vmResult cpSocketBind(cpSocketRecord* record, const cpAddress* address);
vmResult cpSocketListen(cpSocketRecord* record);
vmResult cpSocketAccept(cpSocketRecord* listening, cpAddress* peer, cpSocketRecordPtr* accepted);
// Option 0 turns broadcasting on; others fail.
vmResult cpSocketSetOption(cpSocketRecord* record, int option);
vmResult cpSocketClose(cpSocketRecordPtr* record);
// The address and port a bound or connected socket got (ip in network order).
vmResult cpSocketLocalAddress(cpSocketRecord* record, cpAddress* address);

vmResult cpSocketSelect(cpWindowRecord* window, cpSocketRecord* record, int slot);
vmResult cpSocketRearm(cpSocketRecord* record);
vmResult cpSocketUnselect(cpWindowRecord* window, cpSocketRecord* record, int* slot);
vmResult cpSocketPostEvent(cpSocketRecord* record);

vmResult cpNetStartup();
vmResult cpNetCleanup();

// The result word for an errno value of a failed socket call.
vmResult cpSocketResult(int err);
