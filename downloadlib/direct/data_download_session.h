// The data download: fetches one resource (the host's file list) whole into memory for
// DownloadLib_DownloadData, following redirects, and ticks once a second while it runs. The job
// manager owns it and turns its reports into notifications 522, 523 and 529.
//
// Start and the getters run on the host's thread inside the library mutex; the connection's events
// and the tick run on the worker inside the same mutex.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/event_listeners.h"
#include "core/manager_parts.h"
#include "foundation/mutex.h"
#include "foundation/object.h"
#include "foundation/timer.h"
#include "http/http_client_layer.h"
#include "http/redirect.h"
#include "stack/qos_context.h"

class CDataDownloadSession final : public IDataDownload, private nwIHttpClientExEventListener {
  public:
    // Failure reasons passed to the listener.
    static constexpr int32_t kReasonConnectTimeout = 3;
    static constexpr int32_t kReasonUnusableResponse = 4;
    static constexpr int32_t kReasonIdleTimeout = 5;
    static constexpr int32_t kReasonClosedEarly = 6;
    static constexpr int32_t kReasonHostUnreachable = 7;

    // The data is held whole in memory: a response that claims more is refused, not allocated.
    static constexpr int64_t kMaxDataSize = 64 * 1024 * 1024;
    static constexpr uint32_t kConnectTimeoutSeconds = 4;
    static constexpr uint32_t kIdleLimitTicks = 4;
    static constexpr uint32_t kTickPeriodMs = 1000;
    static constexpr uint32_t kTickTimerId = 0xFFFFFFFF;

    CDataDownloadSession(IDataDownloadSessionEventListener* listener, vmSmartPtr<cpCMutex> mutex);
    ~CDataDownloadSession() override;
    CDataDownloadSession(const CDataDownloadSession&) = delete;
    CDataDownloadSession& operator=(const CDataDownloadSession&) = delete;

    // Abandons any download still running (it reports nothing more) and fetches the URL; the
    // outcome arrives through the listener, at once for a URL that cannot be requested.
    int32_t Start(const char* url) override;
    int32_t StartWithin(const char* url, int64_t limit) override;
    int32_t Status(int32_t* status) override;
    // The size of the data of the last download that completed; DL_E_FAIL before.
    int32_t Size(int64_t* size) override;
    int32_t Copy(const DataBuffer* buffer) override;

  private:
    // Opens a new connection for url and sends the request; false (after reporting the failure)
    // when it cannot be requested.
    bool Request(const std::string& url);
    void CloseConnection(bool markBad);
    // Ends the download with a failure, logging why in words; the listener is called last, as
    // it may start another.
    void Fail(int32_t reason, bool markBad, const std::string& why);

    void OnResponseHeader(uintptr_t context) override;
    int32_t OnResponseData(uintptr_t context, const uint8_t* data, uint32_t count) override;
    void OnResponseComplete(uintptr_t context) override;
    void OnClosed(uintptr_t context) override;
    void OnConnectTimeout(uintptr_t context) override;
    void OnIdleTimeout(uintptr_t context) override;
    void OnHostUnreachable(uintptr_t context) override;

    IDataDownloadSessionEventListener* listener_;
    vmSmartPtr<cpCMutex> mutex_;
    std::vector<uint8_t> buffer_;
    int64_t stored_ = 0;
    // Set from a 200 head; 0 until then.
    int64_t contentLength_ = 0;
    // The most this download may hold (kMaxDataSize unless the host asked for less).
    int64_t limit_ = kMaxDataSize;
    // The status of the last answer's head (after redirects, the final one); 0 before any.
    int32_t status_ = 0;
    // The whole body has arrived: only then do Size and Copy answer.
    bool complete_ = false;
    vmSmartPtr<cpCTimer> tickTimer_;
    vmSmartPtr<vmIQoSContext> connection_;
    vmIHttpClientExLayer* layer_ = nullptr;  // owned by connection_
    std::string url_;
    // The URL being requested: the start URL or where the last redirect pointed.
    std::string redirectUrl_;
    CRedirectChain redirects_;
};
