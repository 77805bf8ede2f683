#include "peers/peer_source.h"

#include <curl/curl.h>

#include <libtorrent/add_torrent_params.hpp>

#include <algorithm>

#include "peers/block_share.h"
#include "peers/torrent_check.h"
#include "transfer/range_request.h"

namespace tev::localengine {

PeerSource::PeerSource(EventLoop& loop, Transfers& transfers, const SharingSettings& settings,
                       PeerSession::Log log, PeerSourceTimings timings)
    : loop_(loop), transfers_(transfers), settings_(settings), log_(log), timings_(timings) {
    if (!settings_.sharing) {
        return;
    }
    fetches_ = std::make_unique<MultiDriver>(loop_, 4, [this] { AfterFetch(); });
    transfers_.SetPeerHooks(this);
    tick_ = loop_.AddTimer(timings_.tickMs, [this] { Tick(); });
}

PeerSource::~PeerSource() {
    if (!settings_.sharing) {
        return;
    }
    transfers_.SetPeerHooks(nullptr);
    loop_.CancelTimer(tick_);
    for (auto& [key, entry] : entries_) {
        EndFetch(*entry);
    }
}

// ---- finding the torrent ----

void PeerSource::FileAnswered(uint32_t job, uint32_t file, const PeerFileFacts& facts) {
    if (facts.limited || facts.size == 0) {
        return;  // a limited job keeps to its rate: nothing shared
    }
    const Key key{job, file};
    if (entries_.contains(key)) {
        return;  // looked for once per file
    }
    auto entry = std::make_unique<Entry>();
    entry->key = key;
    if (refusedTorrents_.contains(key)) {
        return;  // its torrent did not match the server's file once: not again in this job
    }
    entry->facts = facts;
    Entry& added = *entry;
    entries_.emplace(key, std::move(entry));
    std::optional<std::string> url = TorrentLinkOf(facts.links, facts.url);
    if (!url && facts.size >= kTorrentGuessSize) {
        url = TorrentUrlBeside(facts.url);
    }
    if (!url) {
        return;
    }
    std::string why;
    if (!TorrentUrlAllowed(facts.url, *url, &why)) {
        log_("peers: " + facts.target + ": torrent " + *url + " ignored: " + why);
        return;
    }
    added.torrentUrl = *url;
    auto known = torrentsByUrl_.find(*url);
    if (known != torrentsByUrl_.end()) {
        Attach(added, known->second);
        return;
    }
    StartFetch(added);
}

size_t PeerSource::FetchWrite(char* data, size_t size, size_t count, void* userData) {
    auto* entry = static_cast<Entry*>(userData);
    const size_t length = size * count;
    if (entry->body.size() + length > kTorrentMaxBytes) {
        entry->bodyTooLarge = true;
        return 0;
    }
    entry->body.append(data, length);
    return length;
}

void PeerSource::StartFetch(Entry& entry) {
    RangeRequest request;
    request.url = entry.torrentUrl;
    request.begin = 0;
    request.end = kTorrentMaxBytes + 1;  // one byte more tells that it is too large
    request.connectTimeoutSeconds = 5;
    request.stallSeconds = kTorrentFetchSeconds;
    CURL* easy = NewRangeRequest(request, &entry.fetchHeaders);
    if (easy == nullptr) {
        return;
    }
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &entry);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &PeerSource::FetchWrite);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &entry);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, static_cast<long>(kTorrentFetchSeconds));
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kTorrentMaxBytes));
    entry.fetch = easy;
    if (curl_multi_add_handle(static_cast<CURLM*>(fetches_->multi()), easy) != CURLM_OK) {
        EndFetch(entry);
    }
}

void PeerSource::EndFetch(Entry& entry) {
    if (entry.fetch != nullptr) {
        curl_multi_remove_handle(static_cast<CURLM*>(fetches_->multi()), entry.fetch);
        curl_easy_cleanup(entry.fetch);
        entry.fetch = nullptr;
    }
    curl_slist_free_all(entry.fetchHeaders);
    entry.fetchHeaders = nullptr;
}

