#include "direct/platform_downloader.h"

#include <algorithm>
#include <cstring>

#include "foundation/clock.h"
#include "foundation/log.h"
#include "foundation/platform/connectivity.h"

CPlatFormDownloader::CPlatFormDownloader(IJobDownloadEventListener* listener,
                                         vmSmartPtr<cpCMutex> mutex)
    : CJobDownloader(listener, std::move(mutex)),
      reporter_(std::make_unique<CPlatformReporter>()),
      jobReporter_(std::make_unique<CJobReporter>()) {}

CPlatFormDownloader::~CPlatFormDownloader() {
    cpCLock lock(Mutex());
    std::vector<std::unique_ptr<CWorkEntry>> entries = std::move(entries_);
    entries_.clear();
    for (const auto& entry : entries) {
        ReleaseWorkers(entry.get());
    }
    entries.clear();
    reporter_.reset();
    WriteLogLine("[TessloadLib] CPlatFormDownloader Destroy");
}

int32_t CPlatFormDownloader::BeginJob(CJob* job) {
    cpCLock lock(Mutex());
    if (FindEntry(job) != nullptr) {
        return DL_E_FAIL;
    }
    WriteLogLine("[TessloadLib] CPlatFormDownloader Begin");
    auto entry = std::make_unique<CWorkEntry>();
    entry->job = job;
    entry->serial = nextSerial_++;
    CWorkEntry* added = entry.get();
    entries_.push_back(std::move(entry));
    // The check may finish (or fail) at once; the entry is not touched after it starts.
    StartSizeCheck(added);
    return DL_OK;
}

void CPlatFormDownloader::EndJob(CJob* job) {
    cpCLock lock(Mutex());
    if (CWorkEntry* entry = FindEntry(job)) {
        SendReport(entry);
        SendJobReport(entry, entry->failure.empty() ? vmJobReport::kStopped : vmJobReport::kFailed,
                      entry->failure);
        TakeEntry(entry);
    }
}

void CPlatFormDownloader::TickJob(CJob* job) {
    const bool connected = cpInternetConnected();
    if (!connected && !IsNetworkLost()) {
        NetworkLost();
    } else if (connected && IsNetworkLost()) {
        ClearNetworkLost();
        ReportEvent(job, JOB_EVENT_NETWORK_BACK, nullptr);
    }
}

CPlatFormDownloader::CWorkEntry* CPlatFormDownloader::FindEntry(const CJob* job) const {
    for (const auto& entry : entries_) {
        if (entry->job == job) {
            return entry.get();
        }
    }
    return nullptr;
}

bool CPlatFormDownloader::IsLive(const CWorkEntry* entry, uint64_t serial) const {
    for (const auto& held : entries_) {
        if (held.get() == entry && held->serial == serial) {
            return true;
        }
    }
    return false;
}

void CPlatFormDownloader::StartSizeCheck(CWorkEntry* entry) {
    if (entry->checker) {
        entry->checker->Detach();
    }
    auto checker = vmMakeObject<CPlatformFileSizeChecker>(this, reinterpret_cast<uintptr_t>(entry));
    entry->checker = checker;
    checker->Start(entry->job->Files());
}

void CPlatFormDownloader::OnSizeCheckComplete(uintptr_t context,
                                              const CFileSizeCheckResult& result) {
    CWorkEntry* entry = EntryOf(context);
    const uint64_t serial = entry->serial;
    WriteLogLine("[TessloadLib] CPlatFormDownloader FileSizeCheck Completed");
    ReportSize(entry->job, result.fileCount, result.totalBytes);
    if (!IsLive(entry, serial)) {
        return;  // the host let the job go when it heard the size
    }
    entry->totalBytes = result.totalBytes;
    entry->presentAtStart = result.presentBytes;
    entry->fileCount = result.fileCount;
    entry->startSeconds = static_cast<int64_t>(cpGetSeconds());
    const cpTimeStamp start = cpGetTime();
    entry->startMs = int64_t{start.seconds} * 1000 + start.milliseconds;
    // Last: the session may finish (or fail) at once.
    StartSession(entry);
}

void CPlatFormDownloader::OnSizeCheckFailed(uintptr_t context, int32_t code, const char* text) {
    CWorkEntry* entry = EntryOf(context);
    CJob* job = entry->job;
    SendJobReport(entry, vmJobReport::kFailed, text != nullptr ? text : "");
    TakeEntry(entry);
    ReportEventAndDrop(job, code, text);
}

void CPlatFormDownloader::StartSession(CWorkEntry* entry) {
    if (entry->session) {
        entry->session->Detach();
    }
    std::vector<CPlatformFileRecord> records;
    for (const auto& file : entry->job->Files()) {
        CPlatformFileRecord record;
        record.index = file->index;
        record.url = file->url;
        record.folder = file->folder;
        record.name = file->name;
        record.serviceId = file->serviceId;
        record.expectedSize =
            file->size != -1 ? file->size : entry->checker->LearnedSize(file->index);
        record.sizeLearnt = file->size == -1 && record.expectedSize >= 0;
        records.push_back(std::move(record));
    }
    auto session = vmMakeObject<CPlatformSession>();
    session->SetListener(this, reinterpret_cast<uintptr_t>(entry));
    session->SetSpeedMode(entry->job->SpeedMode());
    entry->session = session;
    session->Start(records);
}

