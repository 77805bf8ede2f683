#include "transfer/receive_lane.h"

#include <curl/curl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "transfer/failure_text.h"
#include "transfer/file_io.h"
#include "transfer/multi_driver.h"

namespace tev::localengine {

ReceiveLane::ReceiveLane(long maxHostConnections) {
    readyFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    driver_ = std::make_unique<MultiDriver>(loop_, maxHostConnections, [this] { AfterCurl(); });
    ok_ = readyFd_ >= 0 && loop_.Ok() && driver_->Ok();
    if (ok_) {
        thread_ = std::thread([this] { loop_.Run(); });
    }
}

ReceiveLane::~ReceiveLane() {
    if (thread_.joinable()) {
        loop_.Stop();
        thread_.join();
    }
    // The lane's thread is gone: what it left is this thread's to clean up.
    for (auto& [easy, piece] : running_) {
        curl_multi_remove_handle(static_cast<CURLM*>(driver_->multi()), easy);
        curl_easy_cleanup(easy);
        curl_slist_free_all(piece->headers);
    }
    running_.clear();
    driver_.reset();
    if (readyFd_ >= 0) {
        close(readyFd_);
    }
}

void ReceiveLane::Start(std::shared_ptr<LanePiece> piece) {
    piece->at = piece->request.begin;
    piece->end = piece->request.end;
    piece->written.store(piece->request.begin, std::memory_order_release);
    loop_.Post([this, piece = std::move(piece)] { Begin(piece); });
}

void ReceiveLane::Cancel(const std::shared_ptr<LanePiece>& piece, bool keep) {
    {
        std::lock_guard lock(mutex_);
        piece->abandoned = true;  // not handed back, even if it finished by itself meanwhile
        if (piece->done) {
            return;
        }
    }
    loop_.Post([this, piece, keep] {
        if (piece->done) {  // read on the lane's thread, which alone sets it
            return;
        }
        piece->cancelled = true;
        piece->keepOnCancel = keep;
        End(piece, true);
    });
    std::unique_lock lock(mutex_);
    ended_.wait(lock, [&] { return piece->done; });
}

void ReceiveLane::Pause(const std::shared_ptr<LanePiece>& piece, bool paused) {
    loop_.Post([this, piece, paused] {
        if (piece->done || piece->easy == nullptr) {
            return;
        }
        curl_easy_pause(static_cast<CURL*>(piece->easy), paused ? CURLPAUSE_RECV : CURLPAUSE_CONT);
        AfterCurl();  // an unpaused answer may have ended at once
    });
}

std::shared_ptr<LanePiece> ReceiveLane::TakeFinished() {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t ignored = read(readyFd_, &count, sizeof count);
    std::lock_guard lock(mutex_);
    while (!finished_.empty()) {
        std::shared_ptr<LanePiece> piece = std::move(finished_.front());
        finished_.pop_front();
        if (!piece->abandoned) {
            return piece;
        }
    }
    return nullptr;
}

void ReceiveLane::Begin(const std::shared_ptr<LanePiece>& piece) {
    if (piece->done) {
        return;  // cancelled before it began
    }
    CURL* easy = NewRangeRequest(piece->request, &piece->headers);
    if (easy == nullptr) {
        piece->curlResult = CURLE_OUT_OF_MEMORY;
        End(piece, false);
        return;
    }
    static_assert(CURL_ERROR_SIZE <= sizeof piece->errorBuffer);
    piece->easy = easy;
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &ReceiveLane::HeaderCallback);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, piece.get());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &ReceiveLane::WriteCallback);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, piece.get());
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, piece->errorBuffer);
    running_[easy] = piece;
    if (curl_multi_add_handle(static_cast<CURLM*>(driver_->multi()), easy) != CURLM_OK) {
        piece->curlResult = CURLE_OUT_OF_MEMORY;
        End(piece, false);
    }
}

