#include "foundation/mutex.h"

vmResult cpCMutex::Lock() {
    mutex_.lock();
    if (depth_++ == 0) {
        owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    return CP_OK;
}

vmResult cpCMutex::Unlock() {
    if (--depth_ == 0) {
        owner_.store(std::thread::id(), std::memory_order_relaxed);
    }
    mutex_.unlock();
    return CP_OK;
}

bool cpCMutex::IsHeldByCurrentThread() const {
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
}