void CPlatFormDownloader::OnAllFilesDone(uintptr_t context) {
    CWorkEntry* entry = EntryOf(context);
    const int32_t completed = entry->completed;
    SendReport(entry);
    SendJobReport(entry, vmJobReport::kCompleted, std::string());
    Snapshot(entry);
    CJob* job = entry->job;
    const std::unique_ptr<CWorkEntry> done = TakeEntry(entry);
    ReportCompletion(job, completed, 0);
}

void CPlatFormDownloader::OnSessionFailed(uintptr_t context, const char* text) {
    EntryOf(context)->failure = text != nullptr ? text : "";
    ReportEvent(EntryOf(context)->job, JOB_EVENT_FAILED, text);
}

void CPlatFormDownloader::OnFileDone(uintptr_t context, const CPlatformFileRecord& file) {
    CWorkEntry* entry = EntryOf(context);
    ++entry->completed;
    const std::string path = file.FullPath();
    ReportFileDone(entry->job, path.c_str(), file.url.c_str());
}

void CPlatFormDownloader::OnDataWritten(uintptr_t context) {
    Snapshot(EntryOf(context));
}

void CPlatFormDownloader::OnFileOpened(const char*, uintptr_t) {}

void CPlatFormDownloader::OnSessionEvent(uintptr_t context, int32_t code, const char* text) {
    CWorkEntry* entry = EntryOf(context);
    // What was lost with a failed write is no longer counted as present.
    Snapshot(entry);
    ReportEvent(entry->job, code, text);
}

void CPlatFormDownloader::Snapshot(CWorkEntry* entry) {
    JobProgress progress{};
    const CPlatformSession* session = entry->session.Get();
    progress.totalBytes = entry->totalBytes;
    progress.presentBytes = session != nullptr ? session->SessionBytes() : 0;
    progress.fileCount = entry->fileCount;
    progress.completedFiles = session != nullptr ? entry->completed : 0;
    progress.percent = Percentage(progress.totalBytes, progress.presentBytes);
    progress.elapsedSeconds = Elapsed(entry->startSeconds);
    progress.speed = Speed(progress.presentBytes, entry->presentAtStart, progress.elapsedSeconds);
    progress.remainingSeconds =
        Remaining(progress.totalBytes, progress.presentBytes, progress.speed);
    if (const CPlatformFileRecord* file = session != nullptr ? session->ShownFile() : nullptr) {
        progress.fileIndex = file->index;
        progress.fileSize = file->size;
        progress.filePresentBytes = file->PresentBytes();
        progress.fileSpeed = progress.speed;
        progress.fileRemainingSeconds = progress.remainingSeconds;
        progress.filePercent = Percentage(progress.fileSize, progress.filePresentBytes);
        const size_t length = std::min(file->name.size(), sizeof(progress.fileName) - 1);
        std::memcpy(progress.fileName, file->name.data(), length);
        progress.fileName[length] = '\0';
    }
    StoreProgress(entry->job, progress);
}

void CPlatFormDownloader::SendReport(CWorkEntry* entry) {
    if (!entry->session) {
        return;
    }
    const uint32_t count = entry->session->ReportRecords(nullptr);
    if (count == 0) {
        return;
    }
    std::vector<uint8_t> records(size_t{count} * kAgentReportRecordSize);
    entry->session->ReportRecords(records.data());
    reporter_->Report(records.data(), count);
}

void CPlatFormDownloader::SendJobReport(const CWorkEntry* entry, uint8_t outcome,
                                        const std::string& failure) {
    vmJobReport report;
    report.path = vmJobReport::kPathDirect;
    report.outcome = outcome;
    report.files = static_cast<uint32_t>(entry->job->Files().size());
    report.filesCompleted = static_cast<uint32_t>(std::max(entry->completed, 0));
    // One connection at a time, while the session ran.
    report.connections = entry->session ? 1 : 0;
    const cpTimeStamp now = cpGetTime();
    const int64_t nowMs = int64_t{now.seconds} * 1000 + now.milliseconds;
    report.durationMs = entry->startMs > 0
                            ? static_cast<uint64_t>(std::max<int64_t>(nowMs - entry->startMs, 0))
                            : 0;
    report.bytesFromServers =
        entry->session
            ? std::max<int64_t>(entry->session->SessionBytes() - entry->presentAtStart, 0)
            : 0;
    report.totalBytes = entry->totalBytes;
    report.serviceId = entry->job->ServiceId();
    if (!entry->job->Files().empty()) {
        report.url = entry->job->Files().front()->url;
    }
    // The session's failure text is the URL it gave up on.
    if (!failure.empty() && failure.find("://") != std::string::npos) {
        report.url = failure.substr(0, failure.find(' '));
        report.mirror = report.url;
    }
    report.failure = failure;
    jobReporter_->Report(report);
}

std::unique_ptr<CPlatFormDownloader::CWorkEntry> CPlatFormDownloader::TakeEntry(CWorkEntry* entry) {
    std::unique_ptr<CWorkEntry> taken;
    const auto it = std::find_if(entries_.begin(), entries_.end(),
                                 [&](const auto& held) { return held.get() == entry; });
    if (it != entries_.end()) {
        taken = std::move(*it);
        entries_.erase(it);
        ReleaseWorkers(taken.get());
    }
    return taken;
}

void CPlatFormDownloader::ReleaseWorkers(CWorkEntry* entry) {
    // A worker whose call is on the stack holds itself until that call returns.
    if (entry->checker) {
        entry->checker->Detach();
        entry->checker.Reset();
    }
    if (entry->session) {
        entry->session->Detach();
        entry->session.Reset();
    }
}