void PeerSource::AfterFetch() {
    if (fetches_ == nullptr || fetches_->InCurl()) {
        return;
    }
    CURLM* multi = static_cast<CURLM*>(fetches_->multi());
    int left = 0;
    std::vector<Key> settled;  // files held at one connection while their torrent came
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
        if (message->msg != CURLMSG_DONE) {
            continue;
        }
        Entry* entry = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &entry);
        if (entry == nullptr) {
            continue;
        }
        long status = 0;
        curl_easy_getinfo(message->easy_handle, CURLINFO_RESPONSE_CODE, &status);
        char* effective = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_EFFECTIVE_URL, &effective);
        const std::string finalUrl = effective != nullptr ? effective : entry->torrentUrl;
        const CURLcode result = message->data.result;
        EndFetch(*entry);
        settled.push_back(entry->key);
        std::string why;
        if (entry->bodyTooLarge) {
            why = "larger than 4 MiB";
        } else if (result != CURLE_OK) {
            why = curl_easy_strerror(result);
        } else if (status != 200 && status != 206) {
            why = "HTTP status " + std::to_string(status);
        } else if (!TorrentUrlAllowed(entry->facts.url, finalUrl, &why)) {
            why = "redirected: " + why;
        }
        std::string body = std::move(entry->body);
        entry->body.clear();
        if (!why.empty()) {
            log_("peers: " + entry->facts.target + ": torrent " + entry->torrentUrl +
                 " not used: " + why);
            continue;
        }
        Attach(*entry, body);
    }
    for (const Key& key : settled) {
        auto found = entries_.find(key);
        if (found != entries_.end() && !found->second->completeTarget.empty()) {
            StartSharing(*found->second, found->second->completeTarget);
            entries_.erase(found);
            continue;
        }
        transfers_.PeersSettled(key.first, key.second);
    }
}

void PeerSource::Attach(Entry& entry, const std::string& torrent) {
    std::string refusal;
    std::optional<libtorrent::add_torrent_params> params =
        JudgeTorrent(torrent, entry.facts.size, entry.facts.partPath, &refusal);
    if (!params) {
        log_("peers: " + entry.facts.target + ": torrent " + entry.torrentUrl +
             " refused: " + refusal);
        return;
    }
    if (torrentsByUrl_.size() >= 64) {
        torrentsByUrl_.erase(torrentsByUrl_.begin());
    }
    torrentsByUrl_[entry.torrentUrl] = torrent;
    entry.torrent = torrent;
    if (entry.completing) {
        return;  // every byte came over HTTP meanwhile: the torrent only serves it, once complete
    }
    const Key key = entry.key;
    PeerFileEvents events;
    events.pieceFromPeers = [this, key](uint64_t begin, uint64_t end) {
        auto found = entries_.find(key);
        if (found != entries_.end()) {
            found->second->fromPeers += end - begin;
            found->second->lastFromPeersMs = EventLoop::NowMs();
            const int piece = static_cast<int>(begin / swarm_->PieceLength(*found->second->id));
            found->second->givenAt.erase(piece);
            // libtorrent has it: never offered back to it.
            if (static_cast<size_t>(piece) < found->second->offered.size()) {
                found->second->offered[static_cast<size_t>(piece)] = true;
            }
        }
        transfers_.PeerBytes(key.first, key.second, begin, end);
    };
    events.pieceRefused = [this, key](int piece) {
        auto found = entries_.find(key);
        if (found != entries_.end()) {
            log_("peers: " + found->second->facts.target + ": piece " + std::to_string(piece) +
                 " from peers failed its hash: asked for again");
        }
    };
    events.mismatch = [this, key] {
        // Not from inside libtorrent's alert: the file's reset takes its torrent away.
        loop_.AddTimer(0, [this, key, alive = std::weak_ptr<char>(alive_)] {
            if (alive.expired()) {
                return;
            }
            auto found = entries_.find(key);
            if (found == entries_.end()) {
                return;
            }
            const bool hadPeerBytes = found->second->fromPeers > 0;
            log_("peers: " + found->second->facts.target +
                 ": the torrent does not match the server's file: peers left out");
            Detach(*found->second);
            found->second->torrent.clear();  // nor shared from it once complete
            refusedTorrents_.insert(key);
            if (hadPeerBytes) {
                transfers_.DropPeerBytes(key.first, key.second);
            }
        });
    };
    events.failed = [this, key](const std::string& why) {
        auto found = entries_.find(key);
        if (found != entries_.end()) {
            log_("peers: " + found->second->facts.target + ": " + why + ": peers left out");
            Detach(*found->second);
        }
    };
    if (!Swarm().Active()) {
        return;
    }
    std::string error;
    entry.id = swarm_->AddFile(std::move(*params), false, std::move(events), &error);
    if (!entry.id) {
        log_("peers: " + entry.facts.target + ": " + error);
        return;
    }
    const int pieces = swarm_->Pieces(*entry.id);
    entry.offered.assign(static_cast<size_t>(pieces), false);
    entry.httpOnly.assign(static_cast<size_t>(pieces), false);
    // Players start their HTTP ranges at different pieces, so that they have pieces to trade.
    std::uniform_int_distribution<int> pick(0, std::max(pieces - 1, 0));
    entry.startAt = static_cast<uint64_t>(pick(random_)) *
                    static_cast<uint64_t>(swarm_->PieceLength(*entry.id));
    log_("peers: " + entry.facts.target + ": shared through " + entry.torrentUrl + " (" +
         std::to_string(pieces) + " pieces)");
}

