#include "transfer/transfers.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <set>

#include "transfer/byte_ranges.h"
#include "transfer/checkpointer.h"
#include "transfer/control_file.h"
#include "transfer/failure_text.h"
#include "transfer/file_io.h"
#include "transfer/multi_driver.h"
#include "transfer/range_request.h"
#include "transfer/receive_lane.h"
#include "transfer/response_check.h"
#include "transfer/side_names.h"
#include "transfer/token_bucket.h"

namespace tev::localengine {

struct Transfers::Transfer {
    Transfers* owner = nullptr;
    Job* job = nullptr;
    File* file = nullptr;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    RangeAsk ask;
    AnswerHead head;
    bool headDone = false;
    bool wholeBody = false;    // a 200: the body is the file from byte 0, to its end
    bool discardBody = false;  // a 416 that says nothing is left: its body is not file data
    uint64_t at = 0;           // offset of the next byte received
    uint64_t end = 0;          // exclusive; UINT64_MAX for a whole body of unknown length
    std::string buffer;        // received, not yet written; it belongs at bufferAt
    uint64_t bufferAt = 0;
    bool cancelled = false;       // dropped without a verdict (file reset, job stopped)
    bool pausedByBucket = false;  // over the job's rate: waits for the bucket
    bool pausedByDisk = false;    // its data could not be written: waits for space
    bool wantsPause = false;      // pause once curl has returned (never inside its callbacks)
    bool curlPaused = false;      // what libcurl was last told; AfterCurl brings it in line
    std::string failure;          // set when the answer was refused
    bool failureIsFinal = false;  // not worth another attempt (status 404, size mismatch)
    FailureKind failureKind = FailureKind::Unreachable;
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
    std::optional<uint64_t> finalSizeAtStart;
    bool keepOldData = true;
    int fd = -1;
    ByteRanges written;  // on disk (pwrite returned)
    ByteRanges synced;   // handed to the checkpointer (on disk and recorded once it is done)
    uint64_t unsyncedBytes = 0;  // written since the last checkpoint was handed over
    std::shared_ptr<FileSync> sync = std::make_shared<FileSync>();
    bool answersRanges = false;
    bool wholeBody = false;    // the server sends the whole file: one connection
    bool laneRefused = false;  // a lane piece got another answer than its range: no more there
    std::vector<std::unique_ptr<Transfer>> transfers;
    uint32_t failures = 0;  // failed attempts since bytes last arrived
    uint32_t restarts = 0;  // the server's file changed under us
    int64_t retryAtMs = 0;
    std::string lastFailure;
    // Connection growth: more connections while that makes the file clearly faster. The speed
    // since the last growth is measured from the bytes received since then.
    uint32_t wantedConnections = 1;
    uint64_t speedBeforeGrowth = 0;
    int64_t grewAtMs = 0;
    uint64_t receivedAtGrowth = 0;
    bool growthDone = false;
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

