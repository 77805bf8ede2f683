#include "peers/peer_swarm.h"

#include <unistd.h>

#include <libtorrent/alert_types.hpp>
#include <libtorrent/download_priority.hpp>
#include <libtorrent/peer_info.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/torrent_flags.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

#include <cerrno>
#include <cstring>

namespace tev::localengine {

namespace lt = libtorrent;

PeerSwarm::PeerSwarm(EventLoop& loop, const SharingSettings& settings, PeerSession::Log log,
                     PeerLimits limits)
    : session_(loop, settings, log, limits, GatedDiskIo(gates_)),
      log_(std::move(log)),
      limits_(limits) {
    session_.SetAlertHandler([this](const lt::alert& alert) { OnAlert(alert); });
}

PeerSwarm::~PeerSwarm() {
    session_.SetAlertHandler(nullptr);
}

std::optional<PeerSwarm::FileId> PeerSwarm::AddFile(lt::add_torrent_params params, bool complete,
                                                    PeerFileEvents events, std::string* error) {
    if (!session_.Active()) {
        *error = "sharing is off";
        return std::nullopt;
    }
    auto file = std::make_unique<Shared>();
    file->pieceLength = params.ti->piece_length();
    file->pieces = params.ti->num_pieces();
    file->size = static_cast<uint64_t>(params.ti->total_size());
    file->events = std::move(events);
    file->hash = params.ti->info_hashes();
    // Never the handle of a torrent still leaving the session (it holds no piece and goes).
    params.flags |= lt::torrent_flags::duplicate_is_error;
    params.max_connections = limits_.connectionsPerTorrent;
    params.max_uploads = limits_.uploadSlotsPerTorrent;
    if (complete) {
        // Served as it is; each piece is hashed when a peer first asks for it.
        params.flags |= lt::torrent_flags::seed_mode;
    } else {
        // Nothing is wanted from peers until pieces are handed to them, and the bytes already
        // in the file are not read to be checked: what is ours is offered piece by piece.
        params.piece_priorities.assign(static_cast<size_t>(file->pieces), lt::dont_download);
        params.flags |= lt::torrent_flags::no_verify_files;
        params.have_pieces.resize(file->pieces, false);
        file->gatePath = params.save_path + "/" + params.renamed_files[lt::file_index_t{0}];
        file->gate = gates_->Add(file->gatePath, file->pieces);
    }
    lt::error_code code;
    file->handle = session_.Session()->add_torrent(std::move(params), code);
    if (code) {
        if (!file->gatePath.empty()) {
            gates_->Remove(file->gatePath);
        }
        *error = "the torrent cannot be added: " + code.message();
        return std::nullopt;
    }
    if (complete) {
        file->completeAtMs = EventLoop::NowMs();
    }
    const FileId id = nextId_++;
    file->id = id;
    files_.emplace(id, std::move(file));
    return id;
}

lt::info_hash_t PeerSwarm::RemoveFile(FileId id) {
    auto found = files_.find(id);
    if (found == files_.end()) {
        return {};
    }
    offersUnderWay_ -= std::min(offersUnderWay_, found->second->offered.size());
    Shared& file = *found->second;
    if (file.gate) {
        for (const int piece : file.givenToPeers) {
            file.gate->Close(piece);
        }
        gates_->Remove(file.gatePath);
    }
    session_.Session()->remove_torrent(file.handle);
    const lt::info_hash_t hash = file.hash;
    leaving_[hash] = EventLoop::NowMs();
    files_.erase(found);
    return hash;
}

bool PeerSwarm::Left(const lt::info_hash_t& hash) const {
    auto found = leaving_.find(hash);
    return found == leaving_.end() || EventLoop::NowMs() - found->second >= kLeaveMs;
}

int PeerSwarm::PieceLength(FileId id) const {
    return files_.at(id)->pieceLength;
}

int PeerSwarm::Pieces(FileId id) const {
    return files_.at(id)->pieces;
}

ByteRange PeerSwarm::PieceRange(FileId id, int piece) const {
    const Shared& file = *files_.at(id);
    const uint64_t begin = static_cast<uint64_t>(piece) * static_cast<uint64_t>(file.pieceLength);
    return {begin, std::min(file.size, begin + static_cast<uint64_t>(file.pieceLength))};
}

void PeerSwarm::GivePieces(FileId id, const std::vector<int>& pieces) {
    Shared& file = *files_.at(id);
    std::vector<std::pair<lt::piece_index_t, lt::download_priority_t>> priorities;
    for (const int piece : pieces) {
        if (file.gate && piece >= 0 && piece < file.pieces &&
            file.givenToPeers.insert(piece).second) {
            file.gate->Open(piece);
            priorities.emplace_back(lt::piece_index_t{piece}, lt::default_priority);
        }
    }
    if (!priorities.empty()) {
        file.handle.prioritize_pieces(priorities);
    }
}

void PeerSwarm::TakeBack(FileId id, const std::vector<int>& pieces) {
    Shared& file = *files_.at(id);
    std::vector<std::pair<lt::piece_index_t, lt::download_priority_t>> priorities;
    for (const int piece : pieces) {
        if (file.givenToPeers.erase(piece) > 0) {
            file.gate->Close(piece);
            priorities.emplace_back(lt::piece_index_t{piece}, lt::dont_download);
        }
    }
    if (!priorities.empty()) {
        file.handle.prioritize_pieces(priorities);
    }
}

const std::set<int>& PeerSwarm::PeersPieces(FileId id) const {
    return files_.at(id)->givenToPeers;
}

void PeerSwarm::OfferPiece(FileId id, int piece, int fd) {
    Shared& file = *files_.at(id);
    file.fd = fd;
    if (piece < 0 || piece >= file.pieces || file.givenToPeers.contains(piece) ||
        file.offered.contains(piece) || !file.queued.insert(piece).second) {
        return;
    }
    file.offerQueue.push_back(piece);
    PumpOffers(file);
}

void PeerSwarm::PumpAll() {
    for (auto& [id, file] : files_) {
        PumpOffers(*file);
    }
}

void PeerSwarm::PumpOffers(Shared& file) {
    while (offersUnderWay_ < kOffersAtOnce && !file.offerQueue.empty() && file.fd >= 0) {
        const int piece = file.offerQueue.front();
        file.offerQueue.pop_front();
        file.queued.erase(piece);
        const ByteRange range = PieceRange(file.id, piece);
        std::vector<char> data(range.Length());
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t got = pread(file.fd, data.data() + done, data.size() - done,
                                      static_cast<off_t>(range.begin + done));
            if (got <= 0) {
                break;
            }
            done += static_cast<size_t>(got);
        }
        if (done != data.size()) {
            log_("peers: cannot read piece " + std::to_string(piece) +
                 " back: " + (errno != 0 ? std::strerror(errno) : "short file"));
            continue;
        }
        // Not blocking: libtorrent's thread takes the buffer, its hashing threads check it.
        file.handle.add_piece(lt::piece_index_t{piece}, std::move(data));
        file.offered.insert(piece);
        ++offersUnderWay_;
    }
}

