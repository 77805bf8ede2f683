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
#include "transfer/peer_hooks.h"
#include "transfer/range_request.h"
#include "transfer/receive_lane.h"
#include "transfer/response_check.h"
#include "transfer/side_names.h"
#include "transfer/token_bucket.h"
#include "transfer/transfer_state.h"

namespace tev::localengine {

namespace {

PieceRules PieceRulesOf(const TransferSettings& settings) {
    return {settings.firstPiece, settings.minPiece, settings.maxPiece, settings.pieceSeconds};
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
    lastTickMs_ = lastBytesMs_;
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
        if (peers_ != nullptr) {
            peers_->FileClosed(job.number, file->index);  // before its part file closes
        }
        while (!file->transfers.empty()) {
            Transfer* transfer = file->transfers.back().get();
            if (!transfer->cancelled && transfer->failure.empty() && transfer->headDone) {
                FlushBuffer(*transfer);  // received and judged: worth keeping
            }
            RemoveTransfer(transfer, false);
        }
        PutAway(*file, mode);
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
        const std::vector<File*> working = job.Working();
        for (File* file : working) {
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
                if (pause && transfer->lanePiece &&
                    !(job.paused && !transfer->pausedByDisk && HeldOpenWhilePaused(*transfer))) {
                    RemoveTransfer(transfer, false);  // a lane piece ends, keeping its bytes
                    continue;
                }
                if (pause != transfer->curlPaused) {
                    transfer->curlPaused = pause;
                    if (transfer->lanePiece) {
                        lane_->Pause(transfer->lanePiece, pause);
                    } else {
                        curl_easy_pause(transfer->easy, pause ? CURLPAUSE_RECV : CURLPAUSE_CONT);
                    }
                }
                bucketPaused = bucketPaused || transfer->pausedByBucket;
                ++i;
            }
        }
        if (bucketPaused && job.bucketTimer == 0) {
            ScheduleBucketResume(job);
        }
        for (File* file : working) {
            if (file->state == File::Completing && !file->sync->Busy()) {
                FinishCompletion(job, *file);
                if (job.ended) {
                    break;
                }
            }
            // A full disk retries completions with the rest of the job's writes.
            if (file->state == File::Active && !job.diskFull) {
                CompleteFileIfDone(job, *file);
                if (job.ended) {
                    break;
                }
            }
        }
        if (job.ended) {
            continue;
        }
        for (File* file : working) {
            if (file->state != File::Active && file->state != File::Completing &&
                file->transfers.empty()) {
                job.atWork.erase(file->index);
            }
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
    // While resume questions are open, only sizes are learnt (probes, below), and no data moves.
    const bool learningOnly = job.questionOpen || !job.questions.empty();
    const int64_t now = EventLoop::NowMs();
    size_t active = job.ActiveTransfers();
    size_t activeFiles = 0;
    size_t completingFiles = 0;
    size_t probes = 0;
    const std::vector<File*> working = job.Working();
    for (File* file : working) {
        activeFiles += file->state == File::Active ? 1 : 0;
        completingFiles += file->state == File::Completing ? 1 : 0;
        probes += file->state == File::Waiting && !file->transfers.empty() ? 1 : 0;
    }
    // Running files first: more connections where they help.
    for (File* file : working) {
        if (file->state != File::Active || now < file->retryAtMs) {
            continue;
        }
        size_t wanted = !file->size || !file->answersRanges || file->wholeBody || file->noValidator
                            ? 1
                            : file->growth.wanted;
        if (peers_ != nullptr) {
            const uint32_t cap = peers_->HttpConnections(job.number, file->index);
            wanted = cap > 0 ? std::min<size_t>(wanted, cap) : wanted;
        }
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
    // Then new files in the list's order; those whose size only their own request tells first.
    const size_t filesAtOnce = job.limited ? 1 : settings_.maxFilesAtOnce;
    const auto room = [&] {
        return activeFiles < filesAtOnce && active < settings_.maxConnectionsPerJob &&
               completingFiles < settings_.maxFilesCompleting;
    };
    const auto activate = [&](File& file) {
        if (!ActivateFile(job, file)) {
            return;
        }
        file.state = File::Active;
        job.atWork.insert(file.index);
        file.grewAtMs = now;  // the first connection's speed is measured from here
        file.lastByteMs = now;
        file.receivedAtGrowth = file.received;
        ++activeFiles;
        CompleteFileIfDone(job, file);
        if (file.state == File::Active && StartTransfer(job, file)) {
            ++active;
        }
    };
    while (!job.startFirst.empty() && room() && !job.ended) {
        File& file = *job.files[job.startFirst.front()];
        // While a question is open only a file whose size nothing else can tell starts.
        if (learningOnly && (file.size || file.hasOldData)) {
            break;
        }
        job.startFirst.pop_front();
        if (file.state == File::Waiting) {
            activate(file);
        }
    }
    while (!learningOnly && job.nextNew < job.files.size() && room() && !job.ended) {
        File& file = *job.files[job.nextNew];
        ++job.nextNew;
        if (file.state == File::Waiting) {
            activate(file);
        }
    }
    if (job.ended || job.sizesKnownReported) {
        return;
    }
    // Sizes ahead of the data: files that cannot start yet (a question is open, the job is
    // limited, or many files wait) learn theirs from a one-byte request each, which costs
    // nothing against a limited job's rate, so that the job's size and progress come early.
    const auto probeable = [](const File& file) {
        return file.state == File::Waiting && !file.size && !file.hasOldData &&
               !file.finalAtStart && !file.probeFailed && file.transfers.empty();
    };
    const auto probeRoom = [&] {
        return active < settings_.maxConnectionsPerJob && probes < settings_.maxFilesAtOnce;
    };
    while (!job.probeAgain.empty() && probeRoom() && !job.ended) {
        File& file = *job.files[job.probeAgain.front()];
        if (probeable(file) && now < file.retryAtMs) {
            break;  // its retry timer comes back here
        }
        job.probeAgain.pop_front();
        if (probeable(file) && StartTransfer(job, file, true)) {
            ++active;
            ++probes;
        }
    }
    while (job.nextProbe < job.files.size() && probeRoom() && !job.ended) {
        File& file = *job.files[job.nextProbe];
        ++job.nextProbe;
        if (probeable(file) && StartTransfer(job, file, true)) {
            ++active;
            ++probes;
        }
    }
}

bool Transfers::TakePiece(Job& job, File& file, uint64_t* begin, uint64_t* end, uint64_t speed) {
    PiecePlan plan;
    plan.size = file.size;
    plan.onDisk = file.written;
    plan.taken = file.written;
    for (const auto& transfer : file.transfers) {
        plan.taken.Add(transfer->ask.begin, transfer->end);
    }
    plan.anyRequest = !file.transfers.empty();
    plan.answersRanges = file.answersRanges;
    plan.wholeBody = file.wholeBody;
    plan.oneRequest = file.noValidator;
    // A file already under its final name is most likely complete: one byte names the size.
    plan.probeSize = file.finalAtStart && file.written.Empty();
    // While connections are still being added, what is left is shared among as many as the
    // file may get: a large piece taken early would keep its one connection busy long after
    // the others.
    const bool mayGrow =
        !file.growth.done && !job.limited && file.size && *file.size >= settings_.minSplitSize;
    plan.sharers = mayGrow ? settings_.maxConnectionsPerFile : file.growth.wanted;
    if (peers_ != nullptr) {
        peers_->AdjustPlan(job.number, file.index, plan);
    }
    const std::optional<ByteRange> piece = ChoosePiece(plan, speed, PieceRulesOf(settings_));
    if (!piece) {
        return false;
    }
    *begin = piece->begin;
    *end = piece->end;
    return true;
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
    const auto known = [&](uint32_t index) {
        return job.files[index]->size || job.files[index]->state == File::Complete;
    };
    while (job.sizesFrom < job.files.size() && known(job.sizesFrom)) {
        ++job.sizesFrom;
    }
    if (job.sizesFrom < job.files.size()) {
        return;
    }
    // A size may have been forgotten since (the file changed on the server): look once more.
    for (uint32_t index = 0; index < job.files.size(); ++index) {
        if (!known(index)) {
            job.sizesFrom = index;
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
    // Complete is for good: the files before doneFrom need no second look.
    while (job.doneFrom < job.files.size() && job.files[job.doneFrom]->state == File::Complete) {
        ++job.doneFrom;
    }
    if (job.doneFrom < job.files.size()) {
        return;
    }
    job.ended = true;
    finishedJobs_.push_back(job.number);
    // After the file reports queued before it. The job is gone by then; its last progress
    // (every byte present) stays readable while the listener hears of its end.
    finalProgress_[job.number] = *Progress(job.number);
    Later(0, [this, number = job.number] {
        listener_.OnJobDone(number);
        finalProgress_.erase(number);
    });
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
        for (File* file : job.Working()) {
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

void Transfers::Tick() {
    tickTimer_ = loop_.AddTimer(settings_.tickMs, [this] { Tick(); });
    const int64_t now = EventLoop::NowMs();
    bool anyTransfer = false;
    bool waitsForNetwork = false;  // a file waits to try again after a network failure
    for (auto& [number, job] : jobs_) {
        for (File* file : job->Working()) {
            DrainLanes(*file);  // the lane's bytes count in this tick too
            // Peers hear of whole pieces soon, not only at the next checkpoint: another player
            // would otherwise fetch them from the server too.
            if (peers_ != nullptr && file->state == File::Active && file->fd >= 0) {
                peers_->OnDisk(number, file->index, file->written, file->fd);
            }
        }
    }
    BoundTransfers(now - lastTickMs_);
    lastTickMs_ = now;
    const bool anyBytes = bytesSinceTick_ > 0;
    bytesSinceTick_ = 0;
    for (auto& [number, job] : jobs_) {
        job->speed = (job->speed + job->bytesThisTick * 1000 / settings_.tickMs) / 2;
        job->bytesThisTick = 0;
        for (File* file : job->Working()) {
            file->speed = (file->speed + file->bytesThisTick * 1000 / settings_.tickMs) / 2;
            file->bytesThisTick = 0;
            // Only a transfer that waits for the server says anything of the network; one held
            // by a wait of ours (the limited mode's bucket, room on the disk, a pause) does not.
            anyTransfer =
                anyTransfer ||
                (!job->paused && !job->diskFull &&
                 std::any_of(file->transfers.begin(), file->transfers.end(),
                             [](const std::unique_ptr<Transfer>& transfer) {
                                 return !transfer->pausedByBucket && !transfer->pausedByDisk;
                             }));
            waitsForNetwork =
                waitsForNetwork || (!job->paused && !job->diskFull && file->retryAtMs > now &&
                                    lastNetworkFailureMs_ > lastBytesMs_);
            if (file->state != File::Active || !file->answersRanges || file->wholeBody ||
                job->limited || file->growth.done || !file->size ||
                *file->size < settings_.minSplitSize) {
                continue;
            }
            // Judge a growth once it had its interval to show its effect.
            if (file->transfers.size() < file->growth.wanted ||
                now - file->grewAtMs < settings_.growthIntervalMs) {
                continue;
            }
            const uint64_t speed =
                (file->received - file->receivedAtGrowth) * 1000 /
                static_cast<uint64_t>(std::max<int64_t>(now - file->grewAtMs, 1));
            const uint64_t left = *file->size - std::min(*file->size, file->written.Total());
            if (JudgeGrowth(file->growth, speed, left, settings_.maxConnectionsPerFile,
                            settings_.minPiece, now - file->grewAtMs, settings_.growthIntervalMs)) {
                file->grewAtMs = now;
                file->receivedAtGrowth = file->received;
            }
        }
    }
    if (anyBytes) {
        lastBytesMs_ = now;
        if (networkPoor_) {
            networkPoor_ = false;
            listener_.OnNetworkTrouble(false);
        }
    } else if (!anyTransfer && !waitsForNetwork) {
        // Nothing waits for the network (an open question, a pause, a full disk, nothing to
        // do): nothing to judge it by, so the wait does not count against it later.
        lastBytesMs_ = now;
    } else if (!networkPoor_ && now - lastBytesMs_ >= settings_.networkPoorMs) {
        networkPoor_ = true;
        listener_.OnNetworkTrouble(true);
    }
    AfterCurl();
}

void Transfers::BoundTransfers(int64_t elapsedMs) {
    const auto budgetMs = [&](const Transfer& transfer) {
        // An answer of unknown length is held to the pace of what it brought so far.
        const uint64_t length = transfer.end != kNoEnd
                                    ? transfer.end - transfer.from
                                    : std::max(transfer.at - transfer.from, settings_.firstPiece);
        const uint64_t pace = std::max<uint64_t>(settings_.minPieceBytesPerSecond, 1);
        return int64_t{settings_.pieceGraceSeconds} * 1000 +
               static_cast<int64_t>(std::min<uint64_t>(length / pace, INT32_MAX)) * 1000;
    };
    std::vector<uint32_t> numbers;
    for (const auto& [number, job] : jobs_) {
        numbers.push_back(number);
    }
    for (const uint32_t number : numbers) {
        auto found = jobs_.find(number);
        if (found == jobs_.end() || found->second->ended) {
            continue;
        }
        Job& job = *found->second;
        for (File* file : job.Working()) {
            std::vector<Transfer*> late;
            for (auto& transfer : file->transfers) {
                if (transfer->cancelled) {
                    continue;
                }
                if (!transfer->curlPaused) {
                    transfer->activeMs += elapsedMs;
                }
                if (transfer->activeMs > budgetMs(*transfer)) {
                    late.push_back(transfer.get());
                }
            }
            for (Transfer* transfer : late) {
                if (job.ended) {
                    break;
                }
                GiveUpTransfer(transfer, "the server sent " +
                                             std::to_string(transfer->at - transfer->from) +
                                             " bytes of the piece in " +
                                             std::to_string(transfer->activeMs / 1000) +
                                             " s, below the lowest pace worth a connection");
            }
            if (job.ended) {
                break;
            }
        }
    }
}

void Transfers::GiveUpTransfer(Transfer* transfer, const std::string& why) {
    // What it received and was judged is kept; the rest of its piece is asked for again.
    if (transfer->lanePiece) {
        lane_->Cancel(transfer->lanePiece, true);
        DrainLane(*transfer);
    } else if (transfer->headDone && transfer->failure.empty()) {
        FlushBuffer(*transfer);
    }
    if (transfer->failure.empty()) {
        transfer->failure = why;
    }
    FinishTransfer(transfer, CURLE_OK);
}

void Transfers::SetPaused(uint32_t number, bool paused) {
    auto found = jobs_.find(number);
    if (found == jobs_.end() || found->second->paused == paused) {
        return;
    }
    Job& job = *found->second;
    job.paused = paused;
    if (paused && peers_ != nullptr) {
        for (auto& file : job.files) {
            peers_->FileClosed(number, file->index);  // no byte moves while paused
        }
    }
    if (paused) {
        // A paused job moves no bytes: a transfer whose rest can be asked for again later ends
        // now, keeping what it received. Only a whole-file answer (the server ignores ranges) is
        // held open, paused, as its rest could not be asked for.
        for (auto& file : job.files) {
            for (size_t i = 0; i < file->transfers.size();) {
                Transfer* transfer = file->transfers[i].get();
                DrainLane(*transfer);  // a first answer the lane judged is taken in first
                // So is every answer of a file without a validator: its rest would be another
                // request, perhaps of another version. Either receiving thread holds it.
                if (HeldOpenWhilePaused(*transfer)) {
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

bool Transfers::HeldOpenWhilePaused(const Transfer& transfer) const {
    return (transfer.wholeBody || transfer.file->noValidator) && !transfer.cancelled &&
           transfer.failure.empty();
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
        auto last = finalProgress_.find(number);
        return last != finalProgress_.end() ? std::optional<JobProgress>(last->second)
                                            : std::nullopt;
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

// ---- peers ----

void Transfers::TellPeers(Job& job, File& file, const std::string& links) {
    if (peers_ == nullptr || !file.size || file.noValidator || file.wholeBody) {
        return;
    }
    PeerFileFacts facts;
    facts.url = file.urls[file.urlIndex];
    facts.links = links;
    facts.partPath = file.partPath;
    facts.target = file.target;
    facts.size = *file.size;
    facts.limited = job.limited;
    peers_->FileAnswered(job.number, file.index, facts);
}

void Transfers::PeerBytes(uint32_t number, uint32_t index, uint64_t begin, uint64_t end) {
    auto found = jobs_.find(number);
    if (found == jobs_.end() || index >= found->second->files.size()) {
        return;
    }
    Job& job = *found->second;
    File& file = *job.files[index];
    if (file.state != File::Active || !file.size || end > *file.size || begin >= end) {
        return;
    }
    uint64_t fresh = end - begin;
    for (const ByteRange& held : file.written.Ranges()) {
        const uint64_t from = std::max(held.begin, begin);
        const uint64_t to = std::min(held.end, end);
        fresh -= to > from ? to - from : 0;
    }
    file.written.Add(begin, end);
    // Counted as received: progress and speed show it; the network watch too.
    file.bytesThisTick += fresh;
    job.bytesThisTick += fresh;
    bytesSinceTick_ += fresh;
    Written(file, fresh);
    CompleteFileIfDone(job, file);
    AfterCurl();
}

void Transfers::DropPeerBytes(uint32_t number, uint32_t index) {
    auto found = jobs_.find(number);
    if (found == jobs_.end() || index >= found->second->files.size()) {
        return;
    }
    File& file = *found->second->files[index];
    if (file.state == File::Active) {
        ResetFile(*found->second, file, "bytes from peers of another version");
        AfterCurl();
    }
}

bool Transfers::HttpHolds(uint32_t number, uint32_t index, ByteRanges* written,
                          ByteRanges* asking) const {
    auto found = jobs_.find(number);
    if (found == jobs_.end() || index >= found->second->files.size()) {
        return false;
    }
    const File& file = *found->second->files[index];
    if (file.state != File::Active) {
        return false;
    }
    *written = file.written;
    asking->Clear();
    for (const auto& transfer : file.transfers) {
        asking->Add(transfer->ask.begin, transfer->end);
    }
    return true;
}

void Transfers::PeersSettled(uint32_t number, uint32_t index) {
    auto found = jobs_.find(number);
    if (found == jobs_.end() || index >= found->second->files.size()) {
        return;
    }
    File& file = *found->second->files[index];
    if (file.state == File::Active) {
        CompleteFileIfDone(*found->second, file);
        AfterCurl();
    }
}

}  // namespace tev::localengine
