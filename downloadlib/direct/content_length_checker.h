// The content-length check: sizes every file of the host's file list before a download starts.
// One session per URL asks for the resource and takes "Content-Length" from the response head,
// at most five at a time and three requests per URL (redirects included). The first URL that
// fails ends the whole check; otherwise the checker reports the sum of the sizes.
//
// Add and Start run on the host's thread inside the library mutex; the sessions' events run on
// the worker inside the same mutex.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/event_listeners.h"
#include "core/manager_parts.h"
#include "foundation/mutex.h"
#include "foundation/object.h"
#include "http/http_client_layer.h"
#include "stack/qos_context.h"

// What a session tells its checker. Each call may release every session, the caller included.
class IContentLengthCheckSessionEventListener {
  public:
    virtual void OnSessionSize(int32_t fileIndex, int64_t size) = 0;
    // The URL used up its attempts.
    virtual void OnSessionFailed(int32_t fileIndex, const std::string& url) = 0;
    virtual void OnSessionHostUnreachable(int32_t fileIndex) = 0;

  protected:
    ~IContentLengthCheckSessionEventListener() = default;
};

// Counted, so that a session released by its checker during one of its own events lives until
// that event returns.
class CContentLengthCheckSession final : public vmTObject<vmIUnknown>,
                                         private nwIHttpClientExEventListener {
  public:
    static constexpr int32_t kMaxAttempts = 3;
    static constexpr uint32_t kIdleLimitTicks = 3;

    // url: the text before its first "|" is requested.
    CContentLengthCheckSession(IContentLengthCheckSessionEventListener* checker, int32_t fileIndex,
                               const std::string& url, vmSmartPtr<cpCMutex> mutex);
    ~CContentLengthCheckSession() override;
    CContentLengthCheckSession(const CContentLengthCheckSession&) = delete;
    CContentLengthCheckSession& operator=(const CContentLengthCheckSession&) = delete;

    // Sends the next request, or reports the URL failed once its attempts are used.
    void Attempt();
    void CloseConnection();
    // The session reports nothing more.
    void Detach() { checker_ = nullptr; }

    const std::string& Url() const { return url_; }

  private:
    enum class RequestResult { kSent, kNoConnection, kUnusableUrl };

    // kUnusableUrl: a URL the HTTP layer refuses, or a host name that does not resolve.
    RequestResult Request(const std::string& url);
    void HostUnreachable();

    void OnResponseHeader(uintptr_t context) override;
    void OnClosed(uintptr_t context) override;
    void OnConnectTimeout(uintptr_t context) override;
    void OnIdleTimeout(uintptr_t context) override;
    void OnHostUnreachable(uintptr_t context) override;

    int32_t attempts_ = 0;
    const int32_t fileIndex_;
    int64_t contentLength_ = 0;
    const std::string url_;
    std::string redirectUrl_;
    std::string failureReason_;
    vmSmartPtr<vmIQoSContext> connection_;
    vmIHttpClientExLayer* layer_ = nullptr;  // owned by connection_
    IContentLengthCheckSessionEventListener* checker_;
    vmSmartPtr<cpCMutex> mutex_;
};

class CContentLengthChecker final : public IContentLengthCheck,
                                    private IContentLengthCheckSessionEventListener {
  public:
    static constexpr uint32_t kMaxInFlight = 5;

    CContentLengthChecker(IContentLengthCheckerEventListener* listener, vmSmartPtr<cpCMutex> mutex);
    ~CContentLengthChecker() override;
    CContentLengthChecker(const CContentLengthChecker&) = delete;
    CContentLengthChecker& operator=(const CContentLengthChecker&) = delete;

    int32_t Add(const char* url) override;
    int32_t Start() override;
    int64_t Total() const override { return total_; }

  private:
    // Starts sessions in order while fewer than five are in flight.
    void StartMore();
    // Ends the check: every session closes and goes.
    void Release();

    void OnSessionSize(int32_t fileIndex, int64_t size) override;
    void OnSessionFailed(int32_t fileIndex, const std::string& url) override;
    void OnSessionHostUnreachable(int32_t fileIndex) override;

    // Carries over from one check to the next.
    int64_t total_ = 0;
    // Sessions of the current check that reported a size.
    uint32_t completed_ = 0;
    uint32_t nextIndex_ = 0;
    uint32_t inFlight_ = 0;
    std::vector<vmSmartPtr<CContentLengthCheckSession>> sessions_;
    uint32_t startSeconds_ = 0;
    IContentLengthCheckerEventListener* listener_;
    vmSmartPtr<cpCMutex> mutex_;
};
