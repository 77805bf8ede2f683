#include "http/http_client_layer.h"

#include <strings.h>

#include <cstdlib>

#include "foundation/host_cache.h"
#include "foundation/log.h"
#include "stack/qos_context.h"
#include "stack/stack_classes.h"

bool ParseHttpUrl(const std::string& url, HttpUrl* out) {
    HttpUrl parsed;
    size_t rest = 0;
    if (strncasecmp(url.c_str(), "http://", 7) == 0) {
        rest = 7;
    } else if (strncasecmp(url.c_str(), "https://", 8) == 0) {
        rest = 8;
        parsed.secure = true;
        parsed.port = 443;
    } else {
        return false;
    }
    if (rest >= url.size()) {
        return false;
    }
    const size_t slash = url.find('/', rest);
    const std::string authority =
        url.substr(rest, slash == std::string::npos ? std::string::npos : slash - rest);
    if (slash != std::string::npos) {
        parsed.path = url.substr(slash);
    }
    const size_t colon = authority.find(':');
    parsed.host = authority.substr(0, colon);
    if (colon != std::string::npos) {
        const long port = std::strtol(authority.c_str() + colon + 1, nullptr, 10);
        if (port <= 0 || port > 65535) {
            return false;  // a port we cannot connect to
        }
        parsed.port = static_cast<uint16_t>(port);
    }
    if (parsed.host.empty()) {
        return false;
    }
    *out = std::move(parsed);
    return true;
}

nwCHttpClientExLayer::nwCHttpClientExLayer() {
    Init();
}

void nwCHttpClientExLayer::Init() {
    RegisterRawHandler(&nwCHttpClientExLayer::OnStream, this);
}

vmResult nwCHttpClientExLayer::SetListener(nwIHttpClientExEventListener* listener,
                                           uintptr_t context) {
    listener_ = listener;
    listenerContext_ = context;
    return NW_OK;
}

vmResult nwCHttpClientExLayer::Open(const char* url) {
    HttpUrl parsed;
    if (url == nullptr || !ParseHttpUrl(url, &parsed)) {
        return NW_FAIL;
    }
    uint32_t address = 0;
    if (!cpCHostCache::Instance().Resolve(parsed.host.c_str(), parsed.port, &address)) {
        return NW_FAIL;
    }
    // https: TLS goes at the socket end, once, whatever is on top.
    if (parsed.secure && vmFailed(GetLayer(CLSID_nwCSecureSocketClientLayer, nullptr)) &&
        vmFailed(AddLayer(CLSID_nwCSecureSocketClientLayer, true))) {
        return NW_FAIL;
    }
    path_ = parsed.path;
    SetEntry(&requestHeaders_, "Host", parsed.host);
    if (builder_) {
        builder_->SetHeader("Host", parsed.host);
    }
    RemoveFlags(kQoSFlagSendQueueEmpty);
    SetHostName(parsed.host.c_str());
    const cpAddress remote{address, parsed.port, 0};
    SetRemoteAddress(&remote);
    Connect(&remote);
    return NW_OK;
}

void nwCHttpClientExLayer::SetEntry(std::vector<Entry>* list, const std::string& name,
                                    const std::string& value) {
    for (Entry& entry : *list) {
        // Whole names, case ignored, as the builder matches them: "Range" is not "Range-X".
        if (entry.name.size() == name.size() &&
            strncasecmp(entry.name.c_str(), name.c_str(), name.size()) == 0) {
            entry.value = value;
            return;
        }
    }
    list->push_back({name, value});
}

vmResult nwCHttpClientExLayer::SetHeader(const char* name, const char* value) {
    if (name == nullptr || name[0] == '\0' || value == nullptr || value[0] == '\0') {
        return NW_FAIL;
    }
    if (builder_) {
        builder_->SetHeader(name, value);
    } else {
        SetEntry(&requestHeaders_, name, value);
    }
    return NW_OK;
}

vmResult nwCHttpClientExLayer::SetParam(const char* name, const char* value) {
    if (name == nullptr || name[0] == '\0' || value == nullptr || value[0] == '\0') {
        return NW_FAIL;
    }
    if (builder_) {
        builder_->SetParam(name, value);
    } else {
        SetEntry(&requestParams_, name, value);
    }
    return NW_OK;
}

vmResult nwCHttpClientExLayer::GetStatusCode(int32_t* out) {
    if (out != nullptr) {
        *out = response_.StatusCode();
    }
    return NW_OK;
}

