// One running downloader per product: a lock file held for the life of the first process, and a
// local socket on which that process accepts "activate" from later starts.
#pragma once

#include <string>

class CSingleInstance {
  public:
    enum class State {
        First,   // we hold the lock; activation requests arrive on ListenFd()
        Second,  // another process holds it
        Failed,  // no lock could be taken: run as if alone
    };

    // Lock and socket live in $XDG_RUNTIME_DIR, else /tmp with the user id in the name; their
    // names are the lock name hashed.
    explicit CSingleInstance(const std::string& lockName);
    ~CSingleInstance();
    CSingleInstance(const CSingleInstance&) = delete;
    CSingleInstance& operator=(const CSingleInstance&) = delete;

    State Acquire();

    // First instance: the listening socket (non-blocking), -1 when it could not be made.
    int ListenFd() const { return listenFd_; }
    // First instance: accepts waiting connections and returns how many asked to activate.
    int TakeActivationRequests();

    // Second instance: asks the first to come to the front; false when it cannot be reached.
    bool RequestActivation() const;

    const std::string& LockPath() const { return lockPath_; }
    const std::string& SocketPath() const { return socketPath_; }

  private:
    void Listen();

    std::string lockPath_;
    std::string socketPath_;
    int lockFd_ = -1;
    int listenFd_ = -1;
};

// The folder of the lock and the socket, ending in '/', and the prefix of their names.
std::string SingleInstanceBasePath(const std::string& lockName);
