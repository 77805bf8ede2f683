#include "foundation/platform/connectivity.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <memory>
#include <mutex>

namespace {

std::mutex gProbeMutex;
std::shared_ptr<const cpConnectivityProbe> gProbe;

bool AnyInterfaceUp() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    bool up = false;
    for (const ifaddrs* entry = list; entry != nullptr && !up; entry = entry->ifa_next) {
        const unsigned flags = entry->ifa_flags;
        up = entry->ifa_addr != nullptr &&
             (entry->ifa_addr->sa_family == AF_INET || entry->ifa_addr->sa_family == AF_INET6) &&
             (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0 && (flags & IFF_LOOPBACK) == 0;
    }
    freeifaddrs(list);
    return up;
}

}  // namespace

bool cpInternetConnected() {
    std::shared_ptr<const cpConnectivityProbe> probe;
    {
        std::lock_guard lock(gProbeMutex);
        probe = gProbe;
    }
    return probe ? (*probe)() : AnyInterfaceUp();
}

void cpSetConnectivityProbe(cpConnectivityProbe probe) {
    std::lock_guard lock(gProbeMutex);
    gProbe = probe ? std::make_shared<const cpConnectivityProbe>(std::move(probe)) : nullptr;
}
