// Result-code words shared by every module below the flat interface.
//
// Bit 30 set means success, bit 31 set means failure; bits 20-27 name the module, 16-19 a
// category, 0-15 a code. Callers compare the low 20 bits to recognise a particular failure.
#pragma once

#include <cstdint>

using vmResult = uint32_t;

constexpr vmResult VM_OK = 0x40000000u;
constexpr vmResult VM_E_NOINTERFACE = 0x80010001u;

constexpr vmResult CP_OK = 0x40200000u;
constexpr vmResult CP_FAIL = 0x80200000u;
constexpr vmResult CP_E_NORECORD = 0x80210002u;
constexpr vmResult CP_E_NOTSOCK = 0x80220004u;
constexpr vmResult CP_E_CONNREFUSED = 0x80220005u;
constexpr vmResult CP_E_ALREADY = 0x80220006u;
constexpr vmResult CP_E_EXISTS = 0x80220007u;
constexpr vmResult CP_E_NOBUFS = 0x80220008u;
constexpr vmResult CP_E_INPROGRESS = 0x80220009u;
constexpr vmResult CP_E_WOULDBLOCK = 0x8022000Au;

constexpr vmResult NW_OK = 0x40300000u;
constexpr vmResult NW_FAIL = 0x80300000u;

constexpr vmResult UT_OK = 0x40600000u;
constexpr vmResult UT_FAIL = 0x80600000u;

constexpr bool vmSucceeded(vmResult r) {
    return (r & 0x40000000u) != 0;
}
constexpr bool vmFailed(vmResult r) {
    return static_cast<int32_t>(r) < 0;
}
// Category and code: what callers compare to tell one failure from another.
constexpr uint32_t vmResultCode(vmResult r) {
    return r & 0xFFFFFu;
}
constexpr bool vmIsResult(vmResult r, vmResult expected) {
    return vmResultCode(r) == vmResultCode(expected) && vmFailed(r) == vmFailed(expected);
}

// The symbolic name of a result word ("CP_E_WOULDBLOCK"), or "UNKNOWN" for words not listed above.
const char* vmResultName(vmResult r);
