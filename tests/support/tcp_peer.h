// A plain blocking TCP peer for loopback tests: the other end of the library's sockets.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

// A loopback port free at the moment of the call (another process may take it before its use);
// type SOCK_DGRAM for a UDP port; address another loopback address (127.0.0.x) of the test's.
uint16_t FreeLoopbackPort(int type = SOCK_STREAM, const std::string& address = "127.0.0.1");
// Whether something accepts TCP connections on 127.0.0.1:port (a server started by a test).
bool LoopbackPortAnswers(uint16_t port);

class TcpConnection {
  public:
    TcpConnection() = default;
    explicit TcpConnection(int fd) : fd_(fd) {}
    ~TcpConnection();
    TcpConnection(TcpConnection&& other) noexcept;
    TcpConnection& operator=(TcpConnection&& other) noexcept;

    bool Valid() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    bool Send(const std::string& bytes);
    // Reads up to max bytes, waiting at most timeoutMs for the first; "" on timeout or close.
    std::string Receive(size_t max, int timeoutMs = 5000);
    // Reads exactly n bytes or until the peer closes or timeoutMs pass.
    std::string ReceiveExactly(size_t n, int timeoutMs = 5000);
    // Shrinks the receive buffer so that a sender meets would-block quickly.
    void SetReceiveBuffer(int bytes);
    void Close();
    // Closes with a reset instead of an orderly close.
    void Reset();

  private:
    int fd_ = -1;
};

class TcpListener {
  public:
    TcpListener();  // 127.0.0.1, a free port
    ~TcpListener();
    uint16_t Port() const { return port_; }
    // Waits at most timeoutMs for a connection.
    TcpConnection Accept(int timeoutMs = 5000);

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A loopback port that nobody listens on (bound, then closed).
uint16_t UnusedPort();
// 127.0.0.1 in network byte order.
uint32_t LoopbackAddress();
