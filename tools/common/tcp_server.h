// A small thread-per-connection TCP server for the tools. Every wait of a connection thread goes
// through poll() together with the server's stop flag, so stopping returns promptly even while
// connections stall, trickle or idle.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace tev::tools {

// Raised once, never cleared; its descriptor stays readable afterwards, which wakes every poll.
class StopFlag {
  public:
    StopFlag();
    ~StopFlag();
    StopFlag(const StopFlag&) = delete;
    StopFlag& operator=(const StopFlag&) = delete;

    void Raise();
    bool Raised() const { return raised_.load(); }
    int Fd() const { return fds_[0]; }

  private:
    int fds_[2] = {-1, -1};
    std::atomic<bool> raised_{false};
};

enum class IoWait { Ready, Timeout, Stopped, Error };

// Waits until fd has one of events (POLLIN, POLLOUT), the flag is raised or timeoutMs pass.
IoWait WaitIo(int fd, short events, const StopFlag& stop, int timeoutMs);

// Waits ms unless the flag is raised first; returns false when it was.
bool SleepUnlessStopped(const StopFlag& stop, int ms);

// Sends every byte on a non-blocking socket. False when the peer is gone, the flag is raised or
// no byte could be sent for timeoutMs.
bool SendAll(int fd, std::string_view bytes, const StopFlag& stop, int timeoutMs);

// Reads what is available into buffer (appending at most max bytes). Returns the count, 0 when
// the peer closed, -1 on error, timeout or stop (see *wait for which).
long ReceiveSome(int fd, std::string& buffer, size_t max, const StopFlag& stop, int timeoutMs,
                 IoWait* wait = nullptr);

// Ends our side of the conversation without discarding what the peer still has to read: a FIN
// first, then the peer's remaining bytes are drained (bounded) before the socket is closed by
// the server. Closing with unread input would send a reset instead.
void ShutdownGracefully(int fd, const StopFlag& stop, int lingerMs = 1000);

struct PeerAddress {
    std::string host;
    uint16_t port = 0;
    std::string ToString() const { return host + ":" + std::to_string(port); }
};

class TcpServer {
  public:
    // Runs on the connection's own thread; the server closes fd after it returns.
    using Handler = std::function<void(int fd, const PeerAddress& peer, uint64_t connectionId)>;

    struct Options {
        std::string bindAddress = "127.0.0.1";
        uint16_t port = 0;            // 0: a free port, see Port()
        size_t maxConnections = 512;  // connections beyond this are closed at once
    };

    explicit TcpServer(Handler handler);
    ~TcpServer();
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    // Binds, listens and starts the accept thread. False with *error set when it cannot.
    bool Start(const Options& options, std::string* error);
    // Raises the stop flag, closes the listener and joins every thread. Idempotent.
    void Stop();

    uint16_t Port() const { return port_; }
    const StopFlag& StopSignal() const { return stop_; }

    size_t ActiveConnections() const;
    size_t PeakConnections() const;
    uint64_t AcceptedConnections() const;
    // Starts counting the peak again from the connections open now.
    void ResetPeak();

  private:
    struct Connection {
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    void AcceptLoop();
    void ReapFinished(bool all);

    Handler handler_;
    StopFlag stop_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    size_t maxConnections_ = 0;
    std::thread acceptThread_;

    mutable std::mutex mutex_;
    std::list<std::unique_ptr<Connection>> connections_;
    size_t active_ = 0;
    size_t peak_ = 0;
    uint64_t accepted_ = 0;
};

}  // namespace tev::tools