bool PeerSource::Sharing() const {
    return !seeding_.empty() ||
           std::any_of(entries_.begin(), entries_.end(),
                       [](const auto& entry) { return !entry.second->completeTarget.empty(); });
}

PeerSwarm& PeerSource::Swarm() {
    if (!swarm_) {
        swarm_ = std::make_unique<PeerSwarm>(loop_, settings_, log_);
        // Not from inside libtorrent's alert: completing a file adds its torrent again.
        swarm_->SetLeftHandler([this] {
            loop_.AddTimer(0, [this, alive = std::weak_ptr<char>(alive_)] {
                if (!alive.expired()) {
                    SettleLeft();
                }
            });
        });
    }
    return *swarm_;
}

void PeerSource::SettleLeft() {
    std::vector<Key> left;
    for (auto& [key, entry] : entries_) {
        if (entry->leaving && swarm_->Left(*entry->leaving)) {
            entry->leaving.reset();
            left.push_back(key);
        }
    }
    for (const Key& key : left) {
        transfers_.PeersSettled(key.first, key.second);  // may complete and drop the entry
    }
}

// ---- the two sources side by side ----

void PeerSource::AdjustPlan(uint32_t job, uint32_t file, PiecePlan& plan) {
    auto found = entries_.find({job, file});
    if (found == entries_.end() || !found->second->id) {
        return;
    }
    Entry& entry = *found->second;
    const ByteRanges own = plan.taken;  // on disk or asked for over HTTP
    const PeerSwarm::FileId id = *entry.id;
    plan.pieceSize = static_cast<uint64_t>(swarm_->PieceLength(id));
    for (const int piece : swarm_->PeersPieces(id)) {
        const ByteRange range = swarm_->PieceRange(id, piece);
        plan.taken.Add(range.begin, range.end);
    }
    if (entry.peers == 0) {
        // Alone, HTTP goes on as without peers, but from this player's own place in the file.
        plan.startAt = entry.startAt;
        return;
    }
    // What a peer holds is the peers' to bring: the server sends each piece to the swarm about
    // once, and HTTP fetches only what nobody has yet, in short ranges.
    for (const ByteRange& held : entry.peersHold.Ranges()) {
        plan.taken.Add(held.begin, held.end);
    }
    if (!entry.anyBlock) {
        for (const ByteRange& theirs : entry.othersBlocks.Ranges()) {
            plan.taken.Add(theirs.begin, theirs.end);
        }
    }
    plan.maxRange = timings_.rangeAmongPeers;
    plan.startAt = NextStart(entry, plan.taken, own);
}

