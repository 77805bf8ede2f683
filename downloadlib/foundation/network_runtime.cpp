#include "foundation/network_runtime.h"

#include <mutex>

#include "foundation/platform/socket.h"
#include "foundation/platform/socket_object.h"

namespace {

std::mutex gHooksMutex;
cpTlsHooks gTlsHooks;

cpTlsHooks TlsHooks() {
    std::lock_guard lock(gHooksMutex);
    return gTlsHooks;
}

}  // namespace

void cpSetTlsHooks(const cpTlsHooks& hooks) {
    std::lock_guard lock(gHooksMutex);
    gTlsHooks = hooks;
}

CZpn::CZpn(vmSmartPtr<cpCMutex> mutex) {
    const cpTlsHooks tls = TlsHooks();
    if (tls.initialize != nullptr) {
        tls.initialize();
    }
    cpNetStartup();  // its answer changes nothing: sockets work or fail one by one
    timerManager_ = std::make_unique<cpCTimerManager>(mutex);
    timerManager_->StartPlatformTimer();
    qos_ = std::make_unique<cpCQoS>();
    qos_->Start(mutex);
    vmCGarbageCollector::CreateInstance();
    if (tls.loadCertificates != nullptr) {
        tls.loadCertificates();
    }
}

CZpn::~CZpn() {
    vmCGarbageCollector::DestroyInstance();
    qos_.reset();
    timerManager_.reset();
}

void CZpn::Cleanup() {
    cpNetCleanup();
    const cpTlsHooks tls = TlsHooks();
    if (tls.cleanup != nullptr) {
        tls.cleanup();
    }
}

void vmRegisterFoundationClasses() {
    vmRegisterClass(CLSID_cpCSocket, &vmNewObject<cpCSocket>);
    vmRegisterClass(CLSID_cpCMutex, &vmNewObject<cpCMutex>);
    vmRegisterTimerClass();
}
