// What the transfers know of their jobs, files and running requests, shared by the three parts
// of the transfer core: the scheduler (transfers.cpp), the HTTP source (http_source.cpp) and the
// file store (file_store.cpp). Internal to the transfer core.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "transfer/byte_ranges.h"
#include "transfer/checkpointer.h"
#include "transfer/control_file.h"
#include "transfer/final_record.h"
#include "transfer/planner.h"
#include "transfer/range_request.h"
#include "transfer/receive_lane.h"
#include "transfer/response_check.h"
#include "transfer/token_bucket.h"
#include "transfer/transfers.h"

namespace tev::localengine {

struct Transfers::Transfer {
    Transfers* owner = nullptr;
    Job* job = nullptr;
    File* file = nullptr;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    RangeAsk ask;
    AnswerHead head;
    std::string links;  // the answer's Link header fields (a torrent may be named there)
    bool headDone = false;
    bool wholeBody = false;    // a 200: the body is the file from byte 0, to its end
    bool discardBody = false;  // a 416 that says nothing is left: its body is not file data
    // A size probe (bytes=0-0) of a file not yet at work: its answer's head names the size,
    // validator and whether ranges work; nothing of it is written.
    bool probe = false;
    uint64_t at = 0;     // offset of the next byte received
    uint64_t from = 0;   // where this answer's bytes began: at > from means it progressed
    uint64_t end = 0;    // exclusive; UINT64_MAX for a whole body of unknown length
    std::string buffer;  // received, not yet written; it belongs at bufferAt
    uint64_t bufferAt = 0;
    bool cancelled = false;       // dropped without a verdict (file reset, job stopped)
    bool pausedByBucket = false;  // over the job's rate: waits for the bucket
    bool pausedByDisk = false;    // its data could not be written: waits for space
    bool wantsPause = false;      // pause once curl has returned (never inside its callbacks)
    bool curlPaused = false;      // what libcurl was last told; AfterCurl brings it in line
    std::string failure;          // set when the answer was refused
    bool failureIsFinal = false;  // not worth another attempt (status 404, size mismatch)
    FailureKind failureKind = FailureKind::Unreachable;
    uint32_t attempt = 0;  // the file's attempt it was started in
    int64_t activeMs = 0;  // how long it ran, paused times not counted (its overall bound)
    uint64_t bytesThisTick = 0;
    uint64_t speed = 0;
    char errorText[CURL_ERROR_SIZE] = {};
    // A piece on the receive lane: its bytes are counted here once drained from the lane.
    std::shared_ptr<LanePiece> lanePiece;
    uint64_t laneReceived = 0;
    bool laneHeadTaken = false;  // a first request's answer, as the lane judged it, taken in
};

struct Transfers::File {
    uint32_t index = 0;
    FileOrder order;
    std::vector<std::string> urls;  // the alternatives of the order's URL
    size_t urlIndex = 0;            // the one in use (one after another)
    std::string folder;
    std::string target;
    std::string partPath;
    std::string controlPath;
    std::optional<uint64_t> size;
    bool sizeFromJob = false;
    Validator validator;
    // Completing: whole on disk, being synced and renamed by the checkpointer's threads.
    enum State { Waiting, Active, Completing, Complete, Failed } state = Waiting;
    bool hasOldData = false;  // part data or a final-name prefix from an earlier run
    // The size of a file already under the final name when the job gave no size: once the server
    // names the same size, that file is the complete one (as on the direct path).
    // Only a file that carries the record of its completion qualifies (final_record.h), and only
    // while the server answers with the recorded size and validator.
    std::optional<FinalRecord> finalAtStart;
    bool keepOldData = true;
    int fd = -1;
    ByteRanges written;   // on disk (pwrite returned)
    ByteRanges synced;    // handed to the checkpointer (on disk and recorded once it is done)
    ByteRanges recorded;  // what the control file claims, as far as the loop knows
    uint64_t unsyncedBytes = 0;  // written since the last checkpoint was handed over
    std::shared_ptr<FileSync> sync = std::make_shared<FileSync>();
    bool answersRanges = false;
    bool wholeBody = false;  // the server sends the whole file: one connection
    // The server names no strong validator (no ETag but a weak one, no Last-Modified): nothing
    // tells whether two answers are of the same version, so the file comes in one request from
    // byte 0, a retry starts again from 0 and nothing of it is resumed.
    bool noValidator = false;
    bool probeFailed = false;  // a probe's answer named no size: the file's own request learns it
    bool laneRefused = false;  // a lane piece got another answer than its range: no more there
    std::vector<std::unique_ptr<Transfer>> transfers;
    uint32_t failures = 0;  // failed attempts in a row that brought no byte
    // An attempt: the requests started since the last failure that counted. Connections cut at
    // once (a server that stops, a network that goes) fail as one attempt, not one each: a
    // failure of an earlier attempt while the file waits for its retry does not count again.
    uint32_t attempt = 0;
    // Failed attempts charged to each piece of the file (by the minimum piece its request began
    // in): a server that always cuts its answers short makes progress, but only so often.
    std::map<uint64_t, uint32_t> pieceFailures;
    uint32_t restarts = 0;  // the server's file changed under us
    int64_t retryAtMs = 0;
    int64_t lastByteMs = 0;  // a byte from the server or from peers last came then
    std::string lastFailure;
    // Connection growth: more connections while that makes the file clearly faster. The speed
    // since the last growth is measured from the bytes received since then.
    Growth growth;
    int64_t grewAtMs = 0;
    uint64_t receivedAtGrowth = 0;
    uint64_t received = 0;
    uint64_t bytesThisTick = 0;
    uint64_t speed = 0;
};

struct Transfers::Job {
    uint32_t number = 0;
    bool limited = false;
    bool mirrorsAtOnce = false;
    bool paused = false;
    bool firstPiecesHere = false;  // the lane got another answer to a first request: none there
    uint64_t transfersStarted = 0;
    std::vector<std::unique_ptr<File>> files;
    bool sizesKnownReported = false;
    std::deque<uint32_t> questions;  // files with old data still to ask about, in index order
    bool questionOpen = false;
    std::optional<TokenBucket> bucket;
    EventLoop::TimerId bucketTimer = 0;
    bool diskFull = false;
    EventLoop::TimerId diskTimer = 0;
    bool ended = false;
    uint64_t bytesThisTick = 0;
    uint64_t speed = 0;

    // Files at work: active, completing, or with a request out (a size probe). An event looks
    // at these and at the cursors below only, so that its cost follows the transfers under way,
    // not the length of the job's list.
    std::set<uint32_t> atWork;
    uint32_t nextNew = 0;             // files before it are no longer waiting to start
    uint32_t nextProbe = 0;           // files before it had their size probe or need none
    std::deque<uint32_t> probeAgain;  // probes that failed, in the order of their retries
    std::deque<uint32_t> startFirst;  // waiting files whose size only their own request tells
    uint32_t sizesFrom = 0;           // files before it have a size or are complete
    uint32_t doneFrom = 0;            // files before it are complete

    // A copy: the set may change while the files are looked at.
    std::vector<File*> Working() const {
        std::vector<File*> working;
        working.reserve(atWork.size());
        for (const uint32_t index : atWork) {
            working.push_back(files[index].get());
        }
        return working;
    }
    size_t ActiveTransfers() const {
        size_t count = 0;
        for (const uint32_t index : atWork) {
            count += files[index]->transfers.size();
        }
        return count;
    }
};

}  // namespace tev::localengine
