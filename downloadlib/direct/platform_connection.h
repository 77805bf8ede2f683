// One HTTP exchange of the direct download on a connection of its own: a context with the HTTP
// client layer on top, a 3-second connect time-out and an idle limit of 3 ticks.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/object.h"
#include "http/http_client_layer.h"
#include "stack/qos_context.h"

class CPlatformConnection {
  public:
    static constexpr uint32_t kConnectTimeoutSeconds = 3;
    static constexpr uint32_t kIdleLimitTicks = 3;

    CPlatformConnection() = default;
    ~CPlatformConnection() { Close(); }
    CPlatformConnection(const CPlatformConnection&) = delete;
    CPlatformConnection& operator=(const CPlatformConnection&) = delete;

    // Creates and opens the context (action type, flags 5) with the HTTP layer on top and the
    // listener set. False, with nothing kept, when no context can be had (all slots taken).
    bool SetUp(uint32_t actionType, nwIHttpClientExEventListener* listener, uintptr_t context);
    // Opens the URL and sends the GET, with a "Range" header when range is given. A URL the
    // layer refuses closes the connection from the loop, so the owner hears OnClosed as for any
    // failed attempt, never from inside this call.
    void Get(const std::string& url, const char* range = nullptr);

    bool IsOpen() const { return static_cast<bool>(context_); }
    vmIQoSContext* Context() const { return context_.Get(); }
    vmIHttpClientExLayer* Layer() const { return layer_; }

    // Detaches the listener, closes the context and hands it to the collector, so that events
    // already queued for it still find it. Nothing is heard from this connection afterwards.
    // What its own receive quota had left of this second is kept for CarryQuotaOver.
    void Close();

    // Gives the connection just set up what the last one (closed within this same second) had
    // left of its receive quota, so that one connection after another keeps to one cap: files
    // in a row cannot each spend a second's worth. Nothing once a tick has passed since.
    void CarryQuotaOver();

  private:
    vmSmartPtr<vmIQoSContext> context_;
    vmIHttpClientExLayer* layer_ = nullptr;  // owned by the context
    bool quotaKept_ = false;
    uint32_t keptQuota_ = 0;
    uint32_t keptAtTick_ = 0;
};
