// A stream message's bytes as a peer writes them, for feeding dispatchers and connections.
#pragma once

#include <cstdint>
#include <string>

#include "stack/stream_dispatcher.h"

inline std::string StreamMessageBytes(uint16_t category, uint16_t type,
                                      const std::string& payload) {
    std::string bytes(nwStreamMessageSize(payload.size()), '\0');
    nwStreamHeader header;
    header.category = category;
    header.type = type;
    header.length = static_cast<uint32_t>(bytes.size() - kStreamHeaderSize);
    nwWriteStreamHeader(reinterpret_cast<uint8_t*>(bytes.data()), header);
    bytes.replace(kStreamHeaderSize, payload.size(), payload);
    return bytes;
}
