#include "foundation/host_cache.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "foundation/clock.h"

namespace {

std::mutex gResolverMutex;
cpResolver gResolver;

bool SystemResolve(const char* name, std::vector<uint32_t>* addresses) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &result) != 0) {
        return false;
    }
    for (addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
        const uint32_t address = in->sin_addr.s_addr;
        // getaddrinfo lists an address once per socket type; keep the resolver order, once each.
        if (std::find(addresses->begin(), addresses->end(), address) == addresses->end()) {
            addresses->push_back(address);
        }
    }
    freeaddrinfo(result);
    return !addresses->empty();
}

}  // namespace

void cpSetResolver(cpResolver resolver) {
    std::lock_guard lock(gResolverMutex);
    gResolver = std::move(resolver);
}

vmResult cpResolveAll(const char* name, std::vector<uint32_t>* addresses) {
    if (name == nullptr || addresses == nullptr) {
        return CP_FAIL;
    }
    addresses->clear();
    cpResolver resolver;
    {
        std::lock_guard lock(gResolverMutex);
        resolver = gResolver;
    }
    const bool ok = resolver ? resolver(name, addresses) : SystemResolve(name, addresses);
    return ok && !addresses->empty() ? CP_OK : CP_FAIL;
}

vmResult cpResolveFirst(const char* name, uint32_t* address) {
    std::vector<uint32_t> addresses;
    if (address == nullptr || vmFailed(cpResolveAll(name, &addresses))) {
        return CP_FAIL;
    }
    *address = addresses.front();
    return CP_OK;
}

cpCHostCache& cpCHostCache::Instance() {
    static cpCHostCache cache;
    return cache;
}

std::string cpCHostCache::Key(const char* host, uint16_t port) {
    char key[300];
    std::snprintf(key, sizeof key, "%s:%d", host != nullptr ? host : "", port);
    return key;
}

cpCHostCache::Entry& cpCHostCache::GetOrCreate(const char* host, uint16_t port) {
    auto [it, inserted] = entries_.try_emplace(Key(host, port));
    if (inserted) {
        it->second.host = host != nullptr ? host : "";
        it->second.port = port;
        Refresh(it->second);
    }
    return it->second;
}

void cpCHostCache::Refresh(Entry& entry) {
    const uint32_t now = cpGetSeconds();
    std::vector<AddressEntry> good;
    std::vector<AddressEntry> failed;
    for (const AddressEntry& a : entry.addresses) {
        if (a.good) {
            good.push_back(a);
        } else if (a.failedAt != 0 && now - a.failedAt <= 30) {
            failed.push_back(a);
        }
    }
    const auto known = [&](uint32_t address) {
        const auto same = [address](const AddressEntry& a) { return a.address == address; };
        return std::any_of(good.begin(), good.end(), same) ||
               std::any_of(failed.begin(), failed.end(), same);
    };
    std::vector<AddressEntry> fresh;
    std::vector<uint32_t> resolved;
    if (vmSucceeded(cpResolveAll(entry.host.c_str(), &resolved))) {
        for (uint32_t address : resolved) {
            if (!known(address)) {
                fresh.push_back({address, false, 0});
            }
        }
    }
    entry.resolvedAt = now;
    entry.addresses = std::move(good);
    entry.addresses.insert(entry.addresses.end(), fresh.begin(), fresh.end());
    entry.addresses.insert(entry.addresses.end(), failed.begin(), failed.end());
}

bool cpCHostCache::Resolve(const char* host, uint16_t port, uint32_t* address) {
    if (host == nullptr || address == nullptr) {
        return false;
    }
    Entry& entry = GetOrCreate(host, port);
    for (const AddressEntry& a : entry.addresses) {
        if (a.good) {
            *address = a.address;
            return true;
        }
    }
    if (cpGetSeconds() - entry.resolvedAt > 4) {
        Refresh(entry);
    }
    if (entry.addresses.empty()) {
        return false;
    }
    *address = entry.addresses.front().address;
    return true;
}

cpCHostCache::AddressEntry* cpCHostCache::Find(const char* host, uint16_t port, uint32_t address,
                                               Entry** entry) {
    auto it = entries_.find(Key(host, port));
    if (it == entries_.end()) {
        return nullptr;
    }
    *entry = &it->second;
    for (AddressEntry& a : it->second.addresses) {
        if (a.address == address) {
            return &a;
        }
    }
    return nullptr;
}

void cpCHostCache::MarkBad(const char* host, uint16_t port, uint32_t address) {
    Entry* entry = nullptr;
    AddressEntry* found = Find(host, port, address, &entry);
    if (found == nullptr) {
        return;
    }
    AddressEntry moved = *found;
    moved.good = false;
    moved.failedAt = cpGetSeconds();
    auto& list = entry->addresses;
    list.erase(list.begin() + (found - list.data()));
    list.push_back(moved);
}

void cpCHostCache::MarkGood(const char* host, uint16_t port, uint32_t address) {
    Entry* entry = nullptr;
    AddressEntry* found = Find(host, port, address, &entry);
    if (found == nullptr) {
        return;
    }
    AddressEntry moved = *found;
    moved.good = true;
    moved.failedAt = 0;
    auto& list = entry->addresses;
    list.erase(list.begin() + (found - list.data()));
    list.insert(list.begin(), moved);
}