vmResult nwCHttpClientExLayer::GetContentLength(int64_t* out) {
    if (out != nullptr) {
        *out = response_.ContentLength();
    }
    return NW_OK;
}

vmResult nwCHttpClientExLayer::GetHeader(const char* name, std::string* out) {
    if (name == nullptr || name[0] == '\0') {
        return NW_FAIL;
    }
    const nwCHttpResponseParser::Entry* entry = response_.Find(name);
    if (entry == nullptr) {
        return NW_FAIL;
    }
    if (out != nullptr) {
        *out = entry->value;
    }
    return NW_OK;
}

vmResult nwCHttpClientExLayer::GetRawHeader(std::string* out) {
    if (!response_.HasHead()) {
        return NW_FAIL;
    }
    if (out != nullptr) {
        *out = response_.RawHead();
    }
    return NW_OK;
}

vmResult nwCHttpClientExLayer::SendGET() {
    if (builder_) {
        return NW_OK;  // the request was built and sent already
    }
    SetEntry(&requestHeaders_, "GET", path_);
    builder_ = CreateHeaderBuilder(1);
    for (const Entry& entry : requestHeaders_) {
        builder_->SetHeader(entry.name, entry.value);
    }
    for (const Entry& entry : requestParams_) {
        builder_->SetParam(entry.name, entry.value);
    }
    builder_->SetContentLength(0);
    std::string request;
    builder_->BuildHeader(&request);
    return vmFailed(SendDown(request.data(), static_cast<uint32_t>(request.size()))) ? NW_FAIL
                                                                                     : NW_OK;
}

int32_t nwCHttpClientExLayer::OnStream(const uint8_t* data, uint32_t length, void* user) {
    return static_cast<nwCHttpClientExLayer*>(user)->Receive(data, length);
}

int32_t nwCHttpClientExLayer::Receive(const uint8_t* data, uint32_t length) {
    if (!headReceived_) {
        const std::string_view bytes(reinterpret_cast<const char*>(data), length);
        const size_t headLength = HttpHeadLength(bytes);
        if (headLength == 0) {
            // A head this long without its end is not a response we can use: close.
            return length > kMaxHttpHeadSize ? -1 : 0;
        }
        response_.Parse(bytes.substr(0, headLength));
        headReceived_ = true;
        if (const std::string defect = response_.Defect(); !defect.empty()) {
            // Where this body ends is in doubt: nothing of it may count (the owner hears the
            // close as for a dropped connection).
            const char* host = nullptr;
            GetHostName(&host);
            WriteLogLineF("[TessloadLib] HTTP Response Refused host:%s reason:%s",
                          host != nullptr ? host : "", defect.c_str());
            return -1;
        }
        if (listener_ != nullptr) {
            listener_->OnResponseHeader(listenerContext_);
        }
        return static_cast<int32_t>(headLength);
    }
    if (listener_ == nullptr) {
        return 0;
    }
    const int32_t consumed = listener_->OnResponseData(listenerContext_, data, length);
    if (consumed > 0) {
        bodyReceived_ += static_cast<uint64_t>(consumed);
    }
    const int64_t contentLength = response_.ContentLength();
    if (listener_ != nullptr && contentLength > 0 &&
        bodyReceived_ >= static_cast<uint64_t>(contentLength)) {
        listener_->OnResponseComplete(listenerContext_);
    }
    return consumed;
}

bool nwCHttpClientExLayer::OnConnected() {
    if (listener_ != nullptr) {
        listener_->OnConnected(listenerContext_);
    }
    return true;
}

bool nwCHttpClientExLayer::OnHostUnreachable() {
    if (listener_ != nullptr) {
        listener_->OnHostUnreachable(listenerContext_);
    }
    return true;
}

void nwCHttpClientExLayer::OnClosed() {
    nwIHttpClientExEventListener* listener = listener_;
    listener_ = nullptr;
    if (listener != nullptr) {
        listener->OnClosed(listenerContext_);
    }
}

bool nwCHttpClientExLayer::OnConnectTimeout() {
    if (listener_ != nullptr) {
        listener_->OnConnectTimeout(listenerContext_);
    }
    return true;
}

bool nwCHttpClientExLayer::OnIdleTimeout() {
    if (listener_ != nullptr) {
        listener_->OnIdleTimeout(listenerContext_);
    }
    return true;
}

void vmRegisterHttpClasses() {
    vmRegisterStackClasses();
    vmRegisterClass(CLSID_nwCHttpClientExLayer,
                    &vmNewObject<nwCHttpClientExLayer, vmIHttpClientExLayer>);
}
