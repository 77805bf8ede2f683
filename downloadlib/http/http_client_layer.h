// The HTTP client layer: one GET request and its response on one connection. It does no
// retrying, redirecting or file handling; its owner decides what status codes, "Location:"
// values and errors mean. Body bytes are delivered exactly as received (no content coding).
//
// Typical owner: CreateInstance(CLSID_cpCQoSContext), Open, AddLayer(CLSID_nwCHttpClientExLayer,
// top); then on the layer SetListener, SetHeader ("Range"), Open(url), SendGET; read the getters
// in OnResponseHeader, consume in OnResponseData, finish on OnResponseComplete, OnClosed or an
// error event; Close the context and hand it to the collector.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/object.h"
#include "http/request_builder.h"
#include "http/response_parser.h"
#include "stack/net_stack.h"

enum eNWHttpStatusCode : int32_t {
    eNWHSC_HTTP_OK = 200,
    eNWHSC_HTTP_PARTIAL_CONTENT = 206,
    eNWHSC_HTTP_FOUND = 302,
    eNWHSC_HTTP_SEEOTHER = 303,
    eNWHSC_HTTP_RANGE_NOT_SATISFIABLE = 416,
};

// What the layer tells its owner. Every call carries the context value given with the listener.
// The defaults do nothing (and consume every body byte), so an owner writes what it handles.
class nwIHttpClientExEventListener {
  public:
    virtual void OnConnected(uintptr_t /*context*/) {}
    // The head has arrived; the getters answer from now on. A head whose Content-Length is
    // not plain digits, differs between copies or stands beside a Transfer-Encoding is not
    // passed on: the connection closes instead (OnClosed), and the log says why.
    virtual void OnResponseHeader(uintptr_t /*context*/) {}
    // Body bytes; answers how many it consumed (the rest is offered again with the next bytes).
    virtual int32_t OnResponseData(uintptr_t /*context*/, const uint8_t* /*data*/, uint32_t count) {
        return static_cast<int32_t>(count);
    }
    // The body reached "Content-Length" (again with each further delivery).
    virtual void OnResponseComplete(uintptr_t /*context*/) {}
    virtual void OnSendReady(uintptr_t /*context*/) {}
    // The connection closed; the layer forgets its listener afterwards.
    virtual void OnClosed(uintptr_t /*context*/) {}
    virtual void OnConnectTimeout(uintptr_t /*context*/) {}
    virtual void OnIdleTimeout(uintptr_t /*context*/) {}
    virtual void OnHostUnreachable(uintptr_t /*context*/) {}

  protected:
    ~nwIHttpClientExEventListener() = default;
};

class vmIHttpClientExLayer : public vmIUnknown {
  public:
    // The listener is borrowed, never counted.
    virtual vmResult SetListener(nwIHttpClientExEventListener* listener, uintptr_t context) = 0;
    // Parses an http or https URL (scheme case ignored), resolves its host through the host
    // cache, puts TLS at the socket end for https (a verified server; see
    // stack/secure_socket_layer.h) and starts the connect. NW_FAIL for a missing, empty,
    // unsupported or unresolvable URL.
    virtual vmResult Open(const char* url) = 0;
    virtual vmResult SetHeader(const char* name, const char* value) = 0;
    virtual vmResult SetParam(const char* name, const char* value) = 0;
    virtual vmResult GetStatusCode(int32_t* out) = 0;
    virtual vmResult GetContentLength(int64_t* out) = 0;
    // The value of the first header named name (case ignored, whole names only; a trailing
    // colon is allowed: "Location:"), as sent: never percent-decoded.
    virtual vmResult GetHeader(const char* name, std::string* out) = 0;
    virtual vmResult GetRawHeader(std::string* out) = 0;
    // Builds the request once and sends it; a second call sends nothing.
    virtual vmResult SendGET() = 0;
};

class nwCHttpClientExLayer : public nwTLayer<vmIHttpClientExLayer> {
  public:
    nwCHttpClientExLayer();

    vmResult SetListener(nwIHttpClientExEventListener* listener, uintptr_t context) override;
    vmResult Open(const char* url) override;
    vmResult SetHeader(const char* name, const char* value) override;
    vmResult SetParam(const char* name, const char* value) override;
    vmResult GetStatusCode(int32_t* out) override;
    vmResult GetContentLength(int64_t* out) override;
    vmResult GetHeader(const char* name, std::string* out) override;
    vmResult GetRawHeader(std::string* out) override;
    vmResult SendGET() override;

    bool OnConnected() override;
    bool OnHostUnreachable() override;
    void OnClosed() override;
    bool OnConnectTimeout() override;
    bool OnIdleTimeout() override;

  private:
    struct Entry {
        std::string name;
        std::string value;
    };

    void Init();
    static int32_t OnStream(const uint8_t* data, uint32_t length, void* user);
    int32_t Receive(const uint8_t* data, uint32_t length);
    static void SetEntry(std::vector<Entry>* list, const std::string& name,
                         const std::string& value);

    nwIHttpClientExEventListener* listener_ = nullptr;
    uintptr_t listenerContext_ = 0;

    // The request record: entries collect here until the builder exists, then go to it.
    std::unique_ptr<nwCHttpRequestHeaderBuilder> builder_;
    std::vector<Entry> requestHeaders_;
    std::vector<Entry> requestParams_;

    nwCHttpResponseParser response_;
    std::string path_;
    bool headReceived_ = false;
    uint64_t bodyReceived_ = 0;
};

// Splits an http(s) URL as the layer does: scheme (case ignored), host, port, path.
struct HttpUrl {
    bool secure = false;
    std::string host;
    uint16_t port = 80;
    std::string path;  // from the first '/' after the host; empty when there is none
};
bool ParseHttpUrl(const std::string& url, HttpUrl* out);

// Registers the HTTP client layer's class id (and those it builds on).
void vmRegisterHttpClasses();
