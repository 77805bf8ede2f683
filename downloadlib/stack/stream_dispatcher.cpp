#include "stack/stream_dispatcher.h"

#include <algorithm>
#include <cstring>
#include <limits>

void nwWriteStreamHeader(uint8_t* out, const nwStreamHeader& header) {
    std::memset(out, 0, kStreamHeaderSize);
    out[0] = static_cast<uint8_t>(header.category);
    out[1] = static_cast<uint8_t>(header.category >> 8);
    out[2] = static_cast<uint8_t>(header.type);
    out[3] = static_cast<uint8_t>(header.type >> 8);
    for (int i = 0; i < 4; ++i) {
        out[10 + i] = static_cast<uint8_t>(header.length >> (8 * i));
    }
}

nwStreamHeader nwReadStreamHeader(const uint8_t* in) {
    nwStreamHeader header;
    header.category = static_cast<uint16_t>(in[0] | (in[1] << 8));
    header.type = static_cast<uint16_t>(in[2] | (in[3] << 8));
    for (int i = 0; i < 4; ++i) {
        header.length |= static_cast<uint32_t>(in[10 + i]) << (8 * i);
    }
    return header;
}

vmResult nwCStreamDispatcher::RegisterHandler(uint16_t category, uint16_t type,
                                              nwStreamHandler callback, void* user) {
    Handler handler;
    handler.typed = true;
    handler.category = category;
    handler.type = type;
    handler.typedCallback = callback;
    handler.user = user;
    handlers_.push_back(handler);
    return NW_OK;
}

vmResult nwCStreamDispatcher::RegisterRawHandler(nwRawStreamHandler callback, void* user) {
    Handler handler;
    handler.typed = false;
    handler.rawCallback = callback;
    handler.user = user;
    handlers_.push_back(handler);
    raw_ = true;
    return NW_OK;
}

vmResult nwCStreamDispatcher::Dispatch(const uint8_t* data, uint32_t length, int32_t* consumed) {
    const int32_t result = Run(data, length);
    if (consumed != nullptr) {
        *consumed = result;
    }
    return NW_OK;
}

int32_t nwCStreamDispatcher::Run(const uint8_t* data, uint32_t length) {
    // A count must fit the answer; whatever lies beyond is offered again on the next call.
    const uint32_t offered =
        std::min<uint32_t>(length, static_cast<uint32_t>(std::numeric_limits<int32_t>::max()));
    uint32_t consumed = 0;
    while (consumed < offered && !stopped_) {
        const int64_t step = ParseOne(data + consumed, offered - consumed);
        if (step == 0) {
            break;
        }
        if (step < 0) {
            return -1;
        }
        consumed += static_cast<uint32_t>(step);
    }
    return static_cast<int32_t>(consumed);
}

int64_t nwCStreamDispatcher::ParseOne(const uint8_t* data, uint32_t length) {
    if (length == 0 || data == nullptr) {
        return 0;
    }
    if (raw_) {
        for (const Handler& handler : handlers_) {
            if (!handler.typed) {
                const Handler call = handler;  // the callback may register more handlers
                const int32_t taken = call.rawCallback(data, length, call.user);
                // A handler cannot consume what it was not offered.
                return taken > static_cast<int64_t>(length) ? -1 : taken;
            }
        }
        return -1;
    }
    if (length < kStreamHeaderSize) {
        return 0;
    }
    std::memcpy(lastHeader_, data, kStreamHeaderSize);
    const nwStreamHeader header = nwReadStreamHeader(lastHeader_);
    if (header.length > kStreamMaxLength) {
        return -1;
    }
    for (const Handler& handler : handlers_) {
        if (handler.typed && handler.category == header.category && handler.type == header.type) {
            if (length - kStreamHeaderSize < header.length) {
                return 0;
            }
            const Handler call = handler;
            call.typedCallback(data + kStreamHeaderSize, header.length, call.user);
            return kStreamHeaderSize + static_cast<int64_t>(header.length);
        }
    }
    // No handler takes it: there is no use waiting for the rest of the message.
    return -1;
}