int PeerSwarm::Peers(FileId id) const {
    return files_.at(id)->handle.status({}).num_peers;
}

std::vector<std::string> PeerSwarm::Fetchers(FileId id, std::string* self) const {
    std::vector<lt::peer_info> peers;
    files_.at(id)->handle.get_peer_info(peers);
    std::vector<std::string> fetchers;
    self->clear();
    for (const lt::peer_info& peer : peers) {
        if (self->empty()) {
            *self = peer.local_endpoint.address().to_string();
        }
        // Our engine's peer id begins with its fingerprint.
        const bool ours = std::memcmp(peer.pid.data(), kPeerFingerprint, 3) == 0;
        if (ours && !(peer.flags & lt::peer_info::seed)) {
            fetchers.push_back(peer.ip.address().to_string());
        }
    }
    return fetchers;
}

std::vector<int> PeerSwarm::Availability(FileId id) const {
    std::vector<int> availability;
    files_.at(id)->handle.piece_availability(availability);
    return availability;
}

uint64_t PeerSwarm::BytesFromPeers(FileId id) const {
    return files_.at(id)->fromPeers;
}

uint64_t PeerSwarm::BytesUploaded(FileId id) const {
    const lt::torrent_status status = files_.at(id)->handle.status({});
    return static_cast<uint64_t>(std::max<int64_t>(status.all_time_upload, 0));
}

