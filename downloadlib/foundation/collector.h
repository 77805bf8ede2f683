// Deferred release. A closed connection is handed to the collector instead of being released at
// once, so that socket and posted events already queued for it still find it alive. Each object
// is released by the first 3-second tick after its due second, 3 to 7 seconds after Add.
#pragma once

#include <cstdint>
#include <deque>

#include "foundation/object.h"
#include "foundation/timer.h"

class vmCGarbageCollector {
  public:
    vmCGarbageCollector();
    virtual ~vmCGarbageCollector();
    vmCGarbageCollector(const vmCGarbageCollector&) = delete;
    vmCGarbageCollector& operator=(const vmCGarbageCollector&) = delete;

    // The process-wide collector, created on first use.
    static vmCGarbageCollector* Instance();
    // Creates the process-wide collector (network runtime start-up) and destroys it (shutdown:
    // every pending object is released at once).
    static void CreateInstance();
    static void DestroyInstance();

    // Takes a reference to the object; the caller then drops its own.
    void Add(vmSmartPtr<vmIUnknown> object);
    size_t PendingCount() const { return pending_.size(); }

  private:
    struct Entry {
        vmSmartPtr<vmIUnknown> object;
        uint32_t dueSeconds;
    };

    void Start();
    void Stop();
    void OnTick();

    vmSmartPtr<cpCTimer> timer_;
    std::deque<Entry> pending_;
};
