// Name resolution with memory: addresses that worked come first, then addresses never tried,
// then addresses that failed recently, so a failing server address goes to the back.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "foundation/result.h"

// IPv4 addresses travel in network byte order, exactly as the resolver returns them.
vmResult cpResolveFirst(const char* name, uint32_t* address);
vmResult cpResolveAll(const char* name, std::vector<uint32_t>* addresses);

// The resolver seam: tests answer names themselves. An empty function restores getaddrinfo.
using cpResolver = std::function<bool(const char* name, std::vector<uint32_t>* addresses)>;
void cpSetResolver(cpResolver resolver);

class cpCHostCache {
  public:
    static cpCHostCache& Instance();

    bool Resolve(const char* host, uint16_t port, uint32_t* address);
    void MarkBad(const char* host, uint16_t port, uint32_t address);
    void MarkGood(const char* host, uint16_t port, uint32_t address);

    // Forgets every host (tests).
    void Clear() { entries_.clear(); }

  private:
    struct AddressEntry {
        uint32_t address = 0;
        bool good = false;
        uint32_t failedAt = 0;  // seconds; 0 when it never failed
    };
    struct Entry {
        std::string host;
        uint16_t port = 0;
        uint32_t resolvedAt = 0;
        std::vector<AddressEntry> addresses;
    };

    static std::string Key(const char* host, uint16_t port);
    Entry& GetOrCreate(const char* host, uint16_t port);
    static void Refresh(Entry& entry);
    AddressEntry* Find(const char* host, uint16_t port, uint32_t address, Entry** entry);

    std::map<std::string, Entry> entries_;
};
