// Stream messages and the dispatcher that cuts a byte stream into them.
//
// A stream message is a 14-byte header (category u16, type u16, u32 zero, u16 zero, u32 length;
// all little-endian) followed by the payload and zero bytes up to a multiple of 8. The length
// field counts the payload and that padding. The dispatcher is sans-I/O: it takes the bytes a
// connection has buffered and answers how many it consumed.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/object.h"

constexpr uint32_t kStreamHeaderSize = 14;
// A peer announcing a longer message is broken or hostile; the connection is closed instead of
// buffering for it.
constexpr uint32_t kStreamMaxLength = 16 * 1024 * 1024;

struct nwStreamHeader {
    uint16_t category = 0;
    uint16_t type = 0;
    uint32_t length = 0;  // bytes after the header, padding included
};

void nwWriteStreamHeader(uint8_t* out, const nwStreamHeader& header);
nwStreamHeader nwReadStreamHeader(const uint8_t* in);

// Bytes on the wire for a payload: header plus payload, rounded up to a multiple of 8.
constexpr uint64_t nwStreamMessageSize(uint64_t payloadLength) {
    return (kStreamHeaderSize + payloadLength + 7) & ~uint64_t{7};
}

// A typed handler gets the payload (the length field's worth of bytes, padding included).
using nwStreamHandler = void (*)(const uint8_t* payload, uint32_t length, void* user);
// A raw handler gets every buffered byte and answers how many it consumed: 0 to wait for more,
// negative on a protocol error.
using nwRawStreamHandler = int32_t (*)(const uint8_t* data, uint32_t length, void* user);

class nwCStreamDispatcher : public vmTObject<vmIUnknown> {
  public:
    nwCStreamDispatcher() = default;

    // Typed handlers are tried in registration order.
    vmResult RegisterHandler(uint16_t category, uint16_t type, nwStreamHandler callback,
                             void* user);
    // From then on no headers are parsed: the raw handler gets the stream as it is.
    vmResult RegisterRawHandler(nwRawStreamHandler callback, void* user);
    // Runs the handlers over the bytes; *consumed is what Run answers.
    vmResult Dispatch(const uint8_t* data, uint32_t length, int32_t* consumed);
    // Bytes consumed from the front (0 to wait for more), or negative when the stream is
    // broken: an unknown message, a length beyond kStreamMaxLength, a raw handler's error.
    int32_t Run(const uint8_t* data, uint32_t length);

    // Once stopped (the connection closed) nothing more is consumed.
    void Stop() { stopped_ = true; }
    bool Stopped() const { return stopped_; }
    bool RawMode() const { return raw_; }

  private:
    struct Handler {
        bool typed = true;
        uint16_t category = 0;
        uint16_t type = 0;
        nwStreamHandler typedCallback = nullptr;
        nwRawStreamHandler rawCallback = nullptr;
        void* user = nullptr;
    };

    int64_t ParseOne(const uint8_t* data, uint32_t length);

    uint8_t lastHeader_[kStreamHeaderSize] = {};
    std::vector<Handler> handlers_;
    bool raw_ = false;
    bool stopped_ = false;
};
