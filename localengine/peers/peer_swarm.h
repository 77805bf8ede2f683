// PeerSwarm: the files the engine shares with peers, each a torrent in the engine's one
// PeerSession over the job's own file. Who writes which bytes is settled per piece:
//
// - a piece is the peers' only once handed to them (GivePieces); libtorrent never asks peers for
//   any other piece, so a peer's byte can never land where our HTTP transfers write;
// - a piece our HTTP transfers put on disk is offered to peers (OfferPiece): read back and
//   handed to libtorrent, which hashes it on its own threads before any peer sees it;
// - a piece peers sent counts once libtorrent verified it and wrote it (OnPeerPiece); a piece
//   that fails its hash is asked for again, and a peer that sent it alone is banned.
#pragma once

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/fwd.hpp>
#include <libtorrent/info_hash.hpp>
#include <libtorrent/torrent_handle.hpp>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "peers/peer_session.h"
#include "peers/piece_gate.h"
#include "transfer/byte_ranges.h"

namespace tev::localengine {

struct PeerFileEvents {
    // A piece from peers, verified and written: [begin, end) of the file is on disk.
    std::function<void(uint64_t begin, uint64_t end)> pieceFromPeers;
    // A piece handed to peers came back refused (its hash failed); libtorrent asks again.
    std::function<void(int piece)> pieceRefused;
    // A piece from the server failed the torrent's hash: the torrent is of another version.
    std::function<void()> mismatch;
    // The torrent cannot go on (a disk error of libtorrent's, a removed file): peers are done.
    std::function<void(const std::string& why)> failed;
};

class PeerSwarm {
  public:
    using FileId = uint64_t;
    // Pieces read back and handed to libtorrent at once, each up to kMaxPieceLength bytes.
    static constexpr size_t kOffersAtOnce = 4;

    PeerSwarm(EventLoop& loop, const SharingSettings& settings, PeerSession::Log log,
              PeerLimits limits = {});
    ~PeerSwarm();
    PeerSwarm(const PeerSwarm&) = delete;
    PeerSwarm& operator=(const PeerSwarm&) = delete;

    bool Active() const { return session_.Active(); }
    PeerSession& Session() { return session_; }

    // Adds a judged torrent (JudgeTorrent). Downloading: no piece is wanted from peers until
    // given. Complete: the file is served, each piece hashed when first asked for (seed mode).
    std::optional<FileId> AddFile(libtorrent::add_torrent_params params, bool complete,
                                  PeerFileEvents events, std::string* error);
    // The file is no longer shared; its torrent leaves the session, which takes a while on
    // libtorrent's thread: Left(returned hash) tells when it has gone.
    libtorrent::info_hash_t RemoveFile(FileId id);
    // The torrent is out of the session (or kLeaveMs passed): its file may be renamed, and the
    // same torrent added again.
    bool Left(const libtorrent::info_hash_t& hash) const;
    static constexpr int64_t kLeaveMs = 5000;
    // Called (on the loop) whenever a removed torrent has left the session.
    void SetLeftHandler(std::function<void()> handler) { onLeft_ = std::move(handler); }
    bool HasFile(FileId id) const { return files_.contains(id); }

    int PieceLength(FileId id) const;
    int Pieces(FileId id) const;
    ByteRange PieceRange(FileId id, int piece) const;

    // Peers may supply these pieces from now on.
    void GivePieces(FileId id, const std::vector<int>& pieces);
    // These pieces are no longer the peers': not asked for, and nothing of them is written,
    // even a block already on its way.
    void TakeBack(FileId id, const std::vector<int>& pieces);
    // The pieces handed to peers and not yet verified.
    const std::set<int>& PeersPieces(FileId id) const;
    // A piece our HTTP transfers wrote whole into fd: read back and offered to peers once
    // libtorrent has hashed it. Queued while kOffersAtOnce are under way.
    void OfferPiece(FileId id, int piece, int fd);

    // Connected peers, and how many of them hold each piece (both ask libtorrent's thread).
    int Peers(FileId id) const;
    // The addresses of the connected peers that run this engine and still download (the players
    // that share the server's work), and in self this player's own address on those connections.
    std::vector<std::string> Fetchers(FileId id, std::string* self) const;
    std::vector<int> Availability(FileId id) const;

    uint64_t BytesFromPeers(FileId id) const;
    uint64_t BytesUploaded(FileId id) const;
    // Seconds since the file was complete and shared, and its share ratio (uploaded / size).
    bool ShareDone(FileId id, double ratio, uint32_t minutes) const;

  private:
    struct Shared {
        FileId id = 0;
        libtorrent::torrent_handle handle;
        libtorrent::info_hash_t hash;
        PeerFileEvents events;
        int pieceLength = 0;
        int pieces = 0;
        uint64_t size = 0;
        int fd = -1;
        std::string gatePath;  // empty for a complete file: nothing of it is written
        std::shared_ptr<PieceGate> gate;
        std::set<int> givenToPeers;
        std::set<int> offered;       // handed to libtorrent, hash not yet known
        std::deque<int> offerQueue;  // waiting for room
        std::set<int> queued;
        uint64_t fromPeers = 0;
        int64_t completeAtMs = 0;  // 0 while downloading
    };
    void OnAlert(const libtorrent::alert& alert);
    Shared* Find(const libtorrent::torrent_handle& handle);
    void PumpOffers(Shared& file);
    void PumpAll();  // room for offers came free: any file's may go

    std::shared_ptr<PieceGates> gates_ = std::make_shared<PieceGates>();
    PeerSession session_;
    PeerSession::Log log_;
    PeerLimits limits_;
    FileId nextId_ = 1;
    std::map<FileId, std::unique_ptr<Shared>> files_;
    std::map<libtorrent::info_hash_t, int64_t> leaving_;  // removed, not yet gone: since when
    std::function<void()> onLeft_;
    size_t offersUnderWay_ = 0;
};

}  // namespace tev::localengine