uint32_t PeerSource::HttpConnections(uint32_t job, uint32_t file) {
    auto found = entries_.find({job, file});
    if (found == entries_.end()) {
        return 0;
    }
    const Entry& entry = *found->second;
    if (entry.fetch != nullptr) {
        return 1;  // its torrent is being fetched: a moment, and then peers may bring the rest
    }
    return entry.id && entry.peers > 0 ? timings_.httpConnectionsAmongPeers : 0;
}

uint64_t PeerSource::NextStart(Entry& entry, const ByteRanges& taken, const ByteRanges& own) {
    const uint64_t size = entry.facts.size;
    const uint64_t length = static_cast<uint64_t>(swarm_->PieceLength(*entry.id));
    // On from where this player's own ranges end...
    uint64_t at = entry.startAt;
    for (const ByteRange& held : own.Ranges()) {
        if (held.begin <= at && at < held.end) {
            at = (held.end + length - 1) / length * length;
            break;
        }
    }
    if (at < size && !taken.Covers(at, at + 1)) {
        entry.startAt = at;
        return at;
    }
    // ...unless that runs into pieces another player fetched: just past them lies what that
    // player is fetching now, not yet announced. Instead somewhere in the middle of a stretch
    // nobody holds, where no other player's HTTP is likely to be.
    const std::vector<ByteRange> missing = taken.Missing(size);
    if (missing.empty()) {
        return entry.startAt;
    }
    // A stretch at random, the longer the likelier (players that jump at once land apart).
    uint64_t free = 0;
    for (const ByteRange& range : missing) {
        free += range.Length();
    }
    uint64_t point = std::uniform_int_distribution<uint64_t>(0, free - 1)(random_);
    ByteRange stretch = missing.back();
    for (const ByteRange& range : missing) {
        if (point < range.Length()) {
            stretch = range;
            break;
        }
        point -= range.Length();
    }
    const uint64_t first = (stretch.begin + length - 1) / length;
    const uint64_t last = (stretch.end == size ? stretch.end + length - 1 : stretch.end) / length;
    if (last <= first) {
        entry.startAt = stretch.begin;  // no whole piece free: what there is
        return entry.startAt;
    }
    const uint64_t count = last - first;
    std::uniform_int_distribution<uint64_t> pick(count / 4, count - 1 - count / 4);
    entry.startAt = std::min((first + pick(random_)) * length, size - 1);
    return entry.startAt;
}

void PeerSource::OnDisk(uint32_t job, uint32_t file, const ByteRanges& written, int fd) {
    auto found = entries_.find({job, file});
    if (found == entries_.end() || !found->second->id) {
        return;
    }
    Entry& entry = *found->second;
    if (entry.peers == 0) {
        // Nobody to offer to: no piece is read back or hashed. A player alone pays nothing;
        // once peers come, the next checkpoint offers what is on disk by then.
        return;
    }
    const PeerSwarm::FileId id = *entry.id;
    const uint64_t length = static_cast<uint64_t>(swarm_->PieceLength(id));
    for (const ByteRange& range : written.Ranges()) {
        for (uint64_t piece = (range.begin + length - 1) / length; piece < entry.offered.size();
             ++piece) {
            const ByteRange bounds = swarm_->PieceRange(id, static_cast<int>(piece));
            if (bounds.end > range.end) {
                break;
            }
            if (!entry.offered[piece]) {
                entry.offered[piece] = true;
                if (!swarm_->PeersPieces(id).contains(static_cast<int>(piece))) {
                    swarm_->OfferPiece(id, static_cast<int>(piece), fd);
                }
            }
        }
    }
}

