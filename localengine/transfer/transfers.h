// Transfers: every download of the engine on libcurl's multi interface, driven by the engine's
// EventLoop (curl_multi_socket_action). A job's files download side by side over reused
// keep-alive connections; a file whose server answers ranges is fetched in pieces over several
// connections, each piece sized to its connection's speed so that slow connections get small
// ones and no byte is asked for twice. Bytes go with pwrite into a part file beside the target; a
// control file records what is on disk once it is synced. A complete file is renamed to its name.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "transfer/byte_ranges.h"
#include "transfer/control_file.h"
#include "transfer/event_loop.h"
#include "transfer/job_check.h"
#include "transfer/response_check.h"

namespace tev::localengine {

struct TransferSettings {
    uint32_t maxConnectionsPerHost = 16;
    uint32_t maxConnectionsPerJob = 16;
    uint32_t maxConnectionsPerFile = 16;
    uint32_t maxFilesAtOnce = 8;
    uint32_t maxFilesCompleting = 32;  // complete files waiting for their sync and rename
    // A second receiving thread: files' first requests alternate between the two, and a file
    // worth splitting gives it every other connection; a file this large starts with both.
    bool receiveLane = true;
    uint64_t laneStartSize = 64 << 20;
    unsigned diskThreads = 8;         // checkpoints and completions side by side
    uint64_t minSplitSize = 8 << 20;  // smaller files keep one connection
    size_t writePiece = 256 * 1024;   // pwrite at least this much at a time
    uint64_t firstPiece = 4 << 20;    // the first request of a file, before its speed is known
    uint64_t minPiece = 1 << 20;      // never split below this
    uint64_t maxPiece = 64 << 20;
    int pieceSeconds = 2;                 // a piece lasts about this long at its connection's speed
    int checkpointMs = 1000;              // how often the control files are brought up to date
    uint64_t checkpointBytes = 32 << 20;  // and after this much data of a file, whichever first
    int tickMs = 100;                     // connection growth, progress sampling, network watch
    int growthIntervalMs = 300;  // how long a growth of connections runs before it is judged
    int connectTimeoutSeconds = 10;
    int stallSeconds = 30;  // a transfer that receives nothing this long is retried
    // Every piece has an overall bound, so that a drip of a byte now and then cannot hold it
    // forever: its length at the lowest pace worth keeping a connection for, after a grace for
    // the connection and its answer's head (time paused by us does not count). Then its
    // connection is given up, its bytes kept, and the rest asked for again (a failed attempt).
    int pieceGraceSeconds = 30;
    uint64_t minPieceBytesPerSecond = 4 << 10;
    // An answer that names no size (chunked, or ended by its connection) is refused beyond this.
    uint64_t maxUnknownLength = uint64_t{1} << 40;
    uint32_t retryLimit = 6;        // failed attempts in a row, none bringing a byte, fail a file
    uint32_t pieceRetryLimit = 12;  // failed attempts that began in one piece (of minPiece)
    int retryFirstDelayMs = 500;    // doubles with every failure, up to retryMaxDelayMs
    int retryMaxDelayMs = 10000;
    // A file whose server cannot be reached while connected peers hold pieces it lacks does not
    // fail when its retries are used up: peers are handed those pieces, HTTP keeps retrying,
    // and the file fails only once neither side brought a byte for this long.
    int peerWaitMs = 60000;
    int networkPoorMs = 3000;  // every transfer failing this long: network trouble
    int diskRetryMs = 3000;    // how often a job paused by a full disk tries again
    uint64_t limitedBytesPerSecond = 384 * 1024;
};

// Why a file (and with it its job) could not be completed.
enum class FailureKind {
    Unreachable,  // every alternative failed (status, refused, not resolved, retries used up)
    Changed,      // the server's file is not the one the job describes, or kept changing
    WriteError,   // the file cannot be written for a reason other than a full disk
};

class TransferListener {
  public:
    virtual ~TransferListener() = default;
    // Every file's size is known (given, stored or learnt); total is their sum.
    virtual void OnSizesKnown(uint32_t job, uint64_t total) = 0;
    // A file has data from an earlier run; AnswerResume decides what happens to it.
    virtual void OnResumeQuestion(uint32_t job, uint32_t file) = 0;
    // Complete under its final name (also for files complete before the job began).
    virtual void OnFileDone(uint32_t job, uint32_t file) = 0;
    // The file cannot be downloaded; the job has stopped, keeping every file's data.
    virtual void OnFileFailed(uint32_t job, uint32_t file, FailureKind kind,
                              const std::string& reason) = 0;
    // Every file is complete.
    virtual void OnJobDone(uint32_t job) = 0;
    virtual void OnDiskFull(uint32_t job, bool full) = 0;
    // Every running transfer has been failing for network reasons (poor), or one works again.
    virtual void OnNetworkTrouble(bool poor) = 0;
};

struct FileProgress {
    uint32_t index = 0;    // in the job's list
    uint64_t size = 0;     // 0 while unknown
    uint64_t present = 0;  // bytes on disk or on their way there
    uint64_t bytesPerSecond = 0;
};

struct JobProgress {
    uint32_t files = 0;
    uint32_t filesDone = 0;  // complete, in any order
    uint64_t total = 0;
    uint64_t present = 0;
    uint64_t bytesPerSecond = 0;
    uint32_t firstIncomplete = 0;  // index of the first file not yet complete (files when none)
    FileProgress firstIncompleteFile;
    std::vector<FileProgress> running;  // every file being transferred, in index order
};

enum class StopMode {
    KeepParts,      // part and control files stay; the engine resumes them next time
    LeavePrefixes,  // each file's contiguous prefix under its final name, for the direct path;
                    // only a file whose size is known hands one over
};

class Checkpointer;
class MultiDriver;
class PeerHooks;
class ReceiveLane;

class Transfers {
  public:
    Transfers(EventLoop& loop, TransferSettings settings, TransferListener& listener);
    ~Transfers();  // stops every job as KeepParts
    Transfers(const Transfers&) = delete;
    Transfers& operator=(const Transfers&) = delete;

