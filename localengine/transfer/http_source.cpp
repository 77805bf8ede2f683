// The HTTP source: libcurl requests for pieces of files, on the loop's multi handle or on the
// receive lane's thread, and how their answers are judged and received.
#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "transfer/failure_text.h"
#include "transfer/file_io.h"
#include "transfer/multi_driver.h"
#include "transfer/peer_hooks.h"
#include "transfer/transfer_state.h"

namespace tev::localengine {

namespace {

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

size_t Transfers::HeaderCallback(char* data, size_t size, size_t count, void* userData) {
    auto* transfer = static_cast<Transfer*>(userData);
    const size_t length = size * count;
    if (transfer->cancelled) {
        return 0;
    }
    ReadLinkLine(std::string_view(data, length), transfer->links);
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
    if (transfer->end == kNoEnd &&
        transfer->at + length > transfer->owner->settings_.maxUnknownLength) {
        transfer->failure = UnknownLengthRefusal(transfer->owner->settings_.maxUnknownLength);
        transfer->failureIsFinal = true;  // the same answer would come again
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
    if (transfer.probe) {
        return JudgeProbe(transfer, verdict);
    }
    switch (verdict.kind) {
        case Verdict::Range:
            if (!file.size) {
                file.size = verdict.size;
            }
            if (AdoptFinalFile(job, file, transfer.head.validator)) {
                return false;
            }
            if (transfer.head.validator.kind == Validator::None) {
                // No validator ties this range to any other: only a request from 0 that brings
                // the whole file is accepted; anything else asks again, for the whole file.
                const bool wholeFile = transfer.ask.begin == 0 && file.written.Empty() &&
                                       file.transfers.size() == 1 &&
                                       std::min(transfer.end, *file.size) == *file.size;
                file.noValidator = true;
                if (!wholeFile) {
                    ResetFile(job, file, "the server names no validator");
                    transfer.cancelled = true;
                    return false;
                }
            }
            AcceptRanges(job, file, transfer.head.validator);
            transfer.end = std::min(transfer.end, *file.size);
            transfer.headDone = true;
            TellPeers(job, file, transfer.links);
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
            file.noValidator = file.validator.kind == Validator::None;
            if (!file.sizeFromJob) {
                file.size = transfer.head.contentLength;
            }
            if (!hadData && AdoptFinalFile(job, file, transfer.head.validator)) {
                return false;
            }
            file.wholeBody = true;
            file.answersRanges = false;
            transfer.wholeBody = true;
            transfer.at = 0;
            transfer.from = 0;
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

bool Transfers::JudgeProbe(Transfer& transfer, const Verdict& verdict) {
    File& file = *transfer.file;
    const AnswerHead& head = transfer.head;
    switch (verdict.kind) {
        case Verdict::Range:
        case Verdict::BeyondEnd:
            if (!file.size) {
                file.size = verdict.size;
            }
            file.noValidator = head.validator.kind == Validator::None;
            if (verdict.kind == Verdict::Range) {
                AcceptRanges(*transfer.job, file, head.validator);
                TellPeers(*transfer.job, file, transfer.links);
            }
            transfer.headDone = true;
            transfer.discardBody = true;
            transfer.end = transfer.at;
            return true;
        case Verdict::WholeBody:
            // The server ignores ranges: the file's own request reads the whole body once.
            if (!file.sizeFromJob) {
                file.size = head.contentLength;
            }
            file.probeFailed = !file.size;
            if (file.probeFailed) {
                transfer.job->startFirst.push_back(file.index);
            }
            file.validator = head.validator;
            file.noValidator = head.validator.kind == Validator::None;
            file.wholeBody = true;
            transfer.cancelled = true;
            return false;
        default:
            // Judged as the file's own request would be: a retry, or the file fails.
            transfer.probe = false;
            const bool result = JudgeHead(transfer);
            transfer.probe = true;
            return result;
    }
}

void Transfers::AcceptRanges(Job& job, File& file, const Validator& validator) {
    if (file.validator.kind == Validator::None) {
        file.validator = validator;
    }
    if (!file.answersRanges && file.growth.wanted == 1) {
        // The first connection's speed, against which a growth is judged, is measured
        // from its first answer on: the connection's setup would make it look slower.
        file.grewAtMs = EventLoop::NowMs();
        file.receivedAtGrowth = file.received;
        // A large file is worth both receiving threads from the start.
        if (lane_ && !job.limited && *file.size >= settings_.laneStartSize) {
            file.growth.wanted = 2;
        }
    }
    file.answersRanges = true;
}

bool Transfers::StartTransfer(Job& job, File& file, bool probe) {
    uint64_t speed = 0;
    if (!file.transfers.empty()) {
        speed = file.speed / file.transfers.size();
    } else {
        speed = file.speed;
    }
    if (!probe && file.noValidator && file.transfers.empty() && !file.written.Empty()) {
        // The bytes on disk may be of another version than the next answer's.
        ResetFile(job, file, "a retry without a validator starts from 0");
    }
    uint64_t begin = 0;
    uint64_t end = 0;
    if (probe) {
        end = 1;
    } else if (!TakePiece(job, file, &begin, &end, speed)) {
        return false;
    }
    auto transfer = std::make_unique<Transfer>();
    transfer->owner = this;
    transfer->job = &job;
    transfer->file = &file;
    transfer->ask = {begin, end, false};
    transfer->at = begin;
    transfer->from = begin;
    transfer->probe = probe;
    transfer->attempt = file.attempt;
    job.atWork.insert(file.index);
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
    if (!probe && OnLane(job, file)) {
        auto piece = std::make_shared<LanePiece>();
        piece->request = request;
        piece->knownSize = file.size;
        piece->sizeFromJob = file.sizeFromJob;
        piece->validator = file.validator;
        piece->sentIfRange = transfer->ask.sentIfRange;
        piece->firstRequest = !file.answersRanges;
        piece->fd = file.fd;
        piece->writePiece = settings_.writePiece;
        piece->maxUnknownLength = settings_.maxUnknownLength;
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
    if (!lane_ || job.limited || job.firstPiecesHere || file.wholeBody || file.noValidator ||
        file.laneRefused) {
        return false;
    }
    if (!file.answersRanges || (file.size && *file.size < settings_.minSplitSize)) {
        // A file's first request (after its size probe, if it had one) goes to the lane only
        // when nothing about the file needs the whole judgement of its answer: no bytes kept, no
        // final-name file to size up. Files then alternate between the threads.
        if (!file.written.Empty() || file.finalAtStart || file.restarts > 0) {
            return false;
        }
        size_t onLane = 0;
        size_t all = 0;
        for (const File* other : job.Working()) {
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
        if (!TakeLaneHead(transfer)) {
            return;  // the file starts over
        }
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

bool Transfers::TakeLaneHead(Transfer& transfer) {
    // What JudgeHead does for a first answer received on this thread.
    File& file = *transfer.file;
    const LanePiece& piece = *transfer.lanePiece;
    if (piece.learntValidator.kind == Validator::None) {
        file.noValidator = true;
        const std::optional<uint64_t> size = file.size ? file.size : piece.learntSize;
        if (!piece.wholeBody && (!size || transfer.ask.begin != 0 || transfer.end < *size)) {
            ResetFile(*transfer.job, file, "the server names no validator");
            return false;
        }
    }
    if (piece.wholeBody) {
        file.wholeBody = true;
        file.validator = piece.learntValidator;
        if (!file.sizeFromJob) {
            file.size = piece.learntSize;
        }
        transfer.wholeBody = true;
        transfer.end = file.size ? *file.size : kNoEnd;
        return true;
    }
    if (!file.size) {
        file.size = piece.learntSize;
    }
    AcceptRanges(*transfer.job, file, piece.learntValidator);
    transfer.end = std::min(transfer.end, *file.size);
    TellPeers(*transfer.job, file, piece.learntLinks);
    return true;
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
        transfer->failureIsFinal = piece.failureIsFinal;
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
        // libcurl refuses a head over its limit (a header line over 100 KB) as "out of memory"
        // (CURLE_TOO_LARGE, 100, in newer versions), before the head is complete: the same
        // answer comes every time, so it is not asked again.
        const bool headJudged = transfer->lanePiece
                                    ? transfer->lanePiece->headKnown.load(std::memory_order_acquire)
                                    : transfer->headDone;
        if ((curlResult == CURLE_OUT_OF_MEMORY || curlResult == 100) && !headJudged) {
            failure = "refused answer: a header line is too large";
            network = false;
            final = true;
        }
    }
    if (failure.empty() && transfer->wholeBody && !file.size) {
        file.size = transfer->at;  // a body without a length ends with the connection
    }
    if (failure.empty() && transfer->end != kNoEnd && transfer->at < transfer->end) {
        failure = "the connection closed before the range was complete";
        network = true;
    }
    const bool diskPaused = transfer->pausedByDisk;
    const bool progressed = transfer->at > transfer->from;
    const bool probe = transfer->probe;
    const uint64_t pieceStart = transfer->from;
    const uint32_t attempt = transfer->attempt;
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
    // An attempt that put new bytes on disk was worth it: only attempts in a row that brought
    // nothing count towards the limit, and each piece has a limit of its own.
    if (progressed) {
        file.failures = 0;
    }
    const uint32_t pieceFailures =
        ++file.pieceFailures[pieceStart / std::max<uint64_t>(settings_.minPiece, 1)];
    // The other requests of an attempt already counted, failing while the file waits for its
    // retry, fail with it: they neither count nor bring the retry forward (every connection cut
    // at once is one failure, not sixteen).
    const bool counted = attempt == file.attempt || now >= file.retryAtMs;
    if (!final && !counted && pieceFailures < settings_.pieceRetryLimit) {
        if (probe) {
            job.probeAgain.push_back(file.index);
        }
        return;
    }
    ++file.attempt;
    if (final || ++file.failures >= settings_.retryLimit ||
        pieceFailures >= settings_.pieceRetryLimit) {
        if (kind == FailureKind::Unreachable && file.urlIndex + 1 < file.urls.size()) {
            ++file.urlIndex;  // the next alternative, afresh
            file.failures = 0;
            file.pieceFailures.clear();
            file.retryAtMs = now;
            return;
        }
        // Peers that hold what the server cannot send keep the file going (HTTP retries at its
        // longest delay meanwhile), but only while some byte came within the bound.
        const bool peersMayFinish = !final && kind == FailureKind::Unreachable &&
                                    peers_ != nullptr &&
                                    now - file.lastByteMs < settings_.peerWaitMs &&
                                    peers_->PeersHoldMissing(job.number, file.index);
        if (!peersMayFinish) {
            FailFile(job, file, kind, url + ": " + failure);
            return;
        }
    }
    if (probe) {
        job.probeAgain.push_back(file.index);
    }
    const int64_t delay =
        RetryDelayMs(file.failures, settings_.retryFirstDelayMs, settings_.retryMaxDelayMs);
    file.retryAtMs = now + delay;
    Later(delay, [this, number = job.number] {
        if (jobs_.contains(number)) {
            AfterCurl();
        }
    });
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

}  // namespace tev::localengine