void PeerSource::LookAtPeers(Entry& entry) {
    const PeerSwarm::FileId id = *entry.id;
    const int peers = swarm_->Peers(id);
    if (peers != entry.peers) {
        log_("peers: " + entry.facts.target + ": " + std::to_string(peers) + " peers connected");
    }
    entry.peers = peers;
    ByteRanges hold;
    if (peers > 0) {
        entry.availability = swarm_->Availability(id);
        for (size_t piece = 0; piece < entry.availability.size() && piece < entry.httpOnly.size();
             ++piece) {
            if (entry.availability[piece] > 0 && !entry.httpOnly[piece]) {
                const ByteRange range = swarm_->PieceRange(id, static_cast<int>(piece));
                hold.Add(range.begin, range.end);
            }
        }
    } else {
        entry.availability.clear();
    }
    // Peers that hold pieces but bring none (slow, or claiming pieces they do not have) do not
    // keep HTTP off them: only what was handed to them stays theirs, until it is taken back.
    if (!entry.givenAt.empty()) {
        int64_t earliest = INT64_MAX;
        for (const auto& [piece, since] : entry.givenAt) {
            earliest = std::min(earliest, since);
        }
        if (EventLoop::NowMs() - std::max(entry.lastFromPeersMs, earliest) >=
            timings_.peersQuietMs) {
            hold.Clear();
        }
    }
    bool changed = AssignBlocks(entry);
    if (!entry.anyBlock && !entry.othersBlocks.Empty()) {
        // Its own blocks all fetched or held while others' are still missing: after a while
        // they are fetched here too (their player may be slow, or gone).
        ByteRanges spokenFor;  // on disk, asked for, held by peers or handed to them
        ByteRanges asking;
        transfers_.HttpHolds(entry.key.first, entry.key.second, &spokenFor, &asking);
        for (const ByteRange& range : asking.Ranges()) {
            spokenFor.Add(range.begin, range.end);
        }
        for (const ByteRange& range : hold.Ranges()) {
            spokenFor.Add(range.begin, range.end);
        }
        for (const int piece : swarm_->PeersPieces(id)) {
            const ByteRange range = swarm_->PieceRange(id, piece);
            spokenFor.Add(range.begin, range.end);
        }
        bool ownLeft = false;
        for (const ByteRange& missing : spokenFor.Missing(entry.facts.size)) {
            if (!entry.othersBlocks.Covers(missing.begin, missing.end)) {
                ownLeft = true;
                break;
            }
        }
        const int64_t now = EventLoop::NowMs();
        if (ownLeft || spokenFor.Covers(0, entry.facts.size)) {
            entry.idleSinceMs = 0;
        } else if (entry.idleSinceMs == 0) {
            entry.idleSinceMs = now;
        } else if (now - entry.idleSinceMs >= timings_.othersBlocksMs) {
            entry.anyBlock = true;
            changed = true;
        }
    }
    if (changed || hold != entry.peersHold) {
        entry.peersHold = std::move(hold);
        // What peers hold changed (a peer left, or a piece may be HTTP's again): the planner
        // looks again.
        transfers_.PeersSettled(entry.key.first, entry.key.second);
    }
}

bool PeerSource::AssignBlocks(Entry& entry) {
    const PeerSwarm::FileId id = *entry.id;
    std::string self;
    std::vector<std::string> fetchers;
    if (entry.peers > 0) {
        fetchers = swarm_->Fetchers(id, &self);
    }
    if (!fetchers.empty()) {
        fetchers.push_back(self);
        std::sort(fetchers.begin(), fetchers.end());
    }
    if (fetchers == entry.fetchers) {
        return false;
    }
    entry.fetchers = fetchers;
    const uint64_t length = static_cast<uint64_t>(swarm_->PieceLength(id));
    const uint64_t block = std::max(timings_.rangeAmongPeers / length, uint64_t{1}) * length;
    entry.othersBlocks = OthersBlocks(fetchers, self, entry.facts.size, block);
    return true;
}

