#include "core/manager_parts.h"

#include <atomic>
#include <mutex>

namespace {

std::mutex gFactoriesMutex;
CJobManagerFactories gDefaultFactories;
std::optional<CJobManagerFactories> gTestFactories;
std::atomic<bool> gRunElevated{true};

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

void SetRunElevated(bool elevated) {
    gRunElevated.store(elevated);
}

bool RunElevated() {
    return gRunElevated.load();
}