size_t ReceiveLane::HeaderCallback(char* data, size_t size, size_t count, void* userData) {
    auto* piece = static_cast<LanePiece*>(userData);
    const size_t length = size * count;
    if (!piece->cancelled) {
        ReadLinkLine(std::string_view(data, length), piece->learntLinks);
    }
    if (piece->cancelled || !ReadHeadLine(std::string_view(data, length), piece->head)) {
        return piece->cancelled ? 0 : length;
    }
    const RangeAsk ask{piece->request.begin, piece->request.end, piece->sentIfRange};
    const Verdict verdict =
        JudgeAnswer(ask, piece->head, piece->knownSize, piece->sizeFromJob, piece->validator);
    const bool whole = verdict.kind == Verdict::WholeBody && piece->firstRequest;
    if ((verdict.kind != Verdict::Range && !whole) ||
        (verdict.kind == Verdict::Range && !piece->knownSize && !verdict.size)) {
        // Anything else (a changed file, an error status) is the owner's to judge with the
        // file's whole state: it asks for this range again itself.
        piece->handBack = true;
        piece->failure = "the answer was not the asked range";
        return 0;
    }
    piece->learntValidator = piece->head.validator;

    if (whole) {
        piece->wholeBody = true;
        if (!piece->sizeFromJob) {
            piece->learntSize = piece->head.contentLength;
        }
        const std::optional<uint64_t> size =
            piece->sizeFromJob ? piece->knownSize : piece->head.contentLength;
        piece->at = 0;
        piece->end = size.value_or(kNoEnd);
        piece->headKnown.store(true, std::memory_order_release);
        return length;
    }
    if (!piece->knownSize) {
        piece->learntSize = verdict.size;
    }
    if (verdict.size) {
        piece->end = std::min(piece->end, *verdict.size);
    }
    piece->headKnown.store(true, std::memory_order_release);
    return length;
}

size_t ReceiveLane::WriteCallback(char* data, size_t size, size_t count, void* userData) {
    auto* piece = static_cast<LanePiece*>(userData);
    const size_t length = size * count;
    if (piece->cancelled || !piece->failure.empty() || piece->writeError != 0) {
        return 0;
    }
    if (!piece->headKnown.load(std::memory_order_relaxed)) {
        piece->handBack = true;  // a body without a judged head: an unfollowed redirect
        piece->failure = "HTTP status " + std::to_string(piece->head.status);
        return 0;
    }
    if (piece->at + length > piece->end) {
        piece->failure = "the server sent more bytes than asked for";
        return 0;
    }
    if (piece->end == kNoEnd && piece->at + length > piece->maxUnknownLength) {
        piece->failure = UnknownLengthRefusal(piece->maxUnknownLength);
        piece->failureIsFinal = true;
        return 0;
    }
    piece->received.fetch_add(length, std::memory_order_relaxed);
    if (piece->buffer.empty() && length >= piece->writePiece) {
        // A read as large as a write piece goes to the file without another copy.
        if (!WriteAll(piece->fd, data, length, piece->at)) {
            piece->writeError = errno;
            return 0;
        }
        piece->at += length;
        piece->written.store(piece->at, std::memory_order_release);
        return length;
    }
    piece->buffer.append(data, length);
    piece->at += length;
    if (piece->buffer.size() >= piece->writePiece && !Flush(*piece)) {
        return 0;
    }
    return length;
}

void ReceiveLane::AfterCurl() {
    if (driver_->InCurl()) {
        return;
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(static_cast<CURLM*>(driver_->multi()), &left)) {
        if (message->msg != CURLMSG_DONE) {
            continue;
        }
        auto found = running_.find(message->easy_handle);
        if (found == running_.end()) {
            continue;
        }
        std::shared_ptr<LanePiece> piece = found->second;
        piece->curlResult = message->data.result;
        End(piece, false);
    }
}

void ReceiveLane::End(const std::shared_ptr<LanePiece>& owned, bool byOwner) {
    LanePiece& piece = *owned;
    const bool keep = !byOwner || piece.keepOnCancel;
    if (keep && piece.headKnown.load(std::memory_order_relaxed) && piece.failure.empty() &&
        piece.writeError == 0) {
        Flush(piece);
    }
    if (piece.easy != nullptr) {
        char* effective = nullptr;
        curl_easy_getinfo(piece.easy, CURLINFO_EFFECTIVE_URL, &effective);
        piece.effectiveUrl = effective != nullptr ? effective : piece.request.url;
        curl_easy_getinfo(piece.easy, CURLINFO_OS_ERRNO, &piece.osErrno);
        piece.errorText = piece.errorBuffer;
        curl_multi_remove_handle(static_cast<CURLM*>(driver_->multi()), piece.easy);
        curl_easy_cleanup(piece.easy);
        running_.erase(piece.easy);
        piece.easy = nullptr;
    }
    curl_slist_free_all(piece.headers);
    piece.headers = nullptr;
    piece.buffer = std::string();
    {
        std::lock_guard lock(mutex_);
        piece.done = true;
        if (!piece.abandoned) {
            finished_.push_back(owned);
        }
    }
    ended_.notify_all();
    if (!byOwner) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t ignored = write(readyFd_, &one, sizeof one);
    }
}

bool ReceiveLane::Flush(LanePiece& piece) {
    if (piece.buffer.empty()) {
        return true;
    }
    const uint64_t at = piece.at - piece.buffer.size();
    if (!WriteAll(piece.fd, piece.buffer.data(), piece.buffer.size(), at)) {
        piece.writeError = errno;
        return false;
    }
    piece.buffer.clear();
    piece.written.store(piece.at, std::memory_order_release);
    return true;
}

}  // namespace tev::localengine
