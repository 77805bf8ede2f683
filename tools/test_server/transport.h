// How the test server's connections carry bytes: as they are (plain HTTP) or inside TLS. Both
// wait through poll() with the server's stop flag, as the plain helpers of common/tcp_server.h do.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "common/tcp_server.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace tev::tools {

class Transport {
  public:
    virtual ~Transport() = default;
    // As ReceiveSome: the count appended, 0 when the peer closed, -1 on error, time-out or stop.
    virtual long Receive(std::string& buffer, size_t max, const StopFlag& stop, int timeoutMs,
                         IoWait* wait = nullptr) = 0;
    // As SendAll.
    virtual bool Send(std::string_view bytes, const StopFlag& stop, int timeoutMs) = 0;
    // As ShutdownGracefully (TLS first says close-notify).
    virtual void Shutdown(const StopFlag& stop) = 0;
};

class PlainTransport final : public Transport {
  public:
    explicit PlainTransport(int fd) : fd_(fd) {}
    long Receive(std::string& buffer, size_t max, const StopFlag& stop, int timeoutMs,
                 IoWait* wait) override {
        return ReceiveSome(fd_, buffer, max, stop, timeoutMs, wait);
    }
    bool Send(std::string_view bytes, const StopFlag& stop, int timeoutMs) override {
        return SendAll(fd_, bytes, stop, timeoutMs);
    }
    void Shutdown(const StopFlag& stop) override { ShutdownGracefully(fd_, stop); }

  private:
    int fd_;
};

// A server certificate and key, loaded once and shared by every connection.
class TlsServerIdentity {
  public:
    // Null with *error set when the files cannot be read or do not belong together.
    static std::shared_ptr<TlsServerIdentity> Load(const std::string& certificateFile,
                                                   const std::string& keyFile, std::string* error);
    ~TlsServerIdentity();
    TlsServerIdentity(const TlsServerIdentity&) = delete;
    TlsServerIdentity& operator=(const TlsServerIdentity&) = delete;
    SSL_CTX* Context() const { return context_; }

  private:
    TlsServerIdentity() = default;
    SSL_CTX* context_ = nullptr;
};

class TlsTransport final : public Transport {
  public:
    TlsTransport(int fd, std::shared_ptr<TlsServerIdentity> identity);
    ~TlsTransport() override;
    TlsTransport(const TlsTransport&) = delete;
    TlsTransport& operator=(const TlsTransport&) = delete;

    // The server side of the handshake; false (with *error) when it fails, times out or stops.
    bool Accept(const StopFlag& stop, int timeoutMs, std::string* error);
    long Receive(std::string& buffer, size_t max, const StopFlag& stop, int timeoutMs,
                 IoWait* wait) override;
    bool Send(std::string_view bytes, const StopFlag& stop, int timeoutMs) override;
    void Shutdown(const StopFlag& stop) override;

  private:
    // Waits for what OpenSSL asked for after a call that answered r.
    IoWait WaitFor(int r, const StopFlag& stop, int timeoutMs, bool* fatal);

    int fd_;
    std::shared_ptr<TlsServerIdentity> identity_;
    SSL* ssl_ = nullptr;
};

}  // namespace tev::tools
