#include "peers/peer_session.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <libtorrent/alert.hpp>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/ip_filter.hpp>
#include <libtorrent/posix_disk_io.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/session_params.hpp>
#include <libtorrent/settings_pack.hpp>
#include <vector>

namespace tev::localengine {

namespace lt = libtorrent;

lt::settings_pack PeerSession::PackFor(const SharingSettings& settings, const PeerLimits& limits) {
    lt::settings_pack pack;
    // Finding peers: only the torrent's own trackers unless a setting says otherwise.
    pack.set_bool(lt::settings_pack::enable_dht, settings.dht);
    pack.set_bool(lt::settings_pack::enable_lsd, settings.lsd);
    pack.set_bool(lt::settings_pack::enable_upnp, settings.upnp);
    pack.set_bool(lt::settings_pack::enable_natpmp, settings.natpmp);
    pack.set_str(lt::settings_pack::dht_bootstrap_nodes, "");
    pack.set_bool(lt::settings_pack::enable_ip_notifier, false);
    std::string interfaces;
    for (const std::string& endpoint : settings.listen) {
        interfaces += (interfaces.empty() ? "" : ",") + endpoint;
    }
    pack.set_str(lt::settings_pack::listen_interfaces, interfaces);
    // Connections to peers leave from the addresses we listen on (each player its own).
    std::string outgoing;
    for (const std::string& endpoint : settings.listen) {
        std::string address = endpoint.substr(0, endpoint.rfind(':'));
        if (address.size() > 2 && address.front() == '[') {
            address = address.substr(1, address.size() - 2);
        }
        if (address != "0.0.0.0" && address != "::") {
            outgoing += (outgoing.empty() ? "" : ",") + address;
        }
    }
    pack.set_str(lt::settings_pack::outgoing_interfaces, outgoing);
    // Peers over TCP only. uTP yields to every other flow on the line by design, so between
    // players on fast links it carried pieces at a fraction of what TCP does, and its own
    // congestion control costs CPU per packet.
    pack.set_bool(lt::settings_pack::enable_outgoing_utp, false);
    pack.set_bool(lt::settings_pack::enable_incoming_utp, false);
    pack.set_bool(lt::settings_pack::allow_multiple_connections_per_ip, false);
    pack.set_bool(lt::settings_pack::ssrf_mitigation, true);
    pack.set_bool(lt::settings_pack::validate_https_trackers, true);
    pack.set_bool(lt::settings_pack::allow_idna, false);
    // Obfuscation is offered, never forced: RC4 is no security and costs CPU.
    pack.set_int(lt::settings_pack::out_enc_policy, lt::settings_pack::pe_enabled);
    pack.set_int(lt::settings_pack::in_enc_policy, lt::settings_pack::pe_enabled);
    pack.set_bool(lt::settings_pack::prefer_rc4, false);
    pack.set_str(lt::settings_pack::user_agent, "TEVDownloadV32");
    pack.set_str(lt::settings_pack::peer_fingerprint, kPeerFingerprint);
    pack.set_int(lt::settings_pack::stop_tracker_timeout, 1);
    // A downloading file wants from peers only the pieces handed to them, so it often wants
    // nothing for a while: its connections to seeds must stay for when it does.
    pack.set_bool(lt::settings_pack::close_redundant_connections, false);

    // What peers may cost.
    pack.set_int(lt::settings_pack::connections_limit, limits.connections);
    pack.set_int(lt::settings_pack::max_peerlist_size, limits.peerListSize);
    pack.set_int(lt::settings_pack::max_paused_peerlist_size, limits.pausedPeerListSize);
    pack.set_int(lt::settings_pack::send_buffer_watermark, limits.sendBufferWatermark);
    pack.set_int(lt::settings_pack::send_buffer_low_watermark, limits.sendBufferLowWatermark);
    pack.set_int(lt::settings_pack::max_queued_disk_bytes, limits.queuedDiskBytes);
    pack.set_int(lt::settings_pack::max_allowed_in_request_queue, limits.requestsFromPeer);
    pack.set_int(lt::settings_pack::alert_queue_size, limits.alertQueue);
    pack.set_int(lt::settings_pack::aio_threads, limits.diskThreads);
    pack.set_int(lt::settings_pack::hashing_threads, limits.hashingThreads);

    // The upload cap. A limit of 0 means "unlimited" to libtorrent, so no upload at all is no
    // upload slot at all instead.
    if (settings.uploadKib == 0) {
        pack.set_int(lt::settings_pack::unchoke_slots_limit, 0);
        pack.set_int(lt::settings_pack::upload_rate_limit, 1);
    } else {
        pack.set_int(lt::settings_pack::upload_rate_limit,
                     static_cast<int>(std::min<uint64_t>(settings.uploadKib * 1024, INT32_MAX)));
    }

    pack.set_int(lt::settings_pack::alert_mask,
                 static_cast<int>(static_cast<std::uint32_t>(
                     lt::alert_category::error | lt::alert_category::status |
                     lt::alert_category::storage | lt::alert_category::peer |
                     lt::alert_category::tracker | lt::alert_category::piece_progress)));
    return pack;
}

PeerSession::PeerSession(EventLoop& loop, const SharingSettings& settings, Log log,
                         PeerLimits limits, lt::disk_io_constructor_type diskIo)
    : loop_(loop), settings_(settings), log_(std::move(log)) {
    if (!settings_.sharing) {
        return;
    }
    notifyFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (notifyFd_ < 0) {
        log_("peers: no eventfd; sharing stays off");
        return;
    }
    lt::session_params params(PackFor(settings_, limits));
    // The part file is written with plain positioned writes, as our own transfers write it:
    // no file mapped into memory, no second copy in a cache of libtorrent's.
    params.disk_io_constructor = diskIo ? std::move(diskIo) : lt::posix_disk_io_constructor;
    try {
        session_ = std::make_unique<lt::session>(std::move(params));
    } catch (const std::exception& error) {
        log_(std::string("peers: no session: ") + error.what());
        close(notifyFd_);
        notifyFd_ = -1;
        return;
    }
    // Peers on local networks count against the upload cap too: every address belongs to the
    // global class alone (libtorrent's default exempts local peers).
    lt::ip_filter classes;
    const uint32_t global = 1u << static_cast<uint32_t>(lt::session::global_peer_class_id);
    classes.add_rule(lt::make_address("0.0.0.0"), lt::make_address("255.255.255.255"), global);
    classes.add_rule(lt::make_address("::"),
                     lt::make_address("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"), global);
    session_->set_peer_class_filter(classes);

    const int fd = notifyFd_;
    session_->set_alert_notify([fd] {
        // libtorrent's thread; it must not block or call back into the session.
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t ignored = write(fd, &one, sizeof one);
    });
    loop_.Watch(notifyFd_, EPOLLIN, [this](uint32_t) {
        uint64_t count = 0;
        [[maybe_unused]] ssize_t ignored = read(notifyFd_, &count, sizeof count);
        DrainAlerts();
    });
    // Alerts queued before the notify was set would otherwise wait for the next one.
    DrainAlerts();
}

PeerSession::~PeerSession() {
    if (session_) {
        session_->set_alert_notify([] {});
        loop_.Unwatch(notifyFd_);
        session_.reset();  // ends the network and disk threads; no callback comes afterwards
    }
    if (notifyFd_ >= 0) {
        close(notifyFd_);
    }
}

void PeerSession::DrainAlerts() {
    if (!session_) {
        return;
    }
    std::vector<lt::alert*> alerts;
    // The notify fires only on the way from empty to non-empty: what comes while these are
    // handled is popped on the next round, until the queue is empty.
    for (int round = 0; round < 64; ++round) {
        session_->pop_alerts(&alerts);
        if (alerts.empty()) {
            return;
        }
        for (const lt::alert* alert : alerts) {
            if (const auto* failed = lt::alert_cast<lt::listen_failed_alert>(alert)) {
                log_("peers: " + failed->message());
            } else if (const auto* listening = lt::alert_cast<lt::listen_succeeded_alert>(alert)) {
                log_("peers: " + listening->message());
            }
            if (handler_) {
                handler_(*alert);
            }
        }
    }
    // A queue that keeps refilling: the rest waits for the next turn of the loop, which the
    // eventfd brings (and which a destroyed session no longer watches).
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = write(notifyFd_, &one, sizeof one);
}

}  // namespace tev::localengine