    bool Ok() const;

    // Begins a job under the given number. Returns the refusal when the list is unacceptable
    // (nothing is written then).
    // limited: the job's rate is capped, one file and one connection at a time. mirrorsAtOnce:
    // a file's alternatives ("a|b") serve its pieces side by side instead of one after another.
    std::optional<std::string> StartJob(uint32_t job, const std::vector<FileOrder>& files,
                                        bool limited, bool mirrorsAtOnce = false);
    // Pausing ends the job's transfers, keeping their data, so that no byte moves meanwhile.
    void SetPaused(uint32_t job, bool paused);
    // From now on the job's files fetch their pieces from all their alternatives side by side.
    void AllowMirrorsAtOnce(uint32_t job);
    // The answer to the last OnResumeQuestion: keep the data (resume) or discard it; applyToAll
    // answers for every later file of the job that has data too.
    void AnswerResume(uint32_t job, bool keep, bool applyToAll);
    void StopJob(uint32_t job, StopMode mode);
    void StopAll(StopMode mode);

    bool HasJob(uint32_t job) const { return jobs_.contains(job); }
    // Running: transferring or about to; waiting: for an answer, for disk room, or paused.
    bool JobIsWaiting(uint32_t job) const;
    size_t JobCount() const { return jobs_.size(); }
    // Also inside OnJobDone, for the job's last progress message.
    std::optional<JobProgress> Progress(uint32_t job) const;
    std::string TargetPath(uint32_t job, uint32_t file) const;
    const std::string& FileUrl(uint32_t job, uint32_t file) const;

    // Peers as a second source of the files' bytes (transfer/peer_hooks.h); nullptr: none.
    void SetPeerHooks(PeerHooks* hooks) { peers_ = hooks; }
    // Peers put [begin, end) of the file on disk, verified: it counts as written.
    void PeerBytes(uint32_t job, uint32_t file, uint64_t begin, uint64_t end);
    // Peers no longer use the file's part file: a completion that waited for them goes on.
    void PeersSettled(uint32_t job, uint32_t file);
    // What HTTP holds of the file now: on disk (written, peers' pieces too) and what its
    // transfers are asking for. False for a file that is not active.
    bool HttpHolds(uint32_t job, uint32_t file, ByteRanges* written, ByteRanges* asking) const;
    // What peers sent cannot be trusted (their torrent is of another version of the file): the
    // file starts over from its server.
    void DropPeerBytes(uint32_t job, uint32_t file);

  private:
    struct Job;
    struct File;
    struct Transfer;

    static size_t HeaderCallback(char* data, size_t size, size_t count, void* transfer);
    static size_t WriteCallback(char* data, size_t size, size_t count, void* transfer);

    // A one-off timer that does nothing once this object is gone (reports queued just before a
    // job was stopped and the transfers destroyed).
    EventLoop::TimerId Later(int64_t delayMs, std::function<void()> callback);