void PeerSource::HandOut(Entry& entry) {
    const PeerSwarm::FileId id = *entry.id;
    LookAtPeers(entry);
    const int64_t now = EventLoop::NowMs();
    // Pieces peers did not bring in time go back to HTTP, for good.
    std::vector<int> back;
    for (const auto& [piece, since] : entry.givenAt) {
        const int64_t limit = entry.peers > 0 ? timings_.stalledPieceMs : timings_.peerlessPieceMs;
        if (now - since >= limit) {
            back.push_back(piece);
        }
    }
    if (!back.empty()) {
        swarm_->TakeBack(id, back);
        for (const int piece : back) {
            entry.givenAt.erase(piece);
            entry.httpOnly[static_cast<size_t>(piece)] = true;
        }
        transfers_.PeersSettled(entry.key.first, entry.key.second);  // HTTP may take them now
    }
    if (entry.peers == 0) {
        return;
    }
    const size_t wanted =
        std::min(timings_.maxPiecesOut, timings_.piecesPerPeer * static_cast<size_t>(entry.peers));
    if (swarm_->PeersPieces(id).size() >= wanted) {
        return;
    }
    // What HTTP holds now, not when the planner last ran: a server that refuses ends its
    // transfers at once, and their ranges are the peers' to take.
    ByteRanges onDisk;
    ByteRanges asking;
    if (!transfers_.HttpHolds(entry.key.first, entry.key.second, &onDisk, &asking)) {
        return;
    }
    const auto overlaps = [](const ByteRanges& ranges, const ByteRange& range) {
        for (const ByteRange& held : ranges.Ranges()) {
            if (held.begin < range.end && range.begin < held.end) {
                return true;
            }
        }
        return false;
    };
    std::vector<int> candidates;
    for (size_t piece = 0; piece < entry.availability.size() && piece < entry.offered.size();
         ++piece) {
        if (entry.availability[piece] <= 0 || entry.offered[piece] || entry.httpOnly[piece] ||
            swarm_->PeersPieces(id).contains(static_cast<int>(piece))) {
            continue;
        }
        // A piece HTTP left half written (its connection cut) is brought whole by peers,
        // verified, over the same bytes: HTTP keeps off what peers hold.
        const ByteRange range = swarm_->PieceRange(id, static_cast<int>(piece));
        if (!overlaps(asking, range) && !onDisk.Covers(range.begin, range.end)) {
            candidates.push_back(static_cast<int>(piece));
        }
    }
    // The rarest first (they spread soonest from the players that hold them), at random among
    // equals, so that players do not all ask the same peer for the same pieces.
    std::shuffle(candidates.begin(), candidates.end(), random_);
    std::stable_sort(candidates.begin(), candidates.end(), [&entry](int a, int b) {
        return entry.availability[static_cast<size_t>(a)] <
               entry.availability[static_cast<size_t>(b)];
    });
    candidates.resize(std::min(candidates.size(), wanted - swarm_->PeersPieces(id).size()));
    if (!candidates.empty()) {
        swarm_->GivePieces(id, candidates);
        for (const int piece : candidates) {
            entry.givenAt[piece] = now;
        }
    }
}

void PeerSource::Tick() {
    tick_ = loop_.AddTimer(timings_.tickMs, [this] { Tick(); });
    for (auto& [key, entry] : entries_) {
        if (entry->id) {
            HandOut(*entry);
        }
    }
    SettleLeft();
    for (size_t i = 0; i < seeding_.size();) {
        if (swarm_->ShareDone(seeding_[i].id, settings_.ratio, settings_.minutes)) {
            log_("peers: " + seeding_[i].target + ": shared " +
                 std::to_string(swarm_->BytesUploaded(seeding_[i].id)) + " bytes: sharing ends");
            swarm_->RemoveFile(seeding_[i].id);
            seeding_.erase(seeding_.begin() + static_cast<long>(i));
        } else {
            ++i;
        }
    }
}

