// The library mutex: one recursive lock shared by the worker loop's entries and the flat
// interface's operations, so that library state is touched by one thread at a time.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "foundation/object.h"

class cpCMutex : public vmTObject<vmIUnknown> {
  public:
    vmResult StoreWord(uintptr_t word) {
        word_ = word;
        return CP_OK;
    }
    vmResult Lock();
    vmResult Unlock();
    // For assertions: whether the calling thread holds the lock.
    bool IsHeldByCurrentThread() const;

    // BasicLockable, so that std::lock_guard and std::unique_lock work.
    void lock() { Lock(); }
    void unlock() { Unlock(); }

  private:
    std::recursive_mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0;
    uintptr_t word_ = 0;
};

// Holds a library mutex for a scope; a null mutex is allowed and locks nothing.
class cpCLock {
  public:
    explicit cpCLock(cpCMutex* mutex) : mutex_(mutex) {
        if (mutex_ != nullptr) {
            mutex_->Lock();
        }
    }
    ~cpCLock() {
        if (mutex_ != nullptr) {
            mutex_->Unlock();
        }
    }
    cpCLock(const cpCLock&) = delete;
    cpCLock& operator=(const cpCLock&) = delete;

  private:
    cpCMutex* mutex_;
};
