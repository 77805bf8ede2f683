// The engine protocol codec over arbitrary streams: every frame is decoded in both directions,
// and whatever decodes must encode again to a payload that decodes to the same record.
#include <cstddef>
#include <cstdint>
#include <variant>

#include "engine/engine_protocol.h"

namespace ep = engine_protocol;

namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

template <typename Message, typename DecodeFn>
void Reencode(const ep::FrameHeader& header, const Message& message, DecodeFn decode) {
    std::visit(
        [&](const auto& record) {
            ep::Bytes payload;
            Check(ep::Encode(record, &payload));
            Message again;
            Check(decode(header.category, header.type, payload.data(), payload.size(), &again));
            Check(again == message);
        },
        message);
}

void DecodeBoth(const ep::FrameHeader& header, const uint8_t* payload, size_t length) {
    ep::LibraryMessage request;
    if (ep::DecodeLibraryMessage(header.category, header.type, payload, length, &request)) {
        Reencode(header, request, ep::DecodeLibraryMessage);
    }
    ep::EngineMessage notice;
    if (ep::DecodeEngineMessage(header.category, header.type, payload, length, &notice)) {
        Reencode(header, notice, ep::DecodeEngineMessage);
    }
}

}  // namespace

// The input is a stream of frames; a header's category is forced to one of the protocol's two
// so that the fuzzer spends its time on payloads.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    while (size > 0) {
        ep::FrameHeader header;
        const uint8_t* payload = nullptr;
        const int64_t used = ep::NextFrame(data, size, &header, &payload);
        if (used <= 0) {
            // An unframed tail: try it as a payload of every type.
            for (uint16_t type = 0; type <= ep::kEngineState; ++type) {
                DecodeBoth({ep::kCategory, type, 0}, data, size);
            }
            DecodeBoth({ep::kFileListCategory, ep::kFileList, 0}, data, size);
            return 0;
        }
        header.category = (header.category & 1) ? ep::kFileListCategory : ep::kCategory;
        DecodeBoth(header, payload, header.length);
        data += used;
        size -= static_cast<size_t>(used);
    }
    return 0;
}
