#include "engine/engine_job_report.h"

#include <algorithm>

#include "foundation/clock.h"

namespace {

int64_t NowMs() {
    const cpTimeStamp now = cpGetTime();
    return int64_t{now.seconds} * 1000 + now.milliseconds;
}

// "http://mirror/a.bin: HTTP status 404" names the URL that failed: the part before ": " when it
// looks like a URL.
std::string FailedUrl(const std::string& failure) {
    const size_t scheme = failure.find("://");
    const size_t end = failure.find(": ");
    if (scheme == std::string::npos || end == std::string::npos || scheme > end) {
        return std::string();
    }
    return failure.substr(0, end);
}

}  // namespace

CEngineJobReports::CEngineJobReports() : reporter_(std::make_unique<CJobReporter>()) {}

CEngineJobReports::~CEngineJobReports() = default;

void CEngineJobReports::Accepted(const CJob& job, const engine_protocol::JobAccepted& message,
                                 const std::string& engineVersion) {
    Track& track = jobs_[message.job];
    track = Track{};
    track.acceptedMs = NowMs();
    vmJobReport& report = track.report;
    report.path = vmJobReport::kPathEngine;
    report.files = message.fileCount;
    report.totalBytes =
        message.totalBytes == ~uint64_t{0}
            ? 0
            : static_cast<int64_t>(std::min<uint64_t>(message.totalBytes, uint64_t{1} << 62));
    report.serviceId = job.ServiceId();
    if (!job.Files().empty()) {
        report.url = job.Files().front()->url;
    }
    report.engineVersion = engineVersion;
}

void CEngineJobReports::Progress(const engine_protocol::JobProgress& message) {
    const auto it = jobs_.find(message.job);
    if (it == jobs_.end()) {
        return;
    }
    Track& track = it->second;
    if (!track.progressed) {
        track.progressed = true;
        track.firstPresent = message.bytesPresent;
    }
    track.lastPresent = std::max(track.lastPresent, message.bytesPresent);
    track.filesCompleted = message.filesCompleted;
    // The first entry is the file the bar shows; the files in transfer follow it.
    if (message.entries.size() > 1) {
        track.connections =
            std::max(track.connections, static_cast<uint32_t>(message.entries.size() - 1));
    }
}

void CEngineJobReports::Ended(uint32_t job, uint8_t outcome, const std::string& failure) {
    const auto it = jobs_.find(job);
    if (it == jobs_.end()) {
        return;
    }
    Track track = std::move(it->second);
    jobs_.erase(it);
    vmJobReport& report = track.report;
    report.outcome = outcome;
    report.durationMs = static_cast<uint64_t>(std::max<int64_t>(NowMs() - track.acceptedMs, 0));
    report.bytesFromServers = track.lastPresent > track.firstPresent
                                  ? static_cast<int64_t>(std::min<uint64_t>(
                                        track.lastPresent - track.firstPresent, uint64_t{1} << 62))
                                  : 0;
    report.bytesFromPeers = 0;
    report.filesCompleted =
        outcome == vmJobReport::kCompleted ? report.files : track.filesCompleted;
    report.connections = track.connections;
    report.failure = failure;
    const std::string failedUrl = FailedUrl(failure);
    if (!failedUrl.empty()) {
        report.url = failedUrl;
        report.mirror = failedUrl;
    }
    reporter_->Report(report);
}
