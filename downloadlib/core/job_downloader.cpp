#include "core/job_downloader.h"

#include <algorithm>
#include <limits>

#include "foundation/clock.h"
#include "foundation/log.h"
#include "tev_config.h"

CJobDownloader::CJobDownloader(IJobDownloadEventListener* listener, vmSmartPtr<cpCMutex> mutex)
    : listener_(listener), mutex_(std::move(mutex)) {
    StartLog();
    WriteLogLineF("[TessloadLib] Launch(%s)", TEV_VERSION_TEXT);
}

CJobDownloader::~CJobDownloader() {
    DropAll();
}

int32_t CJobDownloader::ReplyResume(CJob*, uint8_t, uint8_t) {
    return DL_OK;
}

void CJobDownloader::SetServiceId(const char*) {}

int32_t CJobDownloader::Start(CJob* job) {
    if (Holds(job)) {
        return DL_E_STARTED;
    }
    networkLost_ = 0;
    job->SetRunning();
    jobs_.push_back(job);
    StartTick();
    return BeginJob(job);
}

int32_t CJobDownloader::Stop(CJob* job) {
    if (!Holds(job)) {
        return DL_E_NOT_STARTED;
    }
    std::erase(jobs_, job);
    job->SetIdle();
    StopTickIfIdle();
    EndJob(job);
    return DL_OK;
}

int32_t CJobDownloader::ReplyToResumeQuery(CJob* job, uint8_t answer1, uint8_t answer2) {
    if (!Holds(job)) {
        return DL_E_NOT_STARTED;
    }
    ReplyResume(job, answer1, answer2);
    return DL_OK;
}

bool CJobDownloader::Holds(const CJob* job) const {
    return job != nullptr && std::find(jobs_.begin(), jobs_.end(), job) != jobs_.end();
}

void CJobDownloader::Drop(CJob* job) {
    std::erase(jobs_, job);
    StopTickIfIdle();
}

void CJobDownloader::DropAll() {
    jobs_.clear();
    StopTickIfIdle();
}

void CJobDownloader::NetworkLost() {
    networkLost_ = 1;
    // A copy: a report may make a downloader drop jobs.
    const std::vector<CJob*> jobs = jobs_;
    for (CJob* job : jobs) {
        networkLost_ = 1;
        ReportEvent(job, JOB_EVENT_NETWORK_POOR, nullptr);
    }
}

void CJobDownloader::StoreProgress(CJob* job, const JobProgress& progress) {
    if (Holds(job)) {
        job->StoreProgress(progress);
    }
}

void CJobDownloader::ReportEvent(CJob* job, int32_t code, const char* text) {
    if (Holds(job)) {
        job->ReportEvent(code, text);
    }
}

void CJobDownloader::ReportEventAndDrop(CJob* job, int32_t code, const char* text) {
    if (Holds(job)) {
        Drop(job);
        job->ReportEvent(code, text);
    }
}

void CJobDownloader::ReportCompletion(CJob* job, int32_t value1, int32_t value2) {
    if (Holds(job)) {
        Drop(job);
        job->ReportCompletion(value1, value2);
    }
}

void CJobDownloader::ReportFileDone(CJob* job, const char* path, const char* text,
                                    const char* firstPart) {
    if (Holds(job)) {
        job->ReportFileDone(path, text, firstPart);
    }
}

void CJobDownloader::ReportFileDone(CJob* job, const char* path, const char* firstPart) {
    if (Holds(job)) {
        job->ReportFileDone(path, firstPart);
    }
}

void CJobDownloader::ReportSize(CJob* job, int32_t fileCount, int64_t totalBytes) {
    if (Holds(job)) {
        job->ReportSize(fileCount, totalBytes);
    }
}

void CJobDownloader::AskResume(CJob* job) {
    if (Holds(job)) {
        job->AskResume();
    }
}

void CJobDownloader::StartTick() {
    if (timer_) {
        return;
    }
    if (!timer_.CreateInstance(CLSID_cpCTimer)) {
        return;
    }
    if (vmFailed(timer_->Start(
            kTickPeriodMs, [this] { OnTick(); }, kTickTimerId, mutex_))) {
        timer_.Reset();  // no timer manager: no ticks, but the jobs still run
    }
}

void CJobDownloader::StopTickIfIdle() {
    if (jobs_.empty() && timer_) {
        timer_->Stop();
        timer_.Reset();
    }
}

void CJobDownloader::OnTick() {
    // A copy: TickJob may let jobs go, and a job let go in this round is not ticked.
    const std::vector<CJob*> jobs = jobs_;
    for (CJob* job : jobs) {
        if (!Holds(job)) {
            continue;
        }
        TickJob(job);
        if (Holds(job)) {
            job->ReportProgress();
        }
    }
}

int32_t CJobDownloader::Percentage(int64_t total, int64_t part) {
    if (total <= 0 || part <= 0) {
        return 0;
    }
    return static_cast<int32_t>(part * 100 / total);
}

int64_t CJobDownloader::Elapsed(int64_t startSeconds) {
    return static_cast<int64_t>(cpGetSeconds()) - startSeconds;
}

int32_t CJobDownloader::Speed(int64_t received, int64_t atStart, int64_t elapsed) {
    if (elapsed <= 0 || received < 0 || received < atStart) {
        return 0;
    }
    // Computed in 64 bits; the record's field is 32 bits, so a larger figure is held at its top.
    const int64_t speed = (received - atStart) / elapsed;
    return static_cast<int32_t>(std::min<int64_t>(speed, std::numeric_limits<int32_t>::max()));
}

int64_t CJobDownloader::Remaining(int64_t total, int64_t received, int32_t speed) {
    // More present than the total (a local copy longer than the file) leaves nothing to wait for.
    return std::max<int64_t>(0, (total - received) / (speed <= 0 ? 1 : speed));
}

void CSpeedSampler::Clear() {
    stamps_.fill(0);
    values_.fill(0);
    newest_ = -1;
}

void CSpeedSampler::Add(int64_t stamp, uint32_t value) {
    newest_ = (newest_ + 1) % kSamples;
    stamps_[newest_] = stamp;
    values_[newest_] = value;
}

uint32_t CSpeedSampler::Speed() const {
    if (newest_ < 0) {
        return 0;
    }
    const int64_t newest = stamps_[newest_];
    uint64_t sum = 0;
    uint32_t counted = 0;
    for (int i = 0; i < kSamples; ++i) {
        if (stamps_[i] == 0) {
            continue;
        }
        const int64_t age = newest - stamps_[i];
        if (age < 0 || age <= kWindowSeconds) {
            sum += values_[i];
            ++counted;
        }
    }
    return counted == 0 ? 0 : static_cast<uint32_t>(sum / counted);
}
