// The updater's download session: fetches the URLs that one update file asks for, one request at
// a time, into memory, and hands each body to that file. The updater creates one session per
// download it runs side by side.
//
// Every request ends in exactly one report: a completion once the file has no further URL, or an
// error with its reason. The body is taken as it arrives into a buffer sized from
// "Content-Length", which is bounded by what the URL is for.
//
// Worker thread, inside the library mutex (Start takes it; the connection's events arrive in it).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/mutex.h"
#include "foundation/object.h"
#include "http/http_client_layer.h"
#include "stack/qos_context.h"

// What a URL of an update file is.
constexpr int32_t kUrlKindNone = 0;
constexpr int32_t kUrlKindHash = 1;        // the hash document of a data file
constexpr int32_t kUrlKindDescriptor = 2;  // the updater descriptor
constexpr int32_t kUrlKindMain = 3;        // a data file (an archive of engine files)

// The update file a session fetches for: it names its URLs one at a time and takes their bodies.
class IProgressFile {
  public:
    // The URL to fetch next; false (or an empty URL) when there is none.
    virtual bool NextUrl(std::string* url) = 0;
    // True unless the last body delivered asked for a further URL.
    virtual bool IsFinished() = 0;
    // Takes a whole body; answers the file's code and, through kind, what the URL was.
    virtual int32_t Deliver(const std::string& url, const uint8_t* data, int64_t size,
                            int32_t* kind) = 0;
    virtual int32_t UrlKind(const std::string& url) = 0;
    // The most bytes the file takes from url, below the bound of its kind; 0: that bound alone.
    virtual int64_t BodyLimit(const std::string&) { return 0; }

  protected:
    ~IProgressFile() = default;
};

// The outcome of a fetch that completed: what Deliver answered.
struct CDownloadResult {
    std::string url;
    int32_t kind = kUrlKindNone;
    int32_t code = 0;
    int64_t contentLength = 0;
};

// Every call carries the context value given with the listener.
class IDownloadSessionEventListener {
  public:
    virtual void OnSessionConnected(uintptr_t context) = 0;
    virtual void OnSessionCompleted(uintptr_t context, const CDownloadResult& result) = 0;
    virtual void OnSessionError(uintptr_t context, int32_t reason) = 0;
    // Data files only: the head of the response and the bytes received so far.
    virtual void OnSessionFileInfo(uintptr_t context, const std::string& url, int64_t size) = 0;
    virtual void OnSessionProgress(uintptr_t context, const std::string& url, int64_t bytes) = 0;

  protected:
    ~IDownloadSessionEventListener() = default;
};

class CDownloadSession final : public vmTObject<vmIUnknown>, private nwIHttpClientExEventListener {
  public:
    // Error reasons.
    static constexpr int32_t kReasonConnectTimeout = 3;
    static constexpr int32_t kReasonUnusableResponse = 4;  // also a URL that cannot be requested
    static constexpr int32_t kReasonIdleTimeout = 5;
    static constexpr int32_t kReasonClosedEarly = 6;  // closed before the whole body arrived
    static constexpr int32_t kReasonHostUnreachable = 7;

    // The largest body taken for each kind of URL; a larger "Content-Length" is refused (4).
    static constexpr int64_t kMaxDescriptorSize = 1 << 20;
    static constexpr int64_t kMaxHashDocumentSize = 1 << 20;
    static constexpr int64_t kMaxDataFileSize = int64_t{512} << 20;

    static constexpr uint32_t kConnectTimeoutSeconds = 4;
    static constexpr uint32_t kIdleLimitTicks = 4;

    explicit CDownloadSession(vmSmartPtr<cpCMutex> mutex);
    ~CDownloadSession() override;
    CDownloadSession(const CDownloadSession&) = delete;
    CDownloadSession& operator=(const CDownloadSession&) = delete;

    // Both borrowed. A cleared listener hears nothing more.
    void SetListener(IDownloadSessionEventListener* listener, uintptr_t context);
    void SetProgressFile(IProgressFile* file) { progressFile_ = file; }

    // Fetches the progress file's next URL. Nothing happens without a file or a URL; a URL that
    // cannot be requested is reported as an error before Start returns.
    void Start();
    // Ends a request still running without reporting it.
    void Stop();

    bool IsBusy() const { return busy_; }
    const std::string& Url() const { return url_; }

    // The largest body taken for a URL of kind.
    static int64_t MaxBodySize(int32_t kind);

  private:
    void CloseConnection();
    // Ends the request with reason; the listener is called last.
    void Fail(int32_t reason);

    void OnConnected(uintptr_t context) override;
    void OnResponseHeader(uintptr_t context) override;
    int32_t OnResponseData(uintptr_t context, const uint8_t* data, uint32_t count) override;
    void OnResponseComplete(uintptr_t context) override;
    void OnClosed(uintptr_t context) override;
    void OnConnectTimeout(uintptr_t context) override;
    void OnIdleTimeout(uintptr_t context) override;
    void OnHostUnreachable(uintptr_t context) override;

    vmSmartPtr<cpCMutex> mutex_;
    IDownloadSessionEventListener* listener_ = nullptr;
    uintptr_t context_ = 0;
    vmSmartPtr<vmIQoSContext> connection_;
    vmIHttpClientExLayer* layer_ = nullptr;  // owned by connection_
    std::string url_;
    std::vector<uint8_t> body_;
    int64_t contentLength_ = 0;  // from a usable head; 0 until then
    IProgressFile* progressFile_ = nullptr;
    bool busy_ = false;
    int32_t urlKind_ = kUrlKindNone;
    int64_t bodyLimit_ = 0;
};
