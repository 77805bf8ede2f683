// cpCSocket: a socket record as a reference-counted object, for callers that want a socket
// without a connection context around it.
#pragma once

#include "foundation/object.h"
#include "foundation/platform/socket.h"

class cpCSocket : public vmTObject<vmIUnknown> {
  public:
    vmResult Create(int type) { return cpSocketCreate(&record_, type); }
    vmResult Connect(const cpAddress* address) { return cpSocketConnect(record_.get(), address); }
    vmResult Close() { return cpSocketClose(&record_); }
    vmResult Send(const void* data, uint32_t length, uint32_t* sent) {
        return cpSocketSend(record_.get(), data, length, sent);
    }
    vmResult Receive(void* buffer, uint32_t size, uint32_t* received) {
        return cpSocketReceive(record_.get(), buffer, size, received);
    }
    vmResult Nop() { return CP_OK; }
    vmResult Bind(const cpAddress* address) { return cpSocketBind(record_.get(), address); }
    vmResult Listen() { return cpSocketListen(record_.get()); }
    // The accepted record, or null with the failure in *result.
    cpSocketRecordPtr Accept(cpAddress* peer, vmResult* result) {
        cpSocketRecordPtr accepted;
        const vmResult r = cpSocketAccept(record_.get(), peer, &accepted);
        if (result != nullptr) {
            *result = r;
        }
        return accepted;
    }
    vmResult SendTo(const void* data, uint32_t length, const cpAddress* address, uint32_t* sent) {
        return cpSocketSendTo(record_.get(), data, length, address, sent);
    }
    vmResult SetOption(int option) { return cpSocketSetOption(record_.get(), option); }
    vmResult ReceiveFrom(void* buffer, uint32_t size, cpAddress* address, uint32_t* received) {
        return cpSocketReceiveFrom(record_.get(), buffer, size, address, received);
    }

    cpSocketRecord* Record() const { return record_.get(); }

  private:
    cpSocketRecordPtr record_;
};
