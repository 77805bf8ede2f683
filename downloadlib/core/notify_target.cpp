#include "core/notify_target.h"

#include <algorithm>
#include <chrono>

#include "foundation/platform/window.h"

bool CNotifyGate::Enter() {
    std::lock_guard lock(mutex_);
    if (!open_) {
        return false;
    }
    callers_.push_back(std::this_thread::get_id());
    return true;
}

void CNotifyGate::Leave() {
    {
        std::lock_guard lock(mutex_);
        const auto it = std::find(callers_.begin(), callers_.end(), std::this_thread::get_id());
        if (it != callers_.end()) {
            callers_.erase(it);
        }
    }
    left_.notify_all();
}

bool CNotifyGate::Close(uint32_t waitMs) {
    std::unique_lock lock(mutex_);
    open_ = false;
    const std::thread::id self = std::this_thread::get_id();
    return left_.wait_for(lock, std::chrono::milliseconds(waitMs), [&] {
        return std::all_of(callers_.begin(), callers_.end(),
                           [self](std::thread::id caller) { return caller == self; });
    });
}

void CNotifyTarget::Notify(int32_t code, int32_t parameter) const {
    if (gate && !gate->Enter()) {
        return;
    }
    if (window != 0) {
        // The parameter travels as the 32-bit value it is; a handle is never sign-extended.
        cpPostMessage(window, WM_DOWNLOADLIB, static_cast<uintptr_t>(code),
                      static_cast<intptr_t>(static_cast<uint32_t>(parameter)));
    }
    if (callback != nullptr) {
        callback(code, parameter, userData);
    }
    if (gate) {
        gate->Leave();
    }
}
