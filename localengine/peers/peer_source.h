// PeerSource: peers as a second source of a job's files, beside our HTTP transfers. When a file's
// server answers ranges, its torrent is looked for (a Link header on that answer, else
// "<URL>.torrent" for a large file), fetched within bounds and judged; then peers are handed
// pieces that they hold and that HTTP has not taken, HTTP keeps off those, each side's verified
// pieces count for the other, and a finished file is served from its final name until the
// share ratio or time is reached. Everything runs on the engine's loop.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "peers/peer_swarm.h"
#include "transfer/event_loop.h"
#include "transfer/multi_driver.h"
#include "transfer/peer_hooks.h"
#include "transfer/transfers.h"

namespace tev::localengine {

struct PeerSourceTimings {
    int tickMs = 100;            // pieces handed out and taken back, sharing judged
    int stalledPieceMs = 20000;  // a piece peers were given and did not bring: back to HTTP
    int peerlessPieceMs = 3000;  // the same while no peer is connected at all
    size_t piecesPerPeer = 8;    // pieces handed to peers at once, per connected peer
    size_t maxPiecesOut = 128;
    // An HTTP range while peers are connected (at least one piece): see PiecePlan::maxRange.
    uint64_t rangeAmongPeers = 1 << 20;
    uint32_t httpConnectionsAmongPeers = 2;
    // Its own blocks done, a player waits this long for the others' before it fetches them too.
    int othersBlocksMs = 3000;
    // Pieces handed out and none brought for this long: what peers hold no longer keeps HTTP off.
    int peersQuietMs = 5000;
};

class PeerSource final : public PeerHooks {
  public:
    PeerSource(EventLoop& loop, Transfers& transfers, const SharingSettings& settings,
               PeerSession::Log log, PeerSourceTimings timings = {});
    ~PeerSource() override;
    PeerSource(const PeerSource&) = delete;
    PeerSource& operator=(const PeerSource&) = delete;

    bool Active() const { return settings_.sharing; }
    // A finished file is still being shared, or will be once its torrent is here: the engine
    // stays.
    bool Sharing() const;

    void FileAnswered(uint32_t job, uint32_t file, const PeerFileFacts& facts) override;
    void AdjustPlan(uint32_t job, uint32_t file, PiecePlan& plan) override;
    uint32_t HttpConnections(uint32_t job, uint32_t file) override;
    void OnDisk(uint32_t job, uint32_t file, const ByteRanges& written, int fd) override;
    bool ReadyToComplete(uint32_t job, uint32_t file) override;
    bool PeersHoldMissing(uint32_t job, uint32_t file) override;
    void FileComplete(uint32_t job, uint32_t file, const std::string& target) override;
    void FileClosed(uint32_t job, uint32_t file) override;

  private:
    using Key = std::pair<uint32_t, uint32_t>;
    struct Entry {
        Key key;
        PeerFileFacts facts;
        std::string torrentUrl;
        CURL* fetch = nullptr;  // while the torrent is being fetched
        curl_slist* fetchHeaders = nullptr;
        std::string body;
        bool bodyTooLarge = false;
        std::string torrent;  // the judged torrent's bytes
        std::optional<PeerSwarm::FileId> id;
        // Complete: its torrent is leaving the session before the part file is renamed.
        std::optional<libtorrent::info_hash_t> leaving;
        bool completing = false;     // every byte on disk: a torrent fetched now is not added
        std::string completeTarget;  // complete before its torrent came: shared once it does
        uint64_t startAt = 0;
        bool waitsForPeers = false;     // its server cannot be reached: logged once
        std::vector<int> availability;  // connected peers holding each piece, as of the last tick
        ByteRanges peersHold;           // the pieces some peer holds and HTTP keeps off
        std::vector<bool> httpOnly;     // pieces peers were given and did not bring: HTTP's
        std::vector<bool> offered;
        std::map<int, int64_t> givenAt;
        int peers = 0;
        uint64_t fromPeers = 0;
        int64_t lastFromPeersMs = 0;  // when peers last brought a piece
        // While other players of ours fetch the file too, each block of it falls to one of them
        // (the same choice in every player), so that the server sends it about once.
        std::vector<std::string> fetchers;  // their addresses, this player's own included
        ByteRanges othersBlocks;            // the blocks that fall to the others
        int64_t idleSinceMs = 0;  // none of its blocks left, others' still missing: since when
        bool anyBlock = false;    // others' blocks took too long: any missing one is fetched
    };
    struct Seeding {
        std::string target;
        PeerSwarm::FileId id = 0;
    };

    static size_t FetchWrite(char* data, size_t size, size_t count, void* entry);
    void StartFetch(Entry& entry);
    void AfterFetch();
    void EndFetch(Entry& entry);
    void Attach(Entry& entry, const std::string& torrent);
    PeerSwarm& Swarm();  // built with the first torrent that is added
    void StartSharing(const Entry& entry, const std::string& target);
    void SettleLeft();  // files whose torrent has left the session complete now
    void Tick();
    void HandOut(Entry& entry);
    void LookAtPeers(Entry& entry);
    bool AssignBlocks(Entry& entry);
    uint64_t NextStart(Entry& entry, const ByteRanges& taken, const ByteRanges& own);
    void Detach(Entry& entry);

    EventLoop& loop_;
    Transfers& transfers_;
    SharingSettings settings_;
    PeerSession::Log log_;
    PeerSourceTimings timings_;
    // Built with the first torrent: an engine whose servers publish none never listens.
    std::unique_ptr<PeerSwarm> swarm_;
    std::unique_ptr<MultiDriver> fetches_;
    std::map<Key, std::unique_ptr<Entry>> entries_;
    std::map<std::string, std::string> torrentsByUrl_;  // fetched and judged, at most 64
    std::vector<Seeding> seeding_;
    EventLoop::TimerId tick_ = 0;
    std::set<Key> refusedTorrents_;  // files whose torrent did not match their server's file
    std::shared_ptr<char> alive_ = std::make_shared<char>();
    std::minstd_rand random_{std::random_device{}()};  // where a player's HTTP goes next
};

}  // namespace tev::localengine
