#include "core/job.h"

#include <cstdio>
#include <cstring>

#include "core/folder_path.h"

namespace {

bool IsEmpty(const char* text) {
    return text == nullptr || text[0] == '\0';
}

std::string Trim(const char* text) {
    std::string s(text);
    const char* blanks = " \t\r\n\v\f";
    const size_t first = s.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

std::string Bounded(const char* text, size_t maxLength) {
    if (text == nullptr) {
        return {};
    }
    return std::string(text, strnlen(text, maxLength));
}

}  // namespace

CJob::CJob(JobHandle handle, uint32_t number) : handle_(handle), number_(number) {}

CJob::~CJob() = default;

void CJob::SetCode(const char* code) {
    code_ = Bounded(code, kMaxCodeLength);
}

void CJob::SetServiceId(const char* serviceId) {
    serviceId_ = Bounded(serviceId, kMaxServiceIdLength);
}

int32_t CJob::AddFile(const char* url, const char* folder, const char* name, int64_t size,
                      int32_t option1, int32_t option2) {
    if (state_ != kIdle) {
        return DL_E_FAIL;
    }
    // A URL of blanks only is as empty as a missing one.
    std::string trimmed = IsEmpty(url) ? std::string() : Trim(url);
    if (trimmed.empty()) {
        return DL_E_URL;
    }
    if (IsEmpty(folder)) {
        return DL_E_PATH;
    }
    std::string normalised = NormaliseFolder(folder);
    if (normalised.size() > kMaxJobFolderLength) {
        return DL_E_PATH;
    }
    std::string fileName;
    if (!IsEmpty(name)) {
        fileName = name;
    } else if (const size_t slash = trimmed.rfind('/'); slash != std::string::npos) {
        fileName = trimmed.substr(slash + 1);
    }
    std::string key = LowerAscii(normalised + fileName);
    if (fileMap_.contains(key)) {
        return DL_E_FAIL;
    }
    auto file = std::make_unique<CJobFile>();
    file->index = static_cast<int32_t>(files_.size());
    file->url = std::move(trimmed);
    file->folder = normalised;
    file->name = std::move(fileName);
    file->serviceId = serviceId_;
    file->size = size;
    file->option1 = option1;
    file->option2 = option2;
    fileMap_.emplace(std::move(key), file.get());
    files_.push_back(std::move(file));
    downloadFolder_ = std::move(normalised);
    return DL_OK;
}

void CJob::CopyProgress(JobProgress* out) const {
    *out = progress_;
    // The name is copied bounded, so the host always gets a terminated text.
    std::memset(out->fileName, 0, sizeof out->fileName);
    std::memcpy(out->fileName, progress_.fileName, strnlen(progress_.fileName, 65));
}

void CJob::HandOverSizeInfo(JobSizeInfo* out) {
    if (sizeInfo_) {
        *out = *sizeInfo_;
        sizeInfo_.reset();
    }
}

void CJob::HandOverResult(JobResult* out) {
    if (result_) {
        *out = *result_;
        result_.reset();
    }
}

void CJob::PopFileMessage(JobFileMessage* out) {
    if (!fileMessages_.empty()) {
        *out = fileMessages_.front();
        fileMessages_.pop_front();
    }
}

int32_t CJob::EventTextLength() const {
    if (events_.empty() || events_.front().text.empty()) {
        return 0;
    }
    return static_cast<int32_t>(events_.front().text.size() + 1);
}

void CJob::PopEvent(JobEvent* inOut) {
    if (events_.empty()) {
        inOut->code = DL_OK;
        return;
    }
    const QueuedEvent& event = events_.front();
    inOut->code = event.code;
    if (inOut->text != nullptr && !event.text.empty()) {
        // The host sized its buffer with EventTextLength: the text and its terminator.
        std::memcpy(inOut->text, event.text.c_str(), event.text.size() + 1);
    }
    events_.pop_front();
}

void CJob::ReportProgress() {
    if (state_ == kRunning && progress_.presentBytes != 0) {
        Notify(DLN_JOB_PROGRESS);
    }
}

void CJob::ReportSize(int32_t fileCount, int64_t totalBytes) {
    if (state_ != kRunning || progress_.presentBytes != 0) {
        return;
    }
    sizeInfo_ = JobSizeInfo{fileCount, totalBytes};
    Notify(DLN_JOB_SIZE);
}

void CJob::ReportCompletion(int32_t value1, int32_t value2) {
    ReportProgress();
    state_ = kDone;
    result_ = JobResult{static_cast<int32_t>(files_.size()), value1, value2};
    Notify(DLN_JOB_DONE);
}

void CJob::ReportFileDone(const char* path, const char* text, const char* firstPart) {
    CJobFile* file = FindFile(path);
    if (file == nullptr || file->state == CJobFile::kStateDone) {
        return;
    }
    file->state = CJobFile::kStateDone;
    JobFileMessage message{};
    message.fileCount = progress_.fileCount;
    message.sequence = ++fileMessageSequence_;
    std::snprintf(message.text, sizeof message.text, "%s,%s", firstPart != nullptr ? firstPart : "",
                  IsEmpty(text) ? path : text);
    fileMessages_.push_back(message);
    Notify(DLN_JOB_FILE_DONE);
}

void CJob::ReportEvent(int32_t code, const char* text) {
    events_.push_back({code, IsEmpty(text) ? std::string() : std::string(text)});
    Notify(DLN_JOB_EVENT);
}

void CJob::AskResume() {
    Notify(DLN_JOB_RESUME_QUERY);
}

CJobFile* CJob::FindFile(const char* path) const {
    if (IsEmpty(path)) {
        return nullptr;
    }
    auto it = fileMap_.find(LowerAscii(path));
    return it != fileMap_.end() ? it->second : nullptr;
}
