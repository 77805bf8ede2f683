// ReceiveLane: a second receiving thread with its own event loop and libcurl multi handle. One
// thread copies about 1.2 GB/s from the socket and into the page cache; a file worth splitting
// gives some of its pieces to the lane so that a second core does half of that. A lane piece
// only ever writes its own range of the part file; the transfers on the engine's loop keep every
// decision (which bytes, what counts as written, retries) and read the piece's progress.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "transfer/control_file.h"
#include "transfer/event_loop.h"
#include "transfer/range_request.h"

namespace tev::localengine {

struct LanePiece {
    // Set before Start, then only read.
    RangeRequest request;               // a closed range: request.end is the piece's end
    std::optional<uint64_t> knownSize;  // for judging the answer's head
    bool sizeFromJob = false;
    Validator validator;  // the bytes on disk were fetched under this one
    bool sentIfRange = false;
    // The file's first request, nothing of it on disk: a whole-file answer (a server that
    // ignores ranges) is taken as well, from byte 0.
    bool firstRequest = false;
    int fd = -1;
    size_t writePiece = 256 * 1024;
    uint64_t maxUnknownLength = kNoEnd;  // an answer that names no size is refused beyond it
    void* tag = nullptr;                 // the owner's, handed back untouched

    // Progress, published by the lane: [request.begin, written) is on disk (pwrite returned).
    std::atomic<uint64_t> written{0};
    std::atomic<uint64_t> received{0};  // body bytes that arrived, written or not
    // Set once the answer's head was judged the asked range (or a whole first answer): the
    // learnt fields below are final from then on, and body bytes follow only after it.
    std::atomic<bool> headKnown{false};

    // The outcome, valid once the piece is back from TakeFinished or Cancel.
    // What a file's first answer told: the size when the owner did not know it, the validator,
    // and whether the body is the whole file.
    std::optional<uint64_t> learntSize;
    Validator learntValidator;
    std::string learntLinks;  // the answer's Link header fields (a torrent may be named there)
    bool wholeBody = false;
    bool handBack = false;        // the answer was something else: the owner asks again itself
    int writeError = 0;           // errno of a write that failed (a full disk among them)
    std::string failure;          // why the answer was refused (empty: see curlResult)
    bool failureIsFinal = false;  // the same answer would come again: not worth a retry
    int curlResult = 0;
    long osErrno = 0;
    std::string effectiveUrl;
    std::string errorText;

  private:
    friend class ReceiveLane;
    uint64_t at = 0;           // offset of the next byte received
    uint64_t end = 0;          // the asked end, clipped to the size the answer names
    std::string buffer;        // received, not yet written; it belongs at written
    bool cancelled = false;    // lane thread only
    bool keepOnCancel = true;  // lane thread only
    AnswerHead head;
    void* easy = nullptr;
    curl_slist* headers = nullptr;
    char errorBuffer[256] = {};
    bool done = false;       // under the lane's mutex
    bool abandoned = false;  // cancelled by the owner: not handed back; under the lane's mutex
};

class ReceiveLane {
  public:
    explicit ReceiveLane(long maxHostConnections);
    ~ReceiveLane();  // every piece must be finished or cancelled first
    ReceiveLane(const ReceiveLane&) = delete;
    ReceiveLane& operator=(const ReceiveLane&) = delete;

    bool Ok() const { return ok_; }
    // Readable (eventfd) when finished pieces wait to be taken; the owner's loop watches it.
    int ReadyFd() const { return readyFd_; }

    void Start(std::shared_ptr<LanePiece> piece);
    // Ends the piece and returns once the lane will not touch it (nor its file) again. keep: its
    // received bytes are written first; otherwise they are dropped. Already finished: no-op.
    void Cancel(const std::shared_ptr<LanePiece>& piece, bool keep);
    // Holds the piece's answer open without reading it (libcurl's pause), or reads on: a
    // whole-file answer cannot be asked for again from where it stopped.
    void Pause(const std::shared_ptr<LanePiece>& piece, bool paused);
    // A piece that ended by itself, or nullptr. One at a time: handling one may cancel others.
    std::shared_ptr<LanePiece> TakeFinished();

  private:
    static size_t HeaderCallback(char* data, size_t size, size_t count, void* piece);
    static size_t WriteCallback(char* data, size_t size, size_t count, void* piece);
    void Begin(const std::shared_ptr<LanePiece>& piece);
    void AfterCurl();
    void End(const std::shared_ptr<LanePiece>& piece, bool byOwner);
    static bool Flush(LanePiece& piece);

    EventLoop loop_;
    std::unique_ptr<class MultiDriver> driver_;
    int readyFd_ = -1;
    bool ok_ = false;
    std::map<void*, std::shared_ptr<LanePiece>> running_;  // by easy handle; lane thread only
    std::mutex mutex_;
    std::condition_variable ended_;
    std::deque<std::shared_ptr<LanePiece>> finished_;
    std::thread thread_;
};

}  // namespace tev::localengine
