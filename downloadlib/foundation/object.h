// Reference-counted library objects, their smart pointer and the class factory.
//
// Objects start with a count of 0; whoever creates them takes the first reference (the smart
// pointer does). Counts are plain integers: objects live on the worker thread or under the
// library mutex. The connection context is the one exception and counts atomically.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "foundation/result.h"

class vmIUnknown {
  public:
    virtual vmResult AddRef() = 0;
    virtual vmResult Release() = 0;
    // The base answer is VM_E_NOINTERFACE with *out untouched.
    virtual vmResult QueryInterface(uint32_t iid, void** out) = 0;
    virtual ~vmIUnknown() = default;
};

// Class ids understood by the factory. A module registers the ids it implements.
enum vmClassId : uint32_t {
    CLSID_cpCSocket = 0x1005,
    CLSID_cpCTimer = 0x1006,
    CLSID_cpCMutex = 0x1008,
    CLSID_cpCQoSContext = 0x100A,
    CLSID_nwCAgentLayer = 0x2003,
    CLSID_nwCStreamDispatcher = 0x2006,
    CLSID_nwCHttpClientExLayer = 0x200F,
    CLSID_nwCCDNLocalClientLayer = 0x2015,
    CLSID_nwCSecureSocketClientLayer = 0x2017,
};

// Interface id that asks a protocol layer for its layer interface.
constexpr uint32_t IID_nwIQoSNetStack = 0x2016;

// Implements the counting half of vmIUnknown on top of Interface. Counter is uint32_t for
// ordinary objects and std::atomic<uint32_t> for objects released from several paths at once.
template <class Interface, class Counter = uint32_t>
class vmTObject : public Interface {
  public:
    vmResult AddRef() override {
        ++refs_;
        return VM_OK;
    }
    vmResult Release() override {
        if (--refs_ == 0) {
            delete this;
        }
        return VM_OK;
    }
    vmResult QueryInterface(uint32_t, void**) override { return VM_E_NOINTERFACE; }

    uint32_t RefCount() const { return refs_; }

  protected:
    vmTObject() = default;
    Counter refs_{0};
};

// Returns a new object of the class with a count of 0, as the interface the id promises.
using vmClassFactory = vmIUnknown* (*)();

// Registers (or replaces) the factory of a class id. Thread-safe; meant for start-up.
void vmRegisterClass(uint32_t classId, vmClassFactory factory);
// A new object (count 0) of a registered class id, or null for an id nobody registered.
vmIUnknown* vmCreateObject(uint32_t classId);

template <class T = vmIUnknown>
class vmSmartPtr {
  public:
    vmSmartPtr() = default;
    vmSmartPtr(std::nullptr_t) {}
    vmSmartPtr(T* p) : p_(p) {  // NOLINT(google-explicit-constructor): the library's idiom
        if (p_ != nullptr) {
            p_->AddRef();
        }
    }
    vmSmartPtr(const vmSmartPtr& other) : vmSmartPtr(other.p_) {}
    vmSmartPtr(vmSmartPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    template <class U>
    requires std::is_convertible_v<U*, T*> vmSmartPtr(const vmSmartPtr<U>& other)
        : vmSmartPtr(static_cast<T*>(other.Get())) {}
    virtual ~vmSmartPtr() { Reset(); }

    vmSmartPtr& operator=(const vmSmartPtr& other) {
        Assign(other.p_);
        return *this;
    }
    vmSmartPtr& operator=(vmSmartPtr&& other) noexcept {
        if (this != &other) {
            T* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            if (old != nullptr) {
                old->Release();
            }
        }
        return *this;
    }
    vmSmartPtr& operator=(T* p) {
        Assign(p);
        return *this;
    }

    // Same pointer: nothing happens. Otherwise the old one is released and the new one referenced.
    void Assign(T* p) {
        if (p == p_) {
            return;
        }
        if (p != nullptr) {
            p->AddRef();
        }
        T* old = std::exchange(p_, p);
        if (old != nullptr) {
            old->Release();
        }
    }
    void Reset() {
        if (T* old = std::exchange(p_, nullptr)) {
            old->Release();
        }
    }

    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }
    bool operator==(const vmSmartPtr& other) const { return p_ == other.p_; }
    bool operator==(const T* other) const { return p_ == other; }

    // Releases what is held, then creates the class and takes the first reference. False (and
    // null) for an id nobody registered or whose object does not offer T.
    bool CreateInstance(uint32_t classId) {
        Reset();
        vmIUnknown* object = vmCreateObject(classId);
        if (object == nullptr) {
            return false;
        }
        T* typed = dynamic_cast<T*>(object);
        if (typed == nullptr) {
            object->AddRef();
            object->Release();
            return false;
        }
        Assign(typed);
        return true;
    }

    // False when nothing is held or the object answers a failure.
    bool QueryInterface(uint32_t iid, void** out) const {
        return p_ != nullptr && !vmFailed(p_->QueryInterface(iid, out));
    }

  private:
    T* p_ = nullptr;
};

// Creates an object of a concrete class and takes the first reference.
template <class T, class... Args>
vmSmartPtr<T> vmMakeObject(Args&&... args) {
    return vmSmartPtr<T>(new T(std::forward<Args>(args)...));
}

// The factory function of a concrete class, for vmRegisterClass: the object is handed out as
// the interface Interface (its public one).
template <class Concrete, class Interface = vmIUnknown>
vmIUnknown* vmNewObject() {
    Interface* object = new Concrete();
    return object;
}