    // Everything that may not happen inside a curl callback: finished transfers, cancellations,
    // starting new transfers.
    void AfterCurl();
    void Tick();
    // Gives up transfers that passed their piece's overall bound (see TransferSettings).
    void BoundTransfers(int64_t elapsedMs);
    void GiveUpTransfer(Transfer* transfer, const std::string& why);
    void Checkpoint();

    void InspectFile(Job& job, File& file);
    void AskNextQuestion(Job& job);
    // The file under the final name is the server's current version (its record matches the
    // answer's size and validator): the file is complete. Else it is fetched as usual.
    bool AdoptFinalFile(Job& job, File& file, const Validator& answered);
    void Schedule(Job& job);
    bool ActivateFile(Job& job, File& file);
    bool StartTransfer(Job& job, File& file, bool probe = false);
    bool JudgeProbe(Transfer& transfer, const Verdict& verdict);
    bool OnLane(const Job& job, const File& file) const;
    void DrainLane(Transfer& transfer);
    void DrainLanes(File& file);
    // False when the answer made the file start over (the transfer is dropped then).
    bool TakeLaneHead(Transfer& transfer);
    void FinishLanePiece(Transfer* transfer);
    bool TakePiece(Job& job, File& file, uint64_t* begin, uint64_t* end, uint64_t speed);
    void FinishTransfer(Transfer* transfer, int curlResult);
    void RemoveTransfer(Transfer* transfer, bool returnRest);
    bool FlushBuffer(Transfer& transfer);
    bool JudgeHead(Transfer& transfer);
    // The server answers ranges: the file's validator (unless stored) and connection growth.
    void AcceptRanges(Job& job, File& file, const Validator& validator);
    void Receive(Transfer& transfer, const char* data, size_t length);
    void ResetFile(Job& job, File& file, const char* why);
    // Ends the file's transfers but one (removed on the next round), dropping what they hold.
    void DropTransfers(File& file, const Transfer* except);
    void CompleteFileIfDone(Job& job, File& file);
    void FinishCompletion(Job& job, File& file);
    void Written(File& file, uint64_t length);
    void CheckpointFile(File& file);
    void FailFile(Job& job, File& file, FailureKind kind, const std::string& reason);
    // The server answered ranges: peers hear of the file (and of a torrent its answer names).
    void TellPeers(Job& job, File& file, const std::string& links);

    bool SyncFile(File& file);  // false when fdatasync failed
    // How the checkpointer's work on the file ended (the file's sync idle): the errno of a
    // failed sync or record, after which the bytes the record does not claim count as missing.
    int TakeSyncResult(File& file);
    // The same, and a failure stops the file: a full disk pauses the job, any other error fails
    // the file. True when there was one.
    bool TakeSyncFailure(Job& job, File& file);
    void CloseFile(File& file);
    void CheckSizesKnown(Job& job);
    void CheckJobDone(Job& job);
    void PauseForDisk(Job& job);
    void RetryDisk(uint32_t jobNumber);
    void ScheduleBucketResume(Job& job);
    // A whole-file answer, or any of a file without a validator: its rest cannot be asked for
    // again, so a pause holds it open (paused through libcurl) instead of ending it.
    bool HeldOpenWhilePaused(const Transfer& transfer) const;
    void StopJobNow(Job& job, StopMode mode);
    // The file store's part of a stop: what the file leaves on disk; closes it.
    void PutAway(File& file, StopMode mode);

    EventLoop& loop_;
    TransferSettings settings_;
    std::unique_ptr<Checkpointer> checkpointer_;
    TransferListener& listener_;
    std::unique_ptr<MultiDriver> driver_;
    std::unique_ptr<ReceiveLane> lane_;  // none when the settings or the system give none
    EventLoop::TimerId tickTimer_ = 0;
    EventLoop::TimerId checkpointTimer_ = 0;
    std::map<uint32_t, std::unique_ptr<Job>> jobs_;
    std::vector<uint32_t> finishedJobs_;             // removed after AfterCurl's round
    std::map<uint32_t, JobProgress> finalProgress_;  // of jobs done, until OnJobDone returned
    std::shared_ptr<char> alive_ = std::make_shared<char>();
    PeerHooks* peers_ = nullptr;
    // Network watch: when bytes last arrived, and whether transfers are failing meanwhile.
    int64_t lastBytesMs_ = 0;
    int64_t lastTickMs_ = 0;
    uint64_t bytesSinceTick_ = 0;
    int64_t lastNetworkFailureMs_ = 0;
    bool networkPoor_ = false;
};

}  // namespace tev::localengine
