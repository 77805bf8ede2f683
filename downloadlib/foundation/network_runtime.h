// The network runtime (CZpn): starts and stops, in order, everything that sockets and timers
// need on the worker thread: the timer manager and its 100 ms tick, the socket registry with
// its hidden window and one-second tick, the collector, and TLS when a TLS module is linked in.
#pragma once

#include <memory>

#include "foundation/collector.h"
#include "foundation/mutex.h"
#include "foundation/socket_registry.h"
#include "foundation/timer.h"

// Start-up and clean-up of the TLS library, set by the TLS module when it registers its classes.
struct cpTlsHooks {
    void (*initialize)() = nullptr;
    void (*loadCertificates)() = nullptr;
    void (*cleanup)() = nullptr;
};
void cpSetTlsHooks(const cpTlsHooks& hooks);

class CZpn {
  public:
    // On the worker thread, with the library mutex held.
    explicit CZpn(vmSmartPtr<cpCMutex> mutex);
    // Stops the collector (releasing what it holds), the registry, then the timer manager.
    virtual ~CZpn();
    CZpn(const CZpn&) = delete;
    CZpn& operator=(const CZpn&) = delete;

    // Run on the worker thread when its loop has ended.
    void Cleanup();

  private:
    std::unique_ptr<cpCTimerManager> timerManager_;
    std::unique_ptr<cpCQoS> qos_;
};

// Registers the class ids of the foundation (socket, timer, mutex) with the factory.
void vmRegisterFoundationClasses();
