#include "core/manager_parts.h"

#include <atomic>
#include <mutex>

#include "engine/binary_execute.h"

namespace {

std::mutex gFactoriesMutex;
CJobManagerFactories gDefaultFactories;
std::optional<CJobManagerFactories> gTestFactories;

}  // namespace

void SetDefaultManagerFactories(const CJobManagerFactories& factories) {
    std::lock_guard lock(gFactoriesMutex);
    gDefaultFactories = factories;
}

void SetManagerFactoriesForTests(std::optional<CJobManagerFactories> factories) {
    std::lock_guard lock(gFactoriesMutex);
    gTestFactories = std::move(factories);
}

CJobManagerFactories CurrentManagerFactories() {
    std::lock_guard lock(gFactoriesMutex);
    return gTestFactories ? *gTestFactories : gDefaultFactories;
}

void SetRunElevated(uint8_t flag) {
    SetRunElevatedFlag(flag);
}

bool RunElevated() {
    return RunElevatedFlag() == 1;
}
