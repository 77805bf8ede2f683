#include "direct/platform_session.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "direct/answer_rules.h"
#include "downloadlib.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/string_format.h"
#include "http/uri_codec.h"
#include "stack/agent_layer.h"
#include "stack/qos_action.h"
#include "stack/qos_context.h"

namespace {

// A name that climbs out of its folder, or is a path of its own, is refused.
bool IsSafeName(const std::string& name) {
    if (name.empty() || name.front() == '/') {
        return false;
    }
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) {
            end = name.size();
        }
        if (name.compare(start, end - start, "..") == 0 && end - start == 2) {
            return false;
        }
        start = end + 1;
    }
    return true;
}

// At most limit bytes of text, never ending inside a UTF-8 character.
size_t CutLength(const std::string& text, size_t limit) {
    size_t n = std::min(text.size(), limit);
    while (n > 0 && n < text.size() && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80) {
        --n;
    }
    return n;
}

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

}  // namespace

void BuildReportRecord(const std::string& serviceId, const std::string& url, int64_t bytes,
                       uint8_t* record) {
    std::memset(record, 0, kAgentReportRecordSize);
    const size_t idLength = CutLength(serviceId, CPlatformSession::kReportServiceIdField - 1);
    std::memcpy(record, serviceId.data(), idLength);
    uint8_t* urlField = record + CPlatformSession::kReportServiceIdField;
    std::memcpy(urlField, url.data(), CutLength(url, CPlatformSession::kReportUrlField - 1));
    uint8_t* count = urlField + CPlatformSession::kReportUrlField;
    const auto value = static_cast<uint64_t>(bytes);
    for (int i = 0; i < 8; ++i) {
        count[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    count[8] = 1;
}

CPlatformSession::~CPlatformSession() {
    Detach();
}

void CPlatformSession::SetListener(IPlatFormSessionEventListener* listener, uintptr_t context) {
    listener_ = listener;
    context_ = context;
}

void CPlatformSession::Detach() {
    listener_ = nullptr;
    connection_.Close();
    // Everything received goes to disk, so that the next session resumes after it.
    FlushAndCloseFile();
    receiving_ = false;
}

void CPlatformSession::Start(const std::vector<CPlatformFileRecord>& files) {
    vmSmartPtr<CPlatformSession> hold(this);
    files_.clear();
    std::vector<const CPlatformFileRecord*> unusable;
    for (const CPlatformFileRecord& file : files) {
        if (file.url.empty() || file.folder.empty() || file.name.empty()) {
            // Nothing to write to (a URL ending in '/' names no file): the file fails, so that
            // the job cannot report done without it.
            unusable.push_back(&file);
            continue;
        }
        CPlatformFileRecord copy = file;
        copy.size = 0;
        copy.received = 0;
        copy.position = 0;
        copy.sinceOpen = 0;
        files_.push_back(std::move(copy));
    }
    for (const CPlatformFileRecord* file : unusable) {
        WriteLogLineF("[TessloadLib] CreateFile Failed(%d) : %s", EINVAL, file->FullPath().c_str());
        if (!Live()) {
            return;
        }
        listener_->OnSessionEvent(context_, JOB_EVENT_FAILED, file->url.c_str());
    }
    if (!Live()) {
        return;
    }
    SelectFile(0);
    Request(false);
}

const CPlatformFileRecord* CPlatformSession::CurrentFile() const {
    return current_ < files_.size() ? &files_[current_] : nullptr;
}

const CPlatformFileRecord* CPlatformSession::ShownFile() const {
    if (const CPlatformFileRecord* current = CurrentFile()) {
        return current;
    }
    return files_.empty() ? nullptr : &files_.back();
}

uint32_t CPlatformSession::ReportRecords(uint8_t* records) const {
    uint32_t count = 0;
    for (const CPlatformFileRecord& file : files_) {
        if (file.received <= 0) {
            continue;
        }
        if (records != nullptr) {
            BuildReportRecord(file.serviceId, file.url, file.received,
                              records + size_t{count} * kAgentReportRecordSize);
        }
        ++count;
    }
    return count;
}

void CPlatformSession::SelectFile(size_t index) {
    current_ = std::min(index, files_.size());
    alternatives_.clear();
    if (current_ < files_.size()) {
        alternatives_ = SplitAlternatives(files_[current_].url);
    }
    alternative_ = 0;
    currentUrl_ = alternatives_.empty() ? std::string() : alternatives_.front();
    redirects_.Reset();
}

void CPlatformSession::Request(bool reset) {
    if (!Live()) {
        return;
    }
    if (reset) {
        attempts_ = 0;
    }
    if (current_ >= files_.size()) {
        listener_->OnAllFilesDone(context_);
        return;
    }
    if (file_.IsOpen() && !FlushAndCloseFile()) {
        return;
    }
    if (!OpenCurrentFile()) {
        Fail("[TessloadLib] WriteFileOpen Failed : " + currentUrl_);
        return;
    }
    if (connection_.IsOpen()) {
        return;
    }
    const std::string range = "bytes=" + std::to_string(File().position) + "-";
    ++attempts_;
    receiving_ = false;
    bodyLeft_ = -1;
    if (!connection_.SetUp(kQoSActionOwn, this, reinterpret_cast<uintptr_t>(this))) {
        // No connection to be had: that attempt failed at once.
        if (FlushAndCloseFile()) {
            NextAttempt();
        }
        return;
    }
    vmIQoSContext* context = connection_.Context();
    context->SetAction(kQoSActionOwnReceiveOnly);
    context->SetActionLimit(0, speedMode_ != 0 ? kFastLimit : kLimitedLimit);
    // The files of a job share one cap, whatever the number of connections: the promised rate
    // holds across files too.
    connection_.CarryQuotaOver();
    connection_.Get(currentUrl_, range.c_str());
}

bool CPlatformSession::OpenCurrentFile() {
    CPlatformFileRecord& file = File();
    CreateFolderPath(file.folder);  // a failure shows when the file is opened
    const std::string path = file.FullPath();
    if (!IsSafeName(file.name)) {
        WriteLogLineF("[TessloadLib] CreateFile Failed(%d) : %s", EINVAL, path.c_str());
        return false;
    }
    if (const int error = file_.Open(path); error != 0) {
        WriteLogLineF("[TessloadLib] CreateFile Failed(%d) : %s", error, path.c_str());
        return false;
    }
    int64_t offset = file_.SeekToEnd();
    // A local file longer than the file is known to be cannot be a part of it.
    if (offset < 0 || (file.expectedSize >= 0 && offset > file.expectedSize)) {
        if (const int error = file_.Truncate(0); error != 0) {
            WriteLogLineF("[TessloadLib] CreateFile Failed(%d) : %s", error, path.c_str());
            file_.Close();
            return false;
        }
        offset = 0;
    }
    path_ = path;
    file.position = offset;
    file.sinceOpen = 0;
    sessionBytes_ = completedBytes_ + offset;
    listener_->OnFileOpened(path_.c_str(), context_);
    return true;
}

void CPlatformSession::OnResponseHeader(uintptr_t) {
    vmSmartPtr<CPlatformSession> hold(this);
    vmIHttpClientExLayer* layer = connection_.Layer();
    if (!Live() || layer == nullptr || current_ >= files_.size()) {
        return;
    }
    CPlatformFileRecord& file = File();
    int32_t status = 0;
    int64_t contentLength = 0;
    layer->GetStatusCode(&status);
    layer->GetContentLength(&contentLength);
    const bool hasLength = vmSucceeded(layer->GetHeader("Content-Length:", nullptr));
    std::string contentRange;
    layer->GetHeader("Content-Range:", &contentRange);

    if (status == eNWHSC_HTTP_OK || status == eNWHSC_HTTP_PARTIAL_CONTENT) {
        // The body is written as it arrives: a coded body would not be the file.
        std::string coding;
        if (vmSucceeded(layer->GetHeader("Transfer-Encoding:", &coding)) &&
            Lower(coding) != "identity") {
            CloseContext();
            return;
        }
    }
    if (status == eNWHSC_HTTP_OK) {
        // A length other than the one the size check learnt is not this file (or not all of
        // it): the attempt fails before anything on disk is touched.
        if (hasLength && file.sizeLearnt && contentLength != file.expectedSize) {
            WriteLogLineF("[TessloadLib] File Size Differs(%lld, expected %lld) : %s",
                          static_cast<long long>(contentLength),
                          static_cast<long long>(file.expectedSize), currentUrl_.c_str());
            CloseAndRetry();
            return;
        }
        // The whole file, whatever range was asked for: it replaces what is on disk.
        if (file.position > 0 && !RestartFile()) {
            return;
        }
        file.size = contentLength;
        if (hasLength && contentLength == 0) {
            FileDone();
            return;
        }
        bodyLeft_ = hasLength ? contentLength : -1;
        receiving_ = true;
        return;
    }
    if (status == eNWHSC_HTTP_PARTIAL_CONTENT) {
        CContentRange range;
        int64_t fileSize = 0;
        const int64_t knownSize = file.size > 0 ? file.size : file.expectedSize;
        const ePartialVerdict verdict =
            JudgePartialAnswer(contentRange, file.position, knownSize, &fileSize);
        if (verdict != ePartialVerdict::kAppend || !ParseContentRange(contentRange, &range)) {
            // Not the rest of what is on disk: start the file again.
            if (verdict == ePartialVerdict::kAnotherVersion) {
                WriteLogLineF("[TessloadLib] File changed on the server, starting over : %s",
                              currentUrl_.c_str());
            }
            if (RestartFile()) {
                CloseAndRetry();
            }
            return;
        }
        file.size = fileSize;
        bodyLeft_ = range.last - range.first + 1;
        receiving_ = true;
        return;
    }
    if (status == eNWHSC_HTTP_FOUND || status == eNWHSC_HTTP_SEEOTHER) {
        std::string location;
        std::string ansi;
        std::string resolved;
        layer->GetHeader("Location:", &location);
        Utf8ToAnsi(location, &ansi);
        const eRedirectVerdict verdict = JudgeRedirect(currentUrl_, ansi, &resolved);
        connection_.Close();
        if (!FlushAndCloseFile()) {
            return;
        }
        if (verdict == eRedirectVerdict::kUnusable) {
            Fail("[TessloadLib] eNWHSC_HTTP_SEEOTHER  : " + currentUrl_);
            return;
        }
        if (verdict == eRedirectVerdict::kRefused) {
            // Logged with its Location; asking again may find a server that stays on https.
            NextAttempt();
            return;
        }
        if (!redirects_.Follow()) {
            // A redirect loop: this alternative counts as failed.
            attempts_ = kAttemptsPerAlternative;
            NextAttempt();
            return;
        }
        currentUrl_ = resolved;
        Request(true);
        return;
    }
    if (status == eNWHSC_HTTP_RANGE_NOT_SATISFIABLE) {
        if (RangeNotSatisfiableMeansDone(contentRange, file.position, file.expectedSize)) {
            file.size = file.position;
            FileDone();
        } else if (RestartFile()) {
            CloseAndRetry();
        }
        return;
    }
    CloseContext();
}

int32_t CPlatformSession::OnResponseData(uintptr_t, const uint8_t* data, uint32_t count) {
    vmSmartPtr<CPlatformSession> hold(this);
    if (!Live() || !receiving_ || !file_.IsOpen()) {
        return static_cast<int32_t>(count);
    }
    // Bytes beyond the response's length are not part of the file.
    size_t take = count;
    if (bodyLeft_ >= 0) {
        take = static_cast<size_t>(std::min<int64_t>(bodyLeft_, count));
        bodyLeft_ -= static_cast<int64_t>(take);
    }
    if (take > 0) {
        CPlatformFileRecord& file = File();
        file.received += static_cast<int64_t>(take);
        file.sinceOpen += static_cast<int64_t>(take);
        sessionBytes_ += static_cast<int64_t>(take);
        if (buffer_.empty() && take >= kWriteChunk) {
            if (!WriteOut(data, take)) {
                return static_cast<int32_t>(count);
            }
        } else {
            buffer_.insert(buffer_.end(), data, data + take);
            if (buffer_.size() >= kWriteChunk && !Flush()) {
                return static_cast<int32_t>(count);
            }
        }
    }
    listener_->OnDataWritten(context_);
    if (Live() && receiving_ && bodyLeft_ == 0) {
        ResponseComplete();
    }
    return static_cast<int32_t>(count);
}

void CPlatformSession::OnResponseComplete(uintptr_t) {
    vmSmartPtr<CPlatformSession> hold(this);
    if (Live() && receiving_) {
        ResponseComplete();
    }
}

void CPlatformSession::ResponseComplete() {
    receiving_ = false;
    const CPlatformFileRecord& file = File();
    if (file.size > 0 && file.PresentBytes() < file.size) {
        // The server sent a part of what was asked: ask for the rest.
        connection_.Close();
        if (FlushAndCloseFile()) {
            Request(true);
        }
        return;
    }
    FileDone();
}

void CPlatformSession::FileDone() {
    receiving_ = false;
    if (!FlushAndCloseFile()) {
        return;
    }
    connection_.Close();
    CPlatformFileRecord& file = File();
    if (file.sizeLearnt && file.PresentBytes() != file.expectedSize) {
        // Whatever the answers said, a file of another size than the one learnt is not done:
        // the next attempt resumes (or, when it is longer, starts over).
        WriteLogLineF("[TessloadLib] File Size Differs(%lld, expected %lld) : %s",
                      static_cast<long long>(file.PresentBytes()),
                      static_cast<long long>(file.expectedSize), currentUrl_.c_str());
        NextAttempt();
        return;
    }
    if (file.size <= 0) {
        file.size = file.PresentBytes();
    }
    completedBytes_ = sessionBytes_;
    const CPlatformFileRecord finished = file;
    SelectFile(current_ + 1);
    listener_->OnFileDone(context_, finished);
    if (!Live()) {
        return;
    }
    if (current_ < files_.size()) {
        Request(true);
    } else {
        listener_->OnAllFilesDone(context_);
    }
}

void CPlatformSession::OnClosed(uintptr_t) {
    vmSmartPtr<CPlatformSession> hold(this);
    connection_.Close();
    receiving_ = false;
    if (!Live() || !FlushAndCloseFile()) {
        return;
    }
    NextAttempt();
}

void CPlatformSession::OnConnectTimeout(uintptr_t) {
    CloseContext();
}

void CPlatformSession::OnIdleTimeout(uintptr_t) {
    CloseContext();
}

void CPlatformSession::CloseContext() {
    // Closing reports OnClosed, which sets up the next attempt: keep this one's context.
    vmSmartPtr<CPlatformSession> hold(this);
    if (vmSmartPtr<vmIQoSContext> context = connection_.Context()) {
        context->Close();
    }
}

void CPlatformSession::CloseAndRetry() {
    connection_.Close();
    receiving_ = false;
    if (FlushAndCloseFile()) {
        NextAttempt();
    }
}

void CPlatformSession::NextAttempt() {
    if (!Live()) {
        return;
    }
    if (attempts_ >= kAttemptsPerAlternative) {
        attempts_ = 0;
        if (!NextAlternative()) {
            Fail("[TessloadLib] TryMax Over : " + currentUrl_);
            return;
        }
    }
    Request(false);
}

bool CPlatformSession::NextAlternative() {
    if (alternative_ + 1 >= alternatives_.size()) {
        return false;
    }
    ++alternative_;
    currentUrl_ = alternatives_[alternative_];
    redirects_.Reset();
    return true;
}

void CPlatformSession::Fail(const std::string& logLine) {
    WriteLogLine(logLine.c_str());
    connection_.Close();
    FlushAndCloseFile();
    stopped_ = true;
    if (listener_ != nullptr) {
        listener_->OnSessionFailed(context_, currentUrl_.c_str());
    }
}

bool CPlatformSession::Flush() {
    if (buffer_.empty()) {
        return true;
    }
    const bool ok = WriteOut(buffer_.data(), buffer_.size());
    buffer_.clear();
    return ok;
}

bool CPlatformSession::WriteOut(const uint8_t* data, size_t length) {
    size_t written = 0;
    const int error = file_.Write(data, length, &written);
    if (error == 0) {
        return true;
    }
    OnWriteFailed(length - written);
    return false;
}

bool CPlatformSession::FlushAndCloseFile() {
    if (file_.IsOpen()) {
        if (!Flush()) {
            return false;
        }
        file_.Close();
    }
    buffer_.clear();
    path_.clear();
    return !stopped_;
}

bool CPlatformSession::RestartFile() {
    buffer_.clear();
    if (const int error = file_.Truncate(0); error != 0) {
        // The file cannot be cut back to start over: it cannot be written, which is no full disk.
        Fail(StringPrintf("[TessloadLib] SetEndOfFile Failed(%d) : %s", error, path_.c_str()));
        return false;
    }
    CPlatformFileRecord& file = File();
    file.position = 0;
    file.sinceOpen = 0;
    sessionBytes_ = completedBytes_;
    return true;
}

void CPlatformSession::OnWriteFailed(size_t unwritten) {
    // What did not reach the disk is not present: the next session asks for it again.
    if (current_ < files_.size()) {
        CPlatformFileRecord& file = File();
        file.received -= static_cast<int64_t>(unwritten);
        file.sinceOpen -= static_cast<int64_t>(unwritten);
    }
    sessionBytes_ -= static_cast<int64_t>(unwritten);
    buffer_.clear();
    file_.Close();
    path_.clear();
    connection_.Close();
    receiving_ = false;
    if (stopped_) {
        return;
    }
    stopped_ = true;
    if (listener_ != nullptr) {
        listener_->OnSessionEvent(context_, JOB_EVENT_DISK_FULL, currentUrl_.c_str());
    }
}
