#include "foundation/object.h"

#include <mutex>
#include <unordered_map>

namespace {

struct ClassRegistry {
    std::mutex mutex;
    std::unordered_map<uint32_t, vmClassFactory> factories;
};

ClassRegistry& Registry() {
    static ClassRegistry registry;
    return registry;
}

}  // namespace

void vmRegisterClass(uint32_t classId, vmClassFactory factory) {
    ClassRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    registry.factories[classId] = factory;
}

vmIUnknown* vmCreateObject(uint32_t classId) {
    vmClassFactory factory = nullptr;
    {
        ClassRegistry& registry = Registry();
        std::lock_guard lock(registry.mutex);
        auto it = registry.factories.find(classId);
        if (it == registry.factories.end()) {
            return nullptr;
        }
        factory = it->second;
    }
    return factory();
}