    size_t ActiveTransfers() const {
        size_t count = 0;
        for (const auto& file : files) {
            count += file->transfers.size();
        }
        return count;
    }
};

namespace {

bool MakeFolders(const std::string& folder) {
    std::string path;
    size_t at = 1;
    while (at <= folder.size()) {
        size_t next = folder.find('/', at);
        if (next == std::string::npos) {
            next = folder.size();
        }
        path = folder.substr(0, next);
        if (!path.empty() && mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
        at = next + 1;
    }
    struct stat info {};
    return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsNetworkError(int code) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT:
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
        case CURLE_SSL_CONNECT_ERROR:
            return true;
        default:
            return false;
    }
}

}  // namespace

Transfers::Transfers(EventLoop& loop, TransferSettings settings, TransferListener& listener)
    : loop_(loop), settings_(settings), listener_(listener) {
    // The cap of connections per host holds for both receiving threads together.
    const long perHost = std::max<long>(settings_.maxConnectionsPerHost, 1);
    if (settings_.receiveLane && perHost > 1) {
        lane_ = std::make_unique<ReceiveLane>(perHost / 2);
        if (!lane_->Ok()) {
            lane_.reset();  // one receiving thread does it all
        }
    }
    driver_ = std::make_unique<MultiDriver>(loop_, lane_ ? perHost - perHost / 2 : perHost,
                                            [this] { AfterCurl(); });
    if (!driver_->Ok()) {
        return;
    }
    if (lane_) {
        loop_.Watch(lane_->ReadyFd(), EPOLLIN, [this](uint32_t) { AfterCurl(); });
    }
    lastBytesMs_ = EventLoop::NowMs();
    checkpointer_ = std::make_unique<Checkpointer>(settings_.diskThreads);
    const int ready = checkpointer_->ReadyFd();
    loop_.Watch(ready, EPOLLIN, [this, ready](uint32_t) {
        uint64_t count = 0;
        if (read(ready, &count, sizeof count) > 0) {
            AfterCurl();  // files whose completion ended
        }
    });
    tickTimer_ = loop_.AddTimer(settings_.tickMs, [this] { Tick(); });
    checkpointTimer_ = loop_.AddTimer(settings_.checkpointMs, [this] { Checkpoint(); });
}

Transfers::~Transfers() {
    if (!Ok()) {
        return;
    }
    StopAll(StopMode::KeepParts);
    loop_.Unwatch(checkpointer_->ReadyFd());
    if (lane_) {
        loop_.Unwatch(lane_->ReadyFd());
    }
    loop_.CancelTimer(tickTimer_);
    loop_.CancelTimer(checkpointTimer_);
}

bool Transfers::Ok() const {
    return driver_->Ok();
}

EventLoop::TimerId Transfers::Later(int64_t delayMs, std::function<void()> callback) {
    return loop_.AddTimer(delayMs,
                          [alive = std::weak_ptr<char>(alive_), callback = std::move(callback)] {
                              if (!alive.expired()) {
                                  callback();
                              }
                          });
}

// ---- answers ----

size_t Transfers::HeaderCallback(char* data, size_t size, size_t count, void* userData) {
    auto* transfer = static_cast<Transfer*>(userData);
    const size_t length = size * count;
    if (transfer->cancelled) {
        return 0;
    }
    if (!ReadHeadLine(std::string_view(data, length), transfer->head)) {
        return length;
    }
    return transfer->owner->JudgeHead(*transfer) ? length : 0;
}

size_t Transfers::WriteCallback(char* data, size_t size, size_t count, void* userData) {
    auto* transfer = static_cast<Transfer*>(userData);
    const size_t length = size * count;
    if (transfer->cancelled || !transfer->failure.empty()) {
        return 0;
    }
    if (!transfer->headDone) {
        // Only a redirect that libcurl did not follow (no usable Location) has a body here.
        transfer->failure = "HTTP status " + std::to_string(transfer->head.status);
        transfer->failureIsFinal = true;
        return 0;
    }
    if (transfer->discardBody) {
        return length;
    }
    if (transfer->end != kNoEnd && transfer->at + length > transfer->end) {
        transfer->failure = "the server sent more bytes than asked for";
        return 0;
    }
    // Over the job's rate: libcurl keeps these bytes and offers them again once unpaused. A pause
    // asked for after the callback would come too late: one socket round reads up to a hundred
    // buffers.
    if (transfer->job->bucket && transfer->job->bucket->InDebt(EventLoop::NowMs())) {
        transfer->pausedByBucket = true;
        transfer->curlPaused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    transfer->owner->Receive(*transfer, data, length);
    return length;
}

void Transfers::Receive(Transfer& transfer, const char* data, size_t length) {
    Job& job = *transfer.job;
    transfer.bytesThisTick += length;
    transfer.file->bytesThisTick += length;
    transfer.file->received += length;
    job.bytesThisTick += length;
    bytesSinceTick_ += length;
    if (job.bucket) {
        job.bucket->Take(length, EventLoop::NowMs());
    }
    if (transfer.buffer.empty() && length >= settings_.writePiece && !transfer.pausedByDisk) {
        // A read as large as a write piece goes to the file without another copy.
        File& file = *transfer.file;
        if (WriteAll(file.fd, data, length, transfer.at)) {
            file.written.Add(transfer.at, transfer.at + length);
            transfer.at += length;
            transfer.bufferAt = transfer.at;
            Written(file, length);
            return;
        }
        if (!IsDiskFullError(errno)) {
            transfer.failure =
                std::string("cannot write ") + file.partPath + ": " + std::strerror(errno);
            transfer.failureIsFinal = true;
            transfer.failureKind = FailureKind::WriteError;
            return;
        }
    }
    if (transfer.buffer.empty()) {
        transfer.bufferAt = transfer.at;
    }
    transfer.buffer.append(data, length);
    transfer.at += length;
    if (transfer.buffer.size() >= settings_.writePiece && !transfer.pausedByDisk) {
        FlushBuffer(transfer);
    }
}

bool Transfers::JudgeHead(Transfer& transfer) {
    File& file = *transfer.file;
    Job& job = *transfer.job;
    const Verdict verdict =
        JudgeAnswer(transfer.ask, transfer.head, file.size, file.sizeFromJob, file.validator);
    const std::string url = file.order.url;
    switch (verdict.kind) {
        case Verdict::Range:
            if (!file.size) {
                file.size = verdict.size;
            }
            if (AdoptFinalFile(job, file)) {
                return false;
            }
            AcceptRanges(job, file, transfer.head.validator);
            transfer.end = std::min(transfer.end, *file.size);
            transfer.headDone = true;
            return true;
        case Verdict::WholeBody: {
            // The body is the whole file from byte 0, whether the server ignores ranges or the
            // file changed since the stored bytes: those are dropped first (and the control file
            // says so) before new bytes can land over them.
            const bool hadData = !file.written.Empty() || file.transfers.size() > 1;
            if (hadData) {
                if (++file.restarts > 3) {
                    transfer.failure = "the file keeps changing on the server";
                    transfer.failureIsFinal = true;
                    transfer.failureKind = FailureKind::Changed;
                    return false;
                }
                ResetFile(job, file, "the server sent the whole file");
                transfer.cancelled = false;
            }
            DropTransfers(file, &transfer);
            file.validator = transfer.head.validator;
            if (!file.sizeFromJob) {
                file.size = transfer.head.contentLength;
            }
            if (!hadData && AdoptFinalFile(job, file)) {
                return false;
            }
            file.wholeBody = true;
            file.answersRanges = false;
            transfer.wholeBody = true;
            transfer.at = 0;
            transfer.end = file.size ? *file.size : kNoEnd;
            transfer.headDone = true;
            return true;
        }
        case Verdict::BeyondEnd:
            if (!file.size) {
                file.size = verdict.size;
            }
            transfer.end = transfer.at;
            transfer.headDone = true;
            transfer.discardBody = true;
            if (*file.size == transfer.ask.begin) {
                return true;  // nothing left to fetch; completion follows when the transfer ends
            }
            [[fallthrough]];
        case Verdict::Changed:
            if (++file.restarts > 3) {
                transfer.failure = "the file keeps changing on the server";
                transfer.failureIsFinal = true;
                transfer.failureKind = FailureKind::Changed;
                return false;
            }
            ResetFile(job, file, "the file changed on the server");
            transfer.cancelled = true;
            return false;
        case Verdict::SizeMismatch:
            transfer.failure = "size mismatch: the server has " +
                               std::to_string(verdict.size.value_or(0)) + " bytes, the list says " +
                               std::to_string(file.size.value_or(0));
            transfer.failureIsFinal = true;
            transfer.failureKind = FailureKind::Changed;
            return false;
        case Verdict::BadRange:
            transfer.failure = "the server answered another range than asked for";
            return false;
        case Verdict::HttpError: {
            const long status = transfer.head.status;
            transfer.failure = "HTTP status " + std::to_string(status);
            transfer.failureIsFinal =
                status >= 400 && status < 500 && status != 408 && status != 429;
            return false;
        }
    }
    return false;
}

void Transfers::AcceptRanges(Job& job, File& file, const Validator& validator) {
    if (file.validator.kind == Validator::None) {
        file.validator = validator;
    }
    if (!file.answersRanges && file.wantedConnections == 1) {
        // The first connection's speed, against which a growth is judged, is measured
        // from its first answer on: the connection's setup would make it look slower.
        file.grewAtMs = EventLoop::NowMs();
        file.receivedAtGrowth = file.received;
        // A large file is worth both receiving threads from the start.
        if (lane_ && !job.limited && *file.size >= settings_.laneStartSize) {
            file.wantedConnections = 2;
        }
    }
    file.answersRanges = true;
}

// ---- jobs ----

std::optional<std::string> Transfers::StartJob(uint32_t jobNumber,
                                               const std::vector<FileOrder>& files, bool limited,
                                               bool mirrorsAtOnce) {
    if (std::optional<std::string> refusal = CheckFileList(files)) {
        return refusal;
    }
    if (jobs_.contains(jobNumber)) {
        return "job " + std::to_string(jobNumber) + " is already running";
    }
    auto job = std::make_unique<Job>();
    job->number = jobNumber;
    job->limited = limited;
    job->mirrorsAtOnce = mirrorsAtOnce;
    if (limited) {
        job->bucket.emplace(settings_.limitedBytesPerSecond, settings_.limitedBytesPerSecond / 8,
                            EventLoop::NowMs());
    }
    std::map<std::string, std::set<std::string>> namesByFolder;
    for (const FileOrder& order : files) {
        namesByFolder[NormalizeFolder(order.folder)].insert(order.name);
    }
    for (uint32_t i = 0; i < files.size(); ++i) {
        auto file = std::make_unique<File>();
        file->index = i;
        file->order = files[i];
        file->urls = SplitAlternatives(files[i].url);
        file->folder = NormalizeFolder(files[i].folder);
        const std::string prefix = file->folder == "/" ? "/" : file->folder + "/";
        file->target = JoinPath(file->folder, files[i].name);
        const SideNames side = MakeSideNames(files[i].name, namesByFolder[file->folder]);
        file->partPath = prefix + side.part;
        file->controlPath = prefix + side.control;
        if (files[i].size >= 0) {
            file->size = static_cast<uint64_t>(files[i].size);
            file->sizeFromJob = true;
        }
        job->files.push_back(std::move(file));
    }
    Job& ref = *job;
    jobs_[jobNumber] = std::move(job);
    for (auto& file : ref.files) {
        InspectFile(ref, *file);
    }
    // Reports go out from the loop, after the caller has taken the job number in.
    Later(0, [this, jobNumber] {
        auto found = jobs_.find(jobNumber);
        if (found == jobs_.end()) {
            return;
        }
        Job& job = *found->second;
        for (auto& file : job.files) {
            if (file->state == File::Complete) {
                listener_.OnFileDone(jobNumber, file->index);
                if (!jobs_.contains(jobNumber)) {
                    return;
                }
            }
        }
        AskNextQuestion(job);
        if (jobs_.contains(jobNumber)) {
            AfterCurl();
        }
    });
    return std::nullopt;
}

void Transfers::InspectFile(Job& job, File& file) {
    struct stat info {};
    const bool finalExists = lstat(file.target.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    if (finalExists && file.size && static_cast<uint64_t>(info.st_size) == *file.size) {
        file.state = File::Complete;
        return;
    }
    if (const std::optional<ControlRecord> control = ReadControlFile(file.controlPath)) {
        struct stat part {};
        if (!control->done.Empty() && lstat(file.partPath.c_str(), &part) == 0 &&
            S_ISREG(part.st_mode)) {
            file.hasOldData = true;
            if (!file.size) {
                // The job's size is reported before the resume question is asked: the stored
                // size stands in until an answer says otherwise.
                file.size = control->size;
            }
        }
    } else if (finalExists && info.st_size > 0 && file.size &&
               static_cast<uint64_t>(info.st_size) < *file.size) {
        // Without a size from the job nothing tells a prefix from a whole older file: such a
        // file is fetched anew and replaced once complete.
        file.hasOldData = true;  // a prefix left under the final name by the direct downloader
    } else if (finalExists && info.st_size > 0 && !file.size) {
        file.finalSizeAtStart = static_cast<uint64_t>(info.st_size);
    }
    if (file.hasOldData) {
        job.questions.push_back(file.index);
    }
}

bool Transfers::AdoptFinalFile(Job& job, File& file) {
    if (!file.finalSizeAtStart || !file.size || *file.finalSizeAtStart != *file.size ||
        !file.written.Empty()) {
        return false;
    }
    struct stat info {};
    if (lstat(file.target.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<uint64_t>(info.st_size) != *file.size) {
        file.finalSizeAtStart.reset();  // changed since the job began: fetched as usual
        return false;
    }
    DropTransfers(file, nullptr);
    // The part file holds nothing yet; removed while its lock is still held.
    unlink(file.partPath.c_str());
    unlink(file.controlPath.c_str());
    CloseFile(file);
    file.state = File::Complete;
    Later(0,
          [this, number = job.number, index = file.index] { listener_.OnFileDone(number, index); });
    return true;
}

void Transfers::AskNextQuestion(Job& job) {
    if (job.questionOpen || job.questions.empty()) {
        return;
    }
    job.questionOpen = true;
    listener_.OnResumeQuestion(job.number, job.questions.front());
}

void Transfers::AnswerResume(uint32_t jobNumber, bool keep, bool applyToAll) {
    auto found = jobs_.find(jobNumber);
    if (found == jobs_.end() || !found->second->questionOpen) {
        return;
    }
    Job& job = *found->second;
    job.questionOpen = false;
    do {
        job.files[job.questions.front()]->keepOldData = keep;
        job.questions.pop_front();
    } while (applyToAll && !job.questions.empty());
    AskNextQuestion(job);
    AfterCurl();
}

bool Transfers::ActivateFile(Job& job, File& file) {
    if (!MakeFolders(file.folder)) {
        FailFile(job, file, FailureKind::WriteError,
                 "cannot create the folder " + file.folder + ": " + std::strerror(errno));
        return false;
    }
    struct stat info {};
    if (lstat(file.target.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        FailFile(job, file, FailureKind::WriteError,
                 "refused target " + file.target + ": it is a symbolic link");
        return false;
    }
    const bool prefixUnderFinal = lstat(file.target.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
                                  info.st_size > 0 && file.hasOldData && file.size &&
                                  static_cast<uint64_t>(info.st_size) < *file.size;
    const uint64_t prefixLength = prefixUnderFinal ? static_cast<uint64_t>(info.st_size) : 0;
    file.fd = open(file.partPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (file.fd < 0) {
        FailFile(job, file, FailureKind::WriteError,
                 "cannot open " + file.partPath + ": " + std::strerror(errno));
        return false;
    }
    if (flock(file.fd, LOCK_EX | LOCK_NB) != 0) {
        close(file.fd);
        file.fd = -1;
        FailFile(job, file, FailureKind::WriteError,
                 file.target + " is being downloaded by another job");
        return false;
    }
    std::optional<ControlRecord> control = ReadControlFile(file.controlPath);
    if (!file.keepOldData) {
        control.reset();
        if (prefixUnderFinal) {
            unlink(file.target.c_str());
        }
    }
    if (control && file.sizeFromJob && control->size != *file.size) {
        control.reset();  // recorded for another version of the file
    }
    if (control) {
        struct stat part {};
        fstat(file.fd, &part);
        // Never trust more than the part file holds.
        ByteRanges done;
        for (const ByteRange& r : control->done.Ranges()) {
            done.Add(r.begin, std::min<uint64_t>(r.end, static_cast<uint64_t>(part.st_size)));
        }
        file.size = control->size;
        file.validator = control->validator;
        file.written = done;
        file.synced = done;
        return true;
    }
    if (ftruncate(file.fd, 0) != 0) {
        FailFile(job, file, FailureKind::WriteError,
                 "cannot write " + file.partPath + ": " + std::strerror(errno));
        return false;
    }
    unlink(file.controlPath.c_str());
    if (prefixUnderFinal && file.keepOldData) {
        // The control file first: a crash between the two steps leaves a record of data the part
        // file lacks, which the next run clips, and the prefix still under the final name.
        if (file.size) {
            ControlRecord record{*file.size, {}, {}};
            record.done.Add(0, prefixLength);
            WriteControlFile(file.controlPath, record);
        }
        const int oldFd = file.fd;
        if (rename(file.target.c_str(), file.partPath.c_str()) == 0) {
            file.fd = open(file.partPath.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
            close(oldFd);
            if (file.fd < 0 || flock(file.fd, LOCK_EX | LOCK_NB) != 0) {
                if (file.fd >= 0) {
                    close(file.fd);
                }
                file.fd = -1;
                FailFile(job, file, FailureKind::WriteError,
                         file.target + " is being downloaded by another job");
                return false;
            }
            file.written.Add(0, prefixLength);
            file.synced = file.written;
        }
    }
    return true;
}

void Transfers::StopJob(uint32_t jobNumber, StopMode mode) {
    auto found = jobs_.find(jobNumber);
    if (found == jobs_.end()) {
        return;
    }
    StopJobNow(*found->second, mode);
    jobs_.erase(found);
}

void Transfers::StopAll(StopMode mode) {
    while (!jobs_.empty()) {
        StopJob(jobs_.begin()->first, mode);
    }
}

void Transfers::StopJobNow(Job& job, StopMode mode) {
    loop_.CancelTimer(job.bucketTimer);
    loop_.CancelTimer(job.diskTimer);
    for (auto& file : job.files) {
        while (!file->transfers.empty()) {
            Transfer* transfer = file->transfers.back().get();
            if (!transfer->cancelled && transfer->failure.empty() && transfer->headDone) {
                FlushBuffer(*transfer);  // received and judged: worth keeping
            }
            RemoveTransfer(transfer, false);
        }
        if (file->fd < 0) {
            continue;
        }
        if (file->state == File::Completing) {
            file->sync->Wait();
            if (file->sync->Completed()) {
                CloseFile(*file);  // under its final name: nothing of it is left to keep
                file->state = File::Complete;
                continue;
            }
            file->state = File::Active;
        }
        SyncFile(*file);
        if (!file->size) {
            // Nothing says how much of the file these bytes are: no record can describe them and
            // no prefix can be handed over, so they go, and the final name is never touched.
            unlink(file->controlPath.c_str());
            unlink(file->partPath.c_str());
        } else if (mode == StopMode::KeepParts) {
            if (file->written != file->synced || !file->written.Empty()) {
                WriteControlFile(file->controlPath, {*file->size, file->validator, file->written});
            }
        } else {
            // The direct downloader resumes from a prefix under the final name; bytes after the
            // first hole cannot be handed over.
            const uint64_t prefix = file->written.ContiguousPrefix();
            unlink(file->controlPath.c_str());
            if (prefix > 0 && prefix <= *file->size &&
                ftruncate(file->fd, static_cast<off_t>(prefix)) == 0 && fdatasync(file->fd) == 0 &&
                rename(file->partPath.c_str(), file->target.c_str()) == 0) {
                SyncFolderOf(file->target);
            } else {
                unlink(file->partPath.c_str());
            }
        }
        CloseFile(*file);
    }
}

// ---- the scheduler ----

void Transfers::AfterCurl() {
    if (!Ok() || driver_->InCurl()) {
        return;
    }
    CURLM* multi = static_cast<CURLM*>(driver_->multi());
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
        if (message->msg != CURLMSG_DONE) {
            continue;
        }
        Transfer* transfer = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
        if (transfer != nullptr) {
            FinishTransfer(transfer, message->data.result);
        }
    }
    if (lane_) {
        while (std::shared_ptr<LanePiece> piece = lane_->TakeFinished()) {
            FinishLanePiece(static_cast<Transfer*>(piece->tag));
        }
    }
    std::vector<uint32_t> numbers;
    for (auto& [number, job] : jobs_) {
        numbers.push_back(number);
    }
    for (const uint32_t number : numbers) {
        auto found = jobs_.find(number);
        if (found == jobs_.end()) {
            continue;
        }
        Job& job = *found->second;
        if (job.ended) {
            continue;
        }
        bool bucketPaused = false;
        for (auto& file : job.files) {
            for (size_t i = 0; i < file->transfers.size();) {
                Transfer* transfer = file->transfers[i].get();
                if (transfer->cancelled) {
                    RemoveTransfer(transfer, false);
                    continue;
                }
                // One place decides: paused while any reason holds, running once none does. A
                // full disk pauses only transfers whose answer was judged: libcurl, paused in the
                // middle of a head, may hand the rest of it over as body once unpaused.
                transfer->wantsPause = false;
                const bool pause = transfer->pausedByBucket ||
                                   (transfer->pausedByDisk && transfer->headDone) || job.paused;
                if (pause && transfer->lanePiece) {
                    RemoveTransfer(transfer, false);  // a lane piece ends, keeping its bytes
                    continue;
                }
                if (pause != transfer->curlPaused) {
                    transfer->curlPaused = pause;
                    curl_easy_pause(transfer->easy, pause ? CURLPAUSE_RECV : CURLPAUSE_CONT);
                }
                bucketPaused = bucketPaused || transfer->pausedByBucket;
                ++i;
            }
        }
        if (bucketPaused && job.bucketTimer == 0) {
            ScheduleBucketResume(job);
        }
        for (auto& file : job.files) {
            if (file->state == File::Completing && !file->sync->Busy()) {
                FinishCompletion(job, *file);
                if (job.ended) {
                    break;
                }
            }
            // A full disk retries completions with the rest of the job's writes.
            if (file->state == File::Active && !job.diskFull) {
                CompleteFileIfDone(job, *file);
            }
        }
        if (job.ended) {
            continue;
        }
        CheckSizesKnown(job);
        Schedule(job);
        CheckJobDone(job);
    }
    for (const uint32_t number : finishedJobs_) {
        jobs_.erase(number);
    }
    finishedJobs_.clear();
}

void Transfers::Schedule(Job& job) {
    if (job.ended || job.diskFull || job.paused) {
        return;
    }
    // While resume questions are open, only sizes are learnt: files without old data whose
    // size the job did not give start, nothing else.
    const bool learningOnly = job.questionOpen || !job.questions.empty();
    const int64_t now = EventLoop::NowMs();
    size_t active = job.ActiveTransfers();
    size_t activeFiles = 0;
    size_t completingFiles = 0;
    for (auto& file : job.files) {
        activeFiles += file->state == File::Active ? 1 : 0;
        completingFiles += file->state == File::Completing ? 1 : 0;
    }
    // Running files first: more connections where they help.
    for (auto& file : job.files) {
        if (file->state != File::Active || now < file->retryAtMs) {
            continue;
        }
        const size_t wanted =
            !file->size || !file->answersRanges || file->wholeBody ? 1 : file->wantedConnections;
        while (file->transfers.size() < wanted && active < settings_.maxConnectionsPerJob) {
            if (!StartTransfer(job, *file)) {
                break;
            }
            ++active;
        }
        if (job.ended) {
            return;
        }
    }
    // Then new files, those of unknown size first while the job's size is not yet known.
    for (int pass = job.sizesKnownReported ? 1 : 0; pass < 2; ++pass) {
        for (auto& file : job.files) {
            const size_t filesAtOnce = job.limited ? 1 : settings_.maxFilesAtOnce;
            if (activeFiles >= filesAtOnce || active >= settings_.maxConnectionsPerJob ||
                completingFiles >= settings_.maxFilesCompleting) {
                return;
            }
            if (file->state != File::Waiting || (pass == 0 && file->size) ||
                (learningOnly && (file->size || file->hasOldData))) {
                continue;
            }
            if (!ActivateFile(job, *file)) {
                if (job.ended) {
                    return;
                }
                continue;
            }
            file->state = File::Active;
            file->grewAtMs = now;  // the first connection's speed is measured from here
            file->receivedAtGrowth = file->received;
            ++activeFiles;
            CompleteFileIfDone(job, *file);
            if (file->state == File::Active && StartTransfer(job, *file)) {
                ++active;
            }
        }
    }
}

bool Transfers::TakePiece(Job& job, File& file, uint64_t* begin, uint64_t* end, uint64_t speed) {
    ByteRanges taken = file.written;
    for (const auto& transfer : file.transfers) {
        taken.Add(transfer->ask.begin, transfer->end == kNoEnd ? kNoEnd : transfer->end);
    }
    if (!file.size) {
        // The first request learns the size (and whether ranges work) from its answer.
        if (!file.transfers.empty()) {
            return false;
        }
        *begin = file.written.ContiguousPrefix();
        // A file already under its final name is most likely complete: one byte names the size.
        const bool probe = file.finalSizeAtStart && file.written.Empty();
        *end = *begin + (probe ? 1 : settings_.firstPiece);
        return true;
    }
    const std::vector<ByteRange> missing = taken.Missing(*file.size);
    if (missing.empty()) {
        return false;
    }
    uint64_t unassigned = 0;
    for (const ByteRange& r : missing) {
        unassigned += r.Length();
    }
    if (file.wholeBody || !file.answersRanges) {
        *begin = missing.front().begin;
        *end = *file.size;
        if (file.answersRanges || file.wholeBody) {
            return true;
        }
        // Ranges not yet seen to work: a first piece, the rest once they do. It ends where the
        // bytes kept from an earlier run begin again.
        *end = std::min(missing.front().end, *begin + settings_.firstPiece);
        return true;
    }
    uint64_t piece =
        speed > 0 ? speed * static_cast<uint64_t>(settings_.pieceSeconds) : settings_.firstPiece;
    piece = std::clamp(piece, settings_.minPiece, settings_.maxPiece);
    // Near the end, share what is left among the connections so that they finish together.
    // While connections are still being added, share it among as many as the file may get:
    // a large piece taken early would keep its one connection busy long after the others.
    const bool mayGrow = !file.growthDone && !job.limited && *file.size >= settings_.minSplitSize;
    const uint32_t sharers = mayGrow ? settings_.maxConnectionsPerFile : file.wantedConnections;
    const uint64_t share = unassigned / std::max<uint32_t>(sharers, 1);
    piece = std::min(piece, std::max(share, settings_.minPiece));
    const ByteRange& first = missing.front();
    *begin = first.begin;
    *end = first.Length() <= piece + settings_.minPiece / 2 ? first.end : first.begin + piece;
    return true;
}

bool Transfers::StartTransfer(Job& job, File& file) {
    uint64_t speed = 0;
    if (!file.transfers.empty()) {
        speed = file.speed / file.transfers.size();
    } else {
        speed = file.speed;
    }
    uint64_t begin = 0;
    uint64_t end = 0;
    if (!TakePiece(job, file, &begin, &end, speed)) {
        return false;
    }
    auto transfer = std::make_unique<Transfer>();
    transfer->owner = this;
    transfer->job = &job;
    transfer->file = &file;
    transfer->ask = {begin, end, false};
    transfer->at = begin;
    transfer->end = end;
    const size_t alternative = job.mirrorsAtOnce
                                   ? (file.urlIndex + job.transfersStarted) % file.urls.size()
                                   : file.urlIndex;
    ++job.transfersStarted;
    RangeRequest request;
    request.url = file.urls[alternative];
    request.begin = begin;
    request.end = end;
    if (file.validator.kind != Validator::None && (begin > 0 || !file.written.Empty())) {
        request.ifRange = file.validator.value;
        transfer->ask.sentIfRange = true;
    }
    // Large reads mean large writes; limited mode reads little at a time to keep its pace even.
    request.bufferSize = job.limited ? 16L * 1024 : static_cast<long>(settings_.writePiece);
    request.connectTimeoutSeconds = settings_.connectTimeoutSeconds;
    request.stallSeconds = settings_.stallSeconds;
    if (OnLane(job, file)) {
        auto piece = std::make_shared<LanePiece>();
        piece->request = request;
        piece->knownSize = file.size;
        piece->sizeFromJob = file.sizeFromJob;
        piece->validator = file.validator;
        piece->sentIfRange = transfer->ask.sentIfRange;
        piece->firstRequest = !file.answersRanges;
        piece->fd = file.fd;
        piece->writePiece = settings_.writePiece;
        piece->tag = transfer.get();
        transfer->lanePiece = piece;
        transfer->headDone = true;  // judged on the lane; what it writes is the asked range
        file.transfers.push_back(std::move(transfer));
        lane_->Start(std::move(piece));
        return true;
    }
    CURL* easy = NewRangeRequest(request, &transfer->headers);
    if (easy == nullptr) {
        return false;
    }
    transfer->easy = easy;
    curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfers::HeaderCallback);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer.get());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfers::WriteCallback);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->errorText);
    Transfer* raw = transfer.get();
    file.transfers.push_back(std::move(transfer));
    if (curl_multi_add_handle(static_cast<CURLM*>(driver_->multi()), easy) != CURLM_OK) {
        RemoveTransfer(raw, false);
        return false;
    }
    return true;
}

bool Transfers::OnLane(const Job& job, const File& file) const {
    if (!lane_ || job.limited || job.firstPiecesHere || file.wholeBody || file.laneRefused) {
        return false;
    }
    if (!file.answersRanges) {
        // A file's first request goes to the lane only when nothing about the file needs the
        // whole judgement of its answer: no bytes kept, no final-name file to size up. Files
        // then alternate between the threads.
        if (!file.written.Empty() || file.finalSizeAtStart || file.restarts > 0) {
            return false;
        }
        size_t onLane = 0;
        size_t all = 0;
        for (const auto& other : job.files) {
            for (const auto& transfer : other->transfers) {
                onLane += transfer->lanePiece ? 1 : 0;
                ++all;
            }
        }
        return onLane * 2 < all + 1;
    }
    if (!file.size || *file.size < settings_.minSplitSize) {
        return false;
    }
    size_t onLane = 0;
    for (const auto& transfer : file.transfers) {
        onLane += transfer->lanePiece ? 1 : 0;
    }
    return onLane * 2 < file.transfers.size();  // every other connection of the file
}

void Transfers::DrainLane(Transfer& transfer) {
    if (!transfer.lanePiece) {
        return;
    }
    LanePiece& piece = *transfer.lanePiece;
    if (piece.firstRequest && !transfer.laneHeadTaken) {
        if (!piece.headKnown.load(std::memory_order_acquire)) {
            return;  // no body byte comes before the head
        }
        transfer.laneHeadTaken = true;
        TakeLaneHead(transfer);
    }
    const uint64_t written = piece.written.load(std::memory_order_acquire);
    const uint64_t received = piece.received.load(std::memory_order_relaxed);
    const uint64_t fresh = received - transfer.laneReceived;
    transfer.laneReceived = received;
    transfer.bytesThisTick += fresh;
    transfer.file->bytesThisTick += fresh;
    transfer.file->received += fresh;
    transfer.job->bytesThisTick += fresh;
    bytesSinceTick_ += fresh;
    if (written > transfer.at) {
        transfer.file->written.Add(transfer.at, written);
        Written(*transfer.file, written - transfer.at);
        transfer.at = written;
        transfer.bufferAt = written;
    }
}

void Transfers::DrainLanes(File& file) {
    for (auto& transfer : file.transfers) {
        DrainLane(*transfer);
    }
}

void Transfers::TakeLaneHead(Transfer& transfer) {
    // What JudgeHead does for a first answer received on this thread.
    File& file = *transfer.file;
    const LanePiece& piece = *transfer.lanePiece;
    if (piece.wholeBody) {
        file.wholeBody = true;
        file.validator = piece.learntValidator;
        if (!file.sizeFromJob) {
            file.size = piece.learntSize;
        }
        transfer.wholeBody = true;
        transfer.end = file.size ? *file.size : kNoEnd;
        return;
    }
    if (!file.size) {
        file.size = piece.learntSize;
    }
    AcceptRanges(*transfer.job, file, piece.learntValidator);
    transfer.end = std::min(transfer.end, *file.size);
}

void Transfers::FinishLanePiece(Transfer* transfer) {
    DrainLane(*transfer);
    const LanePiece& piece = *transfer->lanePiece;
    File& file = *transfer->file;
    if (piece.handBack) {
        // The owner's own connection asks again and judges the answer with the file's state.
        file.laneRefused = true;
        transfer->job->firstPiecesHere = transfer->job->firstPiecesHere || !file.answersRanges;
        RemoveTransfer(transfer, false);
        return;
    }
    transfer->headDone = piece.headKnown.load(std::memory_order_acquire);
    if (piece.writeError != 0) {
        if (IsDiskFullError(piece.writeError)) {
            transfer->pausedByDisk = true;
            PauseForDisk(*transfer->job);
        } else {
            transfer->failure = std::string("cannot write ") + file.partPath + ": " +
                                std::strerror(piece.writeError);
            transfer->failureIsFinal = true;
            transfer->failureKind = FailureKind::WriteError;
        }
    } else if (!piece.failure.empty()) {
        transfer->failure = piece.failure;
    }
    FinishTransfer(transfer, piece.curlResult);
}

void Transfers::RemoveTransfer(Transfer* transfer, bool) {
    File& file = *transfer->file;
    if (transfer->lanePiece) {
        // Back from the lane before anything else touches the file: a reset truncates it.
        lane_->Cancel(transfer->lanePiece, !transfer->cancelled);
        if (!transfer->cancelled) {
            DrainLane(*transfer);
        }
    }
    if (transfer->easy != nullptr) {
        curl_multi_remove_handle(static_cast<CURLM*>(driver_->multi()), transfer->easy);
        curl_easy_cleanup(transfer->easy);
    }
    curl_slist_free_all(transfer->headers);
    std::erase_if(file.transfers, [&](const auto& owned) { return owned.get() == transfer; });
}

bool Transfers::FlushBuffer(Transfer& transfer) {
    if (transfer.buffer.empty()) {
        return true;
    }
    File& file = *transfer.file;
    if (!WriteAll(file.fd, transfer.buffer.data(), transfer.buffer.size(), transfer.bufferAt)) {
        const int error = errno;
        if (IsDiskFullError(error)) {
            transfer.pausedByDisk = true;
            transfer.wantsPause = true;
            PauseForDisk(*transfer.job);
        } else {
            transfer.failure =
                std::string("cannot write ") + file.partPath + ": " + std::strerror(error);
            transfer.failureIsFinal = true;
            transfer.failureKind = FailureKind::WriteError;
        }
        return false;
    }
    file.written.Add(transfer.bufferAt, transfer.bufferAt + transfer.buffer.size());
    transfer.bufferAt += transfer.buffer.size();
    Written(file, transfer.buffer.size());
    transfer.buffer.clear();
    return true;
}

void Transfers::FinishTransfer(Transfer* transfer, int curlResult) {
    Job& job = *transfer->job;
    File& file = *transfer->file;
    const int64_t now = EventLoop::NowMs();
    if (transfer->cancelled) {
        RemoveTransfer(transfer, false);
        return;
    }
    if (transfer->failure.empty() && transfer->headDone) {
        FlushBuffer(*transfer);  // received and verified bytes are kept even when the rest failed
    }
    std::string failure = transfer->failure;
    bool final = transfer->failureIsFinal;
    const FailureKind kind = transfer->failureKind;
    std::string url = file.urls[file.urlIndex];
    long osErrno = 0;
    const char* errorText = transfer->errorText;
    if (transfer->lanePiece) {
        url = transfer->lanePiece->effectiveUrl;
        osErrno = transfer->lanePiece->osErrno;
        errorText = transfer->lanePiece->errorText.c_str();
    } else {
        char* effective = nullptr;
        curl_easy_getinfo(transfer->easy, CURLINFO_EFFECTIVE_URL, &effective);
        url = effective != nullptr ? effective : url;
        curl_easy_getinfo(transfer->easy, CURLINFO_OS_ERRNO, &osErrno);
    }
    bool network = false;
    if (failure.empty() && !transfer->headDone && curlResult == CURLE_OK) {
        failure = "the server sent no answer";
        network = true;
    }
    if (failure.empty() && curlResult != CURLE_OK) {
        failure = DescribeCurlFailure(curlResult, osErrno, errorText);
        network = IsNetworkError(curlResult);
        final = curlResult == CURLE_UNSUPPORTED_PROTOCOL || curlResult == CURLE_URL_MALFORMAT ||
                curlResult == CURLE_TOO_MANY_REDIRECTS ||
                curlResult == CURLE_PEER_FAILED_VERIFICATION;
    }
    if (failure.empty() && transfer->wholeBody && !file.size) {
        file.size = transfer->at;  // a body without a length ends with the connection
    }
    if (failure.empty() && transfer->end != kNoEnd && transfer->at < transfer->end) {
        failure = "the connection closed before the range was complete";
        network = true;
    }
    const bool diskPaused = transfer->pausedByDisk;
    RemoveTransfer(transfer, false);
    if (failure.empty()) {
        file.failures = 0;
        return;
    }
    if (diskPaused || job.diskFull) {
        return;  // not the server's fault: the job retries once space returns
    }
    if (network) {
        lastNetworkFailureMs_ = now;
    }
    file.lastFailure = failure;
    if (final || ++file.failures >= settings_.retryLimit) {
        if (kind == FailureKind::Unreachable && file.urlIndex + 1 < file.urls.size()) {
            ++file.urlIndex;  // the next alternative, afresh
            file.failures = 0;
            file.retryAtMs = now;
            return;
        }
        FailFile(job, file, kind, url + ": " + failure);
        return;
    }
    const int64_t delay = std::min<int64_t>(static_cast<int64_t>(settings_.retryFirstDelayMs)
                                                << std::min<uint32_t>(file.failures - 1, 16),
                                            settings_.retryMaxDelayMs);
    file.retryAtMs = now + delay;
    Later(delay, [this, number = job.number] {
        if (jobs_.contains(number)) {
            AfterCurl();
        }
    });
}

void Transfers::ResetFile(Job&, File& file, const char*) {
    file.sync->Wait();  // a checkpoint under way must not record the old bytes afterwards
    DropTransfers(file, nullptr);
    file.written.Clear();
    file.synced.Clear();
    file.validator = {};
    file.answersRanges = false;
    file.wholeBody = false;
    file.wantedConnections = 1;
    file.growthDone = false;
    file.speedBeforeGrowth = 0;
    file.grewAtMs = EventLoop::NowMs();
    file.receivedAtGrowth = file.received;
    file.unsyncedBytes = 0;
    if (!file.sizeFromJob) {
        file.size.reset();
    }
    // The record goes before any new byte can land over the old ones.
    unlink(file.controlPath.c_str());
    SyncFolderOf(file.controlPath);
    if (file.fd >= 0 && ftruncate(file.fd, 0) != 0) {
        // Stale bytes beyond the new data are never claimed by the record; nothing to undo.
    }
}

void Transfers::DropTransfers(File& file, const Transfer* except) {
    for (auto& transfer : file.transfers) {
        if (transfer.get() == except) {
            continue;
        }
        transfer->cancelled = true;
        transfer->buffer.clear();
        if (transfer->lanePiece) {
            // Back before the caller truncates, removes or closes the part file.
            lane_->Cancel(transfer->lanePiece, false);
        }
    }
}

void Transfers::SyncFile(File& file) {
    file.sync->Wait();
    if (file.fd >= 0) {
        fdatasync(file.fd);
    }
}

void Transfers::CloseFile(File& file) {
    file.sync->Wait();
    if (file.fd >= 0) {
        close(file.fd);  // releases the lock
        file.fd = -1;
    }
}

void Transfers::CompleteFileIfDone(Job&, File& file) {
    if (!file.size || !file.transfers.empty() || !file.written.Covers(0, *file.size)) {
        return;
    }
    // The sync, rename and folder sync wait for the disk: they run on the checkpointer's
    // threads, and the next file starts meanwhile.
    file.sync->Wait();
    file.sync->TakeError();  // a failed checkpoint no longer matters: the whole file is synced
    if (checkpointer_->SubmitCompletion(file.sync, file.fd, file.partPath, file.target,
                                        file.controlPath, *file.size)) {
        file.state = File::Completing;
    }
}

void Transfers::FinishCompletion(Job& job, File& file) {
    if (file.sync->Completed()) {
        CloseFile(file);
        file.state = File::Complete;
        Later(0, [this, number = job.number, index = file.index] {
            listener_.OnFileDone(number, index);
        });
        return;
    }
    const int error = file.sync->TakeError();
    file.state = File::Active;
    if (file.sync->FailedStep() == CompletionStep::Write && IsDiskFullError(error)) {
        PauseForDisk(job);  // tried again once the disk has room
        return;
    }
    FailFile(job, file, FailureKind::WriteError,
             std::string(file.sync->FailedStep() == CompletionStep::Write ? "cannot write "
                                                                          : "cannot rename ") +
                 file.partPath + ": " + std::strerror(error));
}

void Transfers::FailFile(Job& job, File& file, FailureKind kind, const std::string& reason) {
    if (job.ended) {
        return;
    }
    file.state = File::Failed;
    job.ended = true;
    // Other files keep their data; the job stops at once.
    StopJobNow(job, StopMode::KeepParts);
    finishedJobs_.push_back(job.number);
    Later(0, [this, number = job.number, index = file.index, kind, reason] {
        listener_.OnFileFailed(number, index, kind, reason);
    });
    if (!driver_->InCurl()) {
        // Not called from the round that erases finished jobs: erase on the next one.
        Later(0, [this] { AfterCurl(); });
    }
}

void Transfers::CheckSizesKnown(Job& job) {
    if (job.sizesKnownReported) {
        return;
    }
    for (auto& file : job.files) {
        if (!file->size && file->state != File::Complete) {
            return;
        }
    }
    job.sizesKnownReported = true;
    uint64_t total = 0;
    for (auto& file : job.files) {
        total += file->size.value_or(0);
    }
    // Not only while the job is listed: a job that ends in this round still reports its sizes
    // before its end, or the library would never learn the engine's number for it.
    Later(0, [this, number = job.number, total] { listener_.OnSizesKnown(number, total); });
}

void Transfers::CheckJobDone(Job& job) {
    if (job.ended || !job.sizesKnownReported) {
        return;
    }
    for (auto& file : job.files) {
        if (file->state != File::Complete) {
            return;
        }
    }
    job.ended = true;
    finishedJobs_.push_back(job.number);
    // After the file reports queued before it.
    Later(0, [this, number = job.number] { listener_.OnJobDone(number); });
}

// ---- limited mode, full disks, the clock ----

void Transfers::ScheduleBucketResume(Job& job) {
    const int64_t wait = std::max<int64_t>(job.bucket->MsUntilClear(EventLoop::NowMs()), 1);
    job.bucketTimer = loop_.AddTimer(wait, [this, number = job.number] {
        auto found = jobs_.find(number);
        if (found == jobs_.end()) {
            return;
        }
        Job& job = *found->second;
        job.bucketTimer = 0;
        for (auto& file : job.files) {
            for (auto& transfer : file->transfers) {
                transfer->pausedByBucket = false;
            }
        }
        AfterCurl();
    });
}

void Transfers::PauseForDisk(Job& job) {
    for (auto& file : job.files) {
        for (auto& transfer : file->transfers) {
            if (!transfer->pausedByDisk) {
                transfer->pausedByDisk = true;
                transfer->wantsPause = true;
            }
        }
    }
    if (job.diskFull) {
        return;
    }
    job.diskFull = true;
    Later(0, [this, number = job.number] {
        if (jobs_.contains(number)) {
            listener_.OnDiskFull(number, true);
        }
    });
    job.diskTimer =
        loop_.AddTimer(settings_.diskRetryMs, [this, number = job.number] { RetryDisk(number); });
}

void Transfers::RetryDisk(uint32_t number) {
    auto found = jobs_.find(number);
    if (found == jobs_.end()) {
        return;
    }
    Job& job = *found->second;
    job.diskTimer = 0;
    for (auto& file : job.files) {
        for (auto& transfer : file->transfers) {
            if (!FlushBuffer(*transfer)) {
                if (!transfer->failure.empty()) {
                    continue;
                }
                job.diskTimer =
                    loop_.AddTimer(settings_.diskRetryMs, [this, number] { RetryDisk(number); });
                return;
            }
        }
    }
    job.diskFull = false;
    for (auto& file : job.files) {
        for (auto& transfer : file->transfers) {
            transfer->pausedByDisk = false;
        }
    }
    listener_.OnDiskFull(number, false);
    AfterCurl();
}

void Transfers::Checkpoint() {
    checkpointTimer_ = loop_.AddTimer(settings_.checkpointMs, [this] { Checkpoint(); });
    for (auto& [number, job] : jobs_) {
        for (auto& file : job->files) {
            if (file->state != File::Active) {
                continue;
            }
            if (IsDiskFullError(file->sync->TakeError())) {
                file->synced.Clear();  // not recorded: the next checkpoint tries again
                PauseForDisk(*job);
            }
            DrainLanes(*file);
            CheckpointFile(*file);
        }
    }
    AfterCurl();
}

void Transfers::Written(File& file, uint64_t length) {
    file.unsyncedBytes += length;
    // On a fast line a second is a lot of data: a crash must not cost more than a bounded
    // amount, so a checkpoint also follows every so many bytes.
    if (file.unsyncedBytes >= settings_.checkpointBytes) {
        CheckpointFile(file);
    }
}

void Transfers::CheckpointFile(File& file) {
    if (!file.size || file.written == file.synced || file.sync->Busy()) {
        return;
    }
    if (checkpointer_->Submit(file.sync, file.fd, file.controlPath,
                              {*file.size, file.validator, file.written})) {
        file.synced = file.written;
        file.unsyncedBytes = 0;
    }
}

void Transfers::Tick() {
    tickTimer_ = loop_.AddTimer(settings_.tickMs, [this] { Tick(); });
    const int64_t now = EventLoop::NowMs();
    bool anyTransfer = false;
    for (auto& [number, job] : jobs_) {
        for (auto& file : job->files) {
            DrainLanes(*file);  // the lane's bytes count in this tick too
        }
    }
    const bool anyBytes = bytesSinceTick_ > 0;
    bytesSinceTick_ = 0;
    for (auto& [number, job] : jobs_) {
        job->speed = (job->speed + job->bytesThisTick * 1000 / settings_.tickMs) / 2;
        job->bytesThisTick = 0;
        for (auto& file : job->files) {
            file->speed = (file->speed + file->bytesThisTick * 1000 / settings_.tickMs) / 2;
            file->bytesThisTick = 0;
            anyTransfer =
                anyTransfer || (!file->transfers.empty() && !job->paused && !job->diskFull);
            if (file->state != File::Active || !file->answersRanges || file->wholeBody ||
                job->limited || file->growthDone || !file->size ||
                *file->size < settings_.minSplitSize) {
                continue;
            }
            // Judge a growth once it had its interval to show its effect, and grow only while
            // that is worth it (the piece left is large enough to share).
            if (file->transfers.size() < file->wantedConnections ||
                now - file->grewAtMs < settings_.growthIntervalMs) {
                continue;
            }
            const uint64_t speed =
                (file->received - file->receivedAtGrowth) * 1000 /
                static_cast<uint64_t>(std::max<int64_t>(now - file->grewAtMs, 1));
            uint64_t left = *file->size - std::min(*file->size, file->written.Total());
            if (left < 4 * settings_.minPiece) {
                continue;
            }
            if (file->speedBeforeGrowth > 0 && speed * 4 < file->speedBeforeGrowth * 5) {
                file->growthDone = true;  // the last growth gained less than a quarter
                continue;
            }
            if (file->wantedConnections >= settings_.maxConnectionsPerFile) {
                file->growthDone = true;
                continue;
            }
            // Connections that each added at least half their share (a server that caps each
            // connection) make the next step four times as many, else twice.
            const bool nearlyLinear =
                file->speedBeforeGrowth > 0 && speed * 2 >= file->speedBeforeGrowth * 3;
            file->speedBeforeGrowth = speed;
            file->wantedConnections = std::min(file->wantedConnections * (nearlyLinear ? 4 : 2),
                                               settings_.maxConnectionsPerFile);
            file->grewAtMs = now;
            file->receivedAtGrowth = file->received;
        }
    }
    if (anyBytes) {
        lastBytesMs_ = now;
        if (networkPoor_) {
            networkPoor_ = false;
            listener_.OnNetworkTrouble(false);
        }
    } else if (!anyTransfer && lastNetworkFailureMs_ <= lastBytesMs_) {
        lastBytesMs_ = now;  // nothing running: nothing to judge the network by
    } else if (!networkPoor_ && now - lastBytesMs_ >= settings_.networkPoorMs) {
        networkPoor_ = true;
        listener_.OnNetworkTrouble(true);
    }
    AfterCurl();
}

void Transfers::SetPaused(uint32_t number, bool paused) {
    auto found = jobs_.find(number);
    if (found == jobs_.end() || found->second->paused == paused) {
        return;
    }
    Job& job = *found->second;
    job.paused = paused;
    if (paused) {
        // A paused job moves no bytes: a transfer whose rest can be asked for again later ends
        // now, keeping what it received. Only a whole-file answer (the server ignores ranges) is
        // held open, paused, as its rest could not be asked for.
        for (auto& file : job.files) {
            for (size_t i = 0; i < file->transfers.size();) {
                Transfer* transfer = file->transfers[i].get();
                if (transfer->wholeBody && !transfer->cancelled) {
                    ++i;
                    continue;
                }
                if (!transfer->cancelled && transfer->failure.empty() && transfer->headDone) {
                    FlushBuffer(*transfer);
                }
                RemoveTransfer(transfer, false);
            }
        }
    }
    AfterCurl();
}

void Transfers::AllowMirrorsAtOnce(uint32_t number) {
    auto found = jobs_.find(number);
    if (found != jobs_.end() && !found->second->mirrorsAtOnce) {
        found->second->mirrorsAtOnce = true;
        AfterCurl();  // the next pieces go to the other alternatives
    }
}

bool Transfers::JobIsWaiting(uint32_t number) const {
    auto found = jobs_.find(number);
    if (found == jobs_.end()) {
        return false;
    }
    const Job& job = *found->second;
    return job.paused || job.diskFull || job.questionOpen;
}

// ---- questions from the protocol ----

std::optional<JobProgress> Transfers::Progress(uint32_t number) const {
    auto found = jobs_.find(number);
    if (found == jobs_.end()) {
        return std::nullopt;
    }
    const Job& job = *found->second;
    JobProgress progress;
    progress.files = static_cast<uint32_t>(job.files.size());
    progress.bytesPerSecond = job.speed;
    progress.firstIncomplete = progress.files;
    for (const auto& file : job.files) {
        FileProgress entry;
        entry.size = file->size.value_or(0);
        if (file->state == File::Complete) {
            entry.present = entry.size;
            ++progress.filesDone;
        } else {
            entry.present = file->written.Total();
            for (const auto& transfer : file->transfers) {
                entry.present += transfer->buffer.size();
            }
            entry.present = std::min(entry.present, entry.size == 0 ? entry.present : entry.size);
            entry.index = file->index;
            entry.bytesPerSecond = file->speed;
            if (progress.firstIncomplete == progress.files) {
                progress.firstIncomplete = file->index;
                progress.firstIncompleteFile = entry;
            }
            if (file->state == File::Active) {
                progress.running.push_back(entry);
            }
        }
        progress.total += entry.size;
        progress.present += entry.present;
    }
    return progress;
}

std::string Transfers::TargetPath(uint32_t number, uint32_t index) const {
    auto found = jobs_.find(number);
    if (found == jobs_.end() || index >= found->second->files.size()) {
        return {};
    }
    return found->second->files[index]->target;
}

const std::string& Transfers::FileUrl(uint32_t number, uint32_t index) const {
    static const std::string none;
    auto found = jobs_.find(number);
    if (found == jobs_.end() || index >= found->second->files.size()) {
        return none;
    }
    return found->second->files[index]->order.url;
}

}  // namespace tev::localengine