bool PeerSource::PeersHoldMissing(uint32_t job, uint32_t file) {
    auto found = entries_.find({job, file});
    if (found == entries_.end() || !found->second->id) {
        return false;
    }
    Entry& entry = *found->second;
    const PeerSwarm::FileId id = *entry.id;
    ByteRanges onDisk;
    ByteRanges asking;
    if (swarm_->Peers(id) == 0 || !transfers_.HttpHolds(job, file, &onDisk, &asking)) {
        return false;
    }
    const std::vector<int> availability = swarm_->Availability(id);
    size_t missing = 0;
    for (size_t piece = 0; piece < availability.size(); ++piece) {
        const ByteRange range = swarm_->PieceRange(id, static_cast<int>(piece));
        missing += availability[piece] > 0 && !onDisk.Covers(range.begin, range.end) ? 1 : 0;
    }
    if (missing > 0 && !entry.waitsForPeers) {
        entry.waitsForPeers = true;
        log_("peers: " + entry.facts.target + ": the server cannot be reached: " +
             std::to_string(missing) + " missing pieces left to peers");
    }
    return missing > 0;
}

// ---- the file's end ----

bool PeerSource::ReadyToComplete(uint32_t job, uint32_t file) {
    auto found = entries_.find({job, file});
    if (found == entries_.end()) {
        return true;
    }
    Entry& entry = *found->second;
    entry.completing = true;
    if (entry.id) {
        // Every byte is on disk: peers let go of the part file before it is renamed. Nothing
        // of theirs is written afterwards (the gate goes with the torrent).
        entry.leaving = swarm_->RemoveFile(*entry.id);
        entry.id.reset();
        entry.givenAt.clear();
    }
    // Shared from its final name only once the torrent has left: added again before that,
    // it would be the leaving one, holding nothing.
    return !entry.leaving || swarm_->Left(*entry.leaving);
}

void PeerSource::FileComplete(uint32_t job, uint32_t file, const std::string& target) {
    auto found = entries_.find({job, file});
    if (found == entries_.end()) {
        return;
    }
    Entry& entry = *found->second;
    const uint64_t fromPeers = std::min(entry.fromPeers, entry.facts.size);
    log_("peers: " + target + ": " + std::to_string(entry.facts.size - fromPeers) +
         " bytes from the server, " + std::to_string(fromPeers) + " bytes from peers");
    if (entry.fetch != nullptr) {
        // Every byte came before the torrent did: it is shared once it is here.
        entry.completeTarget = target;
        return;
    }
    StartSharing(entry, target);
    entries_.erase(found);
}

void PeerSource::StartSharing(const Entry& entry, const std::string& target) {
    if (entry.torrent.empty() || settings_.minutes == 0 || settings_.ratio <= 0 ||
        settings_.uploadKib == 0 || !Swarm().Active()) {
        return;
    }
    std::string refusal;
    std::optional<libtorrent::add_torrent_params> params =
        JudgeTorrent(entry.torrent, entry.facts.size, target, &refusal);
    std::string error;
    std::optional<PeerSwarm::FileId> id;
    if (params) {
        id = swarm_->AddFile(std::move(*params), true, {}, &error);
    }
    if (id) {
        seeding_.push_back({target, *id});
        log_("peers: " + target + ": shared until ratio " + std::to_string(settings_.ratio) +
             " or " + std::to_string(settings_.minutes) + " minutes");
    }
}

void PeerSource::Detach(Entry& entry) {
    EndFetch(entry);
    if (entry.id) {
        swarm_->RemoveFile(*entry.id);
        entry.id.reset();
    }
    entry.givenAt.clear();
}

void PeerSource::FileClosed(uint32_t job, uint32_t file) {
    auto found = entries_.find({job, file});
    if (found == entries_.end()) {
        return;
    }
    Detach(*found->second);
    entries_.erase(found);  // a later answer looks again (a fetched torrent is remembered)
}

}  // namespace tev::localengine
