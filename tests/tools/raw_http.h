// Raw loopback clients for the tool tests: plain sockets, requests written byte for byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/tcp_peer.h"

// A blocking connection to 127.0.0.1:port; invalid when the connect fails.
TcpConnection ConnectLoopback(uint16_t port);

// The local port of a connected socket.
uint16_t LocalPort(const TcpConnection& connection);

// Whether the peer closes (or resets) the connection within timeoutMs; bytes that arrive before
// the close are dropped.
bool PeerCloses(TcpConnection& connection, int timeoutMs = 5000);

// Whether nothing at all arrives (and no close) within ms.
bool StaysSilent(TcpConnection& connection, int ms);

struct HttpResponse {
    int status = 0;
    std::string head;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    bool complete = false;  // the whole head and the body its framing announced arrived
    std::optional<std::string> Header(const std::string& name) const;
};

// One client connection that reads responses in order, keeping bytes of the next one.
class HttpClient {
  public:
    explicit HttpClient(uint16_t port) : connection_(ConnectLoopback(port)) {}
    bool Send(const std::string& bytes) { return connection_.Send(bytes); }
    // Reads one response. Without Content-Length the body runs until the close. headRequest:
    // the answer to a HEAD has no body whatever its headers say.
    HttpResponse Read(bool headRequest = false, int timeoutMs = 5000);
    // Send a GET for target (with extra header lines, each ending in CRLF) and read the answer.
    HttpResponse Get(const std::string& target, const std::string& extraHeaders = "");
    TcpConnection& Connection() { return connection_; }

  private:
    bool Fill(int timeoutMs);
    TcpConnection connection_;
    std::string buffer_;
    bool closed_ = false;
};
