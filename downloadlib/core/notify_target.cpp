#include "core/notify_target.h"

#include "foundation/platform/window.h"

void CNotifyTarget::Notify(int32_t code, int32_t parameter) const {
    if (window != 0) {
        // The parameter travels as the 32-bit value it is; a handle is never sign-extended.
        cpPostMessage(window, WM_DOWNLOADLIB, static_cast<uintptr_t>(code),
                      static_cast<intptr_t>(static_cast<uint32_t>(parameter)));
    }
    if (callback != nullptr) {
        callback(code, parameter, userData);
    }
}