bool PeerSwarm::ShareDone(FileId id, double ratio, uint32_t minutes) const {
    const Shared& file = *files_.at(id);
    if (file.completeAtMs == 0) {
        return false;
    }
    if (EventLoop::NowMs() - file.completeAtMs >= static_cast<int64_t>(minutes) * 60000) {
        return true;
    }
    return static_cast<double>(BytesUploaded(id)) >= ratio * static_cast<double>(file.size);
}

PeerSwarm::Shared* PeerSwarm::Find(const lt::torrent_handle& handle) {
    for (auto& [id, file] : files_) {
        if (file->handle == handle) {
            return file.get();
        }
    }
    return nullptr;
}

void PeerSwarm::OnAlert(const lt::alert& alert) {
    if (const auto* banned = lt::alert_cast<lt::peer_ban_alert>(&alert)) {
        log_("peers: " + banned->message());
        return;
    }
    if (lt::alert_cast<lt::tracker_error_alert>(&alert) != nullptr ||
        lt::alert_cast<lt::tracker_reply_alert>(&alert) != nullptr) {
        log_("peers: " + alert.message());
        return;
    }
    if (const auto* removed = lt::alert_cast<lt::torrent_removed_alert>(&alert)) {
        leaving_.erase(removed->info_hashes);
        if (onLeft_) {
            onLeft_();
        }
        return;
    }
    const auto* about = dynamic_cast<const lt::torrent_alert*>(&alert);
    Shared* file = about != nullptr ? Find(about->handle) : nullptr;
    if (file == nullptr) {
        return;
    }
    if (const auto* finished = lt::alert_cast<lt::piece_finished_alert>(&alert)) {
        const int piece = static_cast<int>(finished->piece_index);
        if (file->offered.erase(piece) > 0) {
            --offersUnderWay_;
            PumpAll();
            return;  // our own piece, now offered to peers
        }
        if (file->givenToPeers.erase(piece) > 0) {
            const ByteRange range = PieceRange(file->id, piece);
            file->fromPeers += range.Length();
            if (file->events.pieceFromPeers) {
                file->events.pieceFromPeers(range.begin, range.end);
            }
        }
    } else if (const auto* failed = lt::alert_cast<lt::hash_failed_alert>(&alert)) {
        const int piece = static_cast<int>(failed->piece_index);
        if (file->offered.erase(piece) > 0) {
            // The server's bytes disagree with the torrent: it describes another version of the
            // file, so nothing peers sent can be trusted to belong with the server's bytes.
            --offersUnderWay_;
            log_("peers: piece " + std::to_string(piece) +
                 " from the server does not match the torrent");
            if (file->events.mismatch) {
                file->events.mismatch();
                return;  // the file may be gone
            }
            PumpAll();
        } else if (file->givenToPeers.contains(piece) && file->events.pieceRefused) {
            file->events.pieceRefused(piece);
        }
    } else if (const auto* error = lt::alert_cast<lt::file_error_alert>(&alert)) {
        if (file->events.failed) {
            file->events.failed(error->message());
        }
    } else if (const auto* error = lt::alert_cast<lt::torrent_error_alert>(&alert)) {
        if (file->events.failed) {
            file->events.failed(error->message());
        }
    }
}

}  // namespace tev::localengine
