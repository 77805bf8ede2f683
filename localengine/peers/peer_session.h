// PeerSession: the engine's one libtorrent session, built only when sharing is on, with every
// way of finding peers other than the torrent's own trackers off from its construction on (no
// DHT, local discovery, UPnP or NAT-PMP unless a setting turns one on; no bootstrap nodes). Its
// alerts come onto the engine's EventLoop: libtorrent's notify callback (on libtorrent's thread,
// only when its queue goes from empty to non-empty) writes to an eventfd the loop watches, and
// every wake drains the whole queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <libtorrent/fwd.hpp>
#include <libtorrent/session_params.hpp>

#include "peers/sharing_settings.h"
#include "transfer/event_loop.h"

namespace tev::localengine {

// The start of this engine's peer id (its version follows): how players know each other.
inline constexpr char kPeerFingerprint[] = "-TV0100-";

// What one peer and one torrent may cost us, and the session as a whole.
struct PeerLimits {
    int connections = 64;  // open peer connections, all torrents together
    int connectionsPerTorrent = 32;
    int uploadSlotsPerTorrent = 8;
    int peerListSize = 400;  // peers a torrent remembers (each costs some 100 bytes)
    int pausedPeerListSize = 50;
    int sendBufferWatermark = 512 * 1024;  // bytes queued for one peer before reading more
    int sendBufferLowWatermark = 16 * 1024;
    int queuedDiskBytes = 4 << 20;  // received blocks per peer waiting for the disk
    int requestsFromPeer = 250;     // a peer's outstanding requests to us
    int alertQueue = 4000;
    int diskThreads = 2;
    int hashingThreads = 2;
};

class PeerSession {
  public:
    using Log = std::function<void(const std::string&)>;
    using AlertHandler = std::function<void(const libtorrent::alert&)>;

    // With sharing off nothing is built: no session, no socket, no thread.
    // diskIo: how libtorrent reaches the files (empty: its POSIX disk I/O).
    PeerSession(EventLoop& loop, const SharingSettings& settings, Log log, PeerLimits limits = {},
                libtorrent::disk_io_constructor_type diskIo = {});
    ~PeerSession();
    PeerSession(const PeerSession&) = delete;
    PeerSession& operator=(const PeerSession&) = delete;

    bool Active() const { return session_ != nullptr; }
    libtorrent::session* Session() { return session_.get(); }
    const SharingSettings& Settings() const { return settings_; }

    // Receives every alert, on the loop's thread; an alert is valid only during the call.
    void SetAlertHandler(AlertHandler handler) { handler_ = std::move(handler); }

    // Pops and hands on every queued alert (what a wake of the loop does).
    void DrainAlerts();

    // The settings a session is built with (exposed so that tests can check them).
    static libtorrent::settings_pack PackFor(const SharingSettings& settings,
                                             const PeerLimits& limits);

  private:
    EventLoop& loop_;
    SharingSettings settings_;
    Log log_;
    AlertHandler handler_;
    int notifyFd_ = -1;  // eventfd: written by libtorrent's thread, read on the loop
    std::unique_ptr<libtorrent::session> session_;
};

}  // namespace tev::localengine
