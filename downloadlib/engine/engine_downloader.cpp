#include "engine/engine_downloader.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "engine/binary_execute.h"
#include "engine/engine_paths.h"
#include "foundation/clock.h"
#include "foundation/collector.h"
#include "foundation/log.h"
#include "foundation/platform/connectivity.h"
#include "socket_owner.h"
#include "stack/qos_action.h"
#include "update/version_text.h"

namespace ep = engine_protocol;

namespace {

constexpr size_t kProgressNameBytes = 65;

// Sizes above the signed range are the engine's "not known yet".
int64_t KnownSize(uint64_t size) {
    return size > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
               ? 0
               : static_cast<int64_t>(size);
}

int32_t SafePercent(uint64_t total, uint64_t present) {
    if (KnownSize(total) == 0 || present == 0) {
        return 0;
    }
    if (present >= total) {
        return 100;
    }
    return static_cast<int32_t>(static_cast<unsigned __int128>(present) * 100 / total);
}

int64_t SafeRemaining(uint64_t total, uint64_t present, uint32_t speed) {
    if (KnownSize(total) == 0 || present >= total) {
        return 0;
    }
    return KnownSize((total - present) / (speed == 0 ? 1 : speed));
}

ep::FileRecord RecordOf(const CJobFile& file) {
    ep::FileRecord record;
    record.option1 = static_cast<uint8_t>(file.option1);
    record.option2 = static_cast<uint8_t>(file.option2);
    record.size = file.size < 0 ? UINT64_MAX : static_cast<uint64_t>(file.size);
    record.folder = file.folder;
    record.name = file.name;
    record.url = file.url;
    return record;
}

}  // namespace

uint16_t EnginePort() {
    const char* value = std::getenv("TEV_ENGINE_PORT");
    if (value != nullptr && value[0] != '\0') {
        char* end = nullptr;
        const long port = std::strtol(value, &end, 10);
        if (*end == '\0' && port > 0 && port <= 65535) {
            return static_cast<uint16_t>(port);
        }
    }
    return ep::kDefaultPort;
}

CEngineDownloaderSettings DefaultEngineDownloaderSettings() {
    CEngineDownloaderSettings settings;
    settings.launcher.environment.engineFolder = [] { return GetEngineFolderPath(); };
    settings.launcher.environment.enginePath = [] { return GetEngineFilePath(); };
    settings.launcher.environment.secondaryPath = [] { return GetSecondaryFilePath(); };
    settings.launcher.environment.currentVersion = [] {
        std::string version;
        GetFileVersionText(GetEngineFilePath(), &version);
        return version;
    };
    settings.launcher.environment.runEngine = DefaultEngineEnvironment().runEngine;
    settings.launcher.descriptorUrl = UpdateDescriptorUrl();
    settings.port = EnginePort();
    return settings;
}

JobProgress BuildEngineProgress(const ep::JobProgress& message, const CJob& job,
                                CSpeedSampler* jobSampler, CSpeedSampler* fileSampler) {
    JobProgress progress{};
    progress.totalBytes = KnownSize(message.totalBytes);
    progress.presentBytes = KnownSize(message.bytesPresent);
    progress.fileCount = static_cast<int32_t>(message.fileCount);
    progress.completedFiles = static_cast<int32_t>(message.filesCompleted);
    progress.elapsedSeconds = KnownSize(message.elapsedSeconds);

    jobSampler->Add(progress.elapsedSeconds, message.speed);
    const uint32_t speed = jobSampler->Speed();
    progress.speed = static_cast<int32_t>(std::min<uint32_t>(speed, INT32_MAX));
    progress.remainingSeconds = SafeRemaining(message.totalBytes, message.bytesPresent, speed);
    progress.percent = SafePercent(message.totalBytes, message.bytesPresent);

    if (!message.entries.empty()) {
        const ep::ProgressEntry& entry = message.entries.front();
        progress.fileSize = KnownSize(entry.size);
        progress.filePresentBytes = KnownSize(entry.present);
        fileSampler->Add(progress.elapsedSeconds, entry.speed);
        const uint32_t fileSpeed = fileSampler->Speed();
        progress.fileSpeed = fileSpeed;
        progress.fileRemainingSeconds = SafeRemaining(entry.size, entry.present, fileSpeed);
        progress.filePercent = SafePercent(entry.size, entry.present);
    }

    const size_t count = job.FileCount();
    const size_t index = count == 0 ? 0 : std::min<size_t>(message.filesCompleted, count - 1);
    progress.fileIndex = static_cast<int32_t>(index);
    if (index < count) {
        const std::string& name = job.Files()[index]->name;
        const size_t length = std::min(name.size(), kProgressNameBytes);
        std::memcpy(progress.fileName, name.data(), length);
        progress.fileName[length] = '\0';
    }
    return progress;
}

bool EngineCanCarry(const CJob& job) {
    uint64_t urlBytes = 0;
    for (const auto& file : job.Files()) {
        urlBytes += file->url.size();
        if (file->folder.size() + file->name.size() >= ep::kPathField ||
            file->url.size() > ep::kMaxUrlLength) {
            return false;
        }
    }
    return urlBytes <= ep::kMaxListUrlBytes;
}

CEngineDownloader::CEngineDownloader(IJobDownloadEventListener* listener,
                                     vmSmartPtr<cpCMutex> mutex, CEngineDownloaderSettings settings)
    : CJobDownloader(listener, std::move(mutex)), settings_(std::move(settings)) {
    MakeLauncher();
}

CEngineDownloader::~CEngineDownloader() {
    cpCLock lock(Mutex());
    ReleaseConnection(true);
    DestroyLauncher();
    retiredLauncher_.reset();
    pending_.clear();
    WriteLogLine("[TessloadLib] CEngineDownloader Destroy");
}

// ---- Jobs ----

CEngineDownloader::PendingJob* CEngineDownloader::FindPending(uint32_t job) {
    for (PendingJob& record : pending_) {
        if (record.job == job) {
            return &record;
        }
    }
    return nullptr;
}

CEngineDownloader::PendingJob* CEngineDownloader::FindPending(uint32_t job, uint32_t engineJob) {
    for (PendingJob& record : pending_) {
        if (record.job == job && record.engineJob == engineJob) {
            return &record;
        }
    }
    return nullptr;
}

CJob* CEngineDownloader::HeldJob(const PendingJob* record) const {
    // A job the host removed after this downloader was retired is gone: never touch it.
    return record != nullptr && Holds(record->jobObject) ? record->jobObject : nullptr;
}

void CEngineDownloader::RemovePending(const PendingJob* record) {
    pending_.erase(pending_.begin() + (record - pending_.data()));
}

int32_t CEngineDownloader::BeginJob(CJob* job) {
    if (FindPending(job->Number()) != nullptr) {
        return DL_E_FAIL;
    }
    if (IsNetworkLost()) {
        return DL_E_NOT_STARTED;
    }
    if (!EngineCanCarry(*job)) {
        MoveToDirect(job);
        return DL_OK;
    }
    if (!IsConnected()) {
        return DL_OK;  // handed over once connected
    }
    if (pending_.empty()) {
        Heard();  // silence counts from when the engine holds a job
    }
    pending_.push_back(PendingJob{kUnknownEngineJob, job->Number(), job});
    SendFiles(job);
    return DL_OK;
}

void CEngineDownloader::SendFiles(CJob* job) {
    if (!job->Code().empty()) {
        layer_->SendJobCode(ep::JobCode{job->Code()});
    }
    layer_->SendJobMode(ep::JobMode{static_cast<uint8_t>(job->SpeedMode() != 0 ? 2 : 1)});
    if (job->EngineOption() != 0) {
        layer_->SendEngineOption(ep::EngineOption{job->Number()});
    }
    std::vector<ep::FileRecord> files;
    files.reserve(job->FileCount());
    for (const auto& file : job->Files()) {
        files.push_back(RecordOf(*file));
    }
    if (ep::FileListPayloadSize(files) <= kMaxFileListPayload) {
        layer_->SendFileList(ep::FileList{job->Number(), job->ServiceId(), std::move(files)});
        return;
    }
    layer_->SendFileListBegin(
        ep::FileListBegin{job->Number(), static_cast<uint32_t>(files.size()), job->ServiceId()});
    for (size_t i = 0; i < files.size(); ++i) {
        layer_->SendFileListEntry(
            ep::FileListEntry{job->Number(), static_cast<uint32_t>(i), std::move(files[i])});
    }
    layer_->SendFileListEnd(ep::FileListEnd{job->Number()});
}

void CEngineDownloader::MoveToDirect(CJob* job) {
    if (!Holds(job)) {
        return;
    }
    ReportEvent(job, JOB_EVENT_MOVED, nullptr);
    Drop(job);
    if (Listener() != nullptr) {
        Listener()->OnEngineGiveUpJob(job);
    }
}

void CEngineDownloader::EndJob(CJob* job) {
    PendingJob* record = FindPending(job->Number());
    if (record == nullptr) {
        return;
    }
    const ep::StopJob stop{record->job, record->engineJob};
    RemovePending(record);
    reports_.Ended(job->Number(), vmJobReport::kStopped);
    if (IsConnected()) {
        layer_->SendStopJob(stop);
    }
}

void CEngineDownloader::TickJob(CJob* job) {
    CheckSilence();
    if (!Holds(job)) {
        return;  // a mute engine's connection went, and this job with it
    }
    if (!cpInternetConnected()) {
        if (!IsNetworkLost()) {
            OnNetworkDown();
        }
        return;
    }
    if (!IsNetworkLost()) {
        return;
    }
    ClearNetworkLost();
    ReportEvent(job, JOB_EVENT_NETWORK_BACK, nullptr);
    // Jobs refused while the network was away are handed over now, not at the next reconnect.
    const std::vector<CJob*> jobs = Jobs();
    for (CJob* held : jobs) {
        if (Holds(held) && FindPending(held->Number()) == nullptr) {
            BeginJob(held);
        }
    }
}

int32_t CEngineDownloader::ReplyResume(CJob* job, uint8_t answer1, uint8_t answer2) {
    if (IsConnected()) {
        layer_->SendResumeReply(
            ep::ResumeReply{job->EngineNumber(), job->Number(), answer1, answer2});
    }
    return DL_OK;
}

void CEngineDownloader::SetServiceId(const char* serviceId) {
    serviceId_ = serviceId != nullptr ? serviceId : "";
    if (IsConnected()) {
        layer_->SendServiceId(ep::ServiceId{ep::FitText(serviceId_, ep::kServiceIdField)});
    }
}

void CEngineDownloader::SetJobFlag(CJob* job, uint8_t value) {
    if (IsConnected()) {
        layer_->SendJobFlag(ep::JobFlag{job->Number(), job->EngineNumber(), value});
    }
}

// ---- Launcher and connection ----

void CEngineDownloader::MakeLauncher() {
    launcher_ =
        std::make_unique<CEngineLauncher>(vmSmartPtr<cpCMutex>(Mutex()), settings_.launcher);
    launcher_->SetListener(this);
    ++restarts_;
}

void CEngineDownloader::DestroyLauncher() {
    if (launcher_) {
        launcher_->SetListener(nullptr);
        // Its run may be on the stack of this very call (a connection that failed at once):
        // it goes with the next restart or with this downloader.
        retiredLauncher_ = std::move(launcher_);
    }
}

void CEngineDownloader::Connect() {
    cpCLock lock(Mutex());
    if (connection_ || givenUp_) {
        return;
    }
    vmSmartPtr<vmIQoSContext> context;
    vmIUnknown* top = nullptr;
    if (!context.CreateInstance(CLSID_cpCQoSContext) ||
        vmFailed(context->Open(kQoSActionHigh, kQoSFlagConnectFailure, nullptr))) {
        ConnectionClosed();  // no socket now: counts as a failed connection
        return;
    }
    const uint32_t timeout = kConnectTimeoutSeconds;
    context->SetOption(kQoSOptionConnectTimeout, &timeout);
    if (vmFailed(context->AddLayer(CLSID_nwCCDNLocalClientLayer, false)) ||
        vmFailed(context->GetLayer(CLSID_nwCCDNLocalClientLayer, &top)) || top == nullptr) {
        context->Close();
        vmCGarbageCollector::Instance()->Add(context);
        ConnectionClosed();
        return;
    }
    layer_ = static_cast<vmICDNLocalClientLayer*>(top);
    layer_->SetListener(this, 0);
    connection_ = context;
    const cpAddress remote{htonl(INADDR_LOOPBACK), settings_.port, 0};
    context->SetRemoteAddress(&remote);
    if (vmFailed(context->Connect(&remote))) {
        context->Close();  // its OnClosed restarts
    }
}

void CEngineDownloader::ReleaseConnection(bool close) {
    if (!connection_) {
        return;
    }
    if (layer_ != nullptr) {
        layer_->SetListener(nullptr, 0);
        layer_ = nullptr;
    }
    vmSmartPtr<vmIQoSContext> context = std::move(connection_);
    connection_.Reset();
    if (close) {
        context->Close();
    }
    // Events already queued for it must still find it.
    if (vmCGarbageCollector* collector = vmCGarbageCollector::Instance()) {
        collector->Add(context);
    }
}

// The engine's end of this very connection (local 127.0.0.1:port, remote our socket's address,
// ESTABLISHED) must be our user's: a listener's row would not show who accepted us.
bool CEngineDownloader::EngineIsOurs() const {
    cpAddress local{};
    if (!connection_ || vmFailed(connection_->GetLocalAddress(&local))) {
        return false;
    }
    const std::optional<uid_t> owner =
        cpConnectionOwner(cpTcpEnd::FromIPv4(htonl(INADDR_LOOPBACK), settings_.port),
                          cpTcpEnd::FromIPv4(local.ip, local.port));
    return owner && *owner == cpOwnUserId();
}

void CEngineDownloader::Heard() {
    lastHeard_ = cpGetTime();
    stateAsked_ = false;
}

// An engine is rightly quiet while it learns many sizes or waits for the resume answer, so
// silence alone is no fault; an engine that does not answer a state request holds its jobs for
// ever (a connection has no idle limit of its own).
void CEngineDownloader::CheckSilence() {
    if (!IsConnected() || pending_.empty()) {
        return;
    }
    const int64_t quiet = cpElapsedMs(lastHeard_);
    if (quiet < 0) {
        Heard();  // the clock went back: count afresh
        return;
    }
    if (!stateAsked_) {
        if (quiet >= kSilenceMs) {
            stateAsked_ = true;
            stateAskedAt_ = cpGetTime();
            layer_->SendStateRequest();
        }
        return;
    }
    const int64_t waited = cpElapsedMs(stateAskedAt_);
    if (waited >= kStateAnswerMs || waited < 0) {
        WriteLogLineF("[TessloadLib] Engine silent for %lld s: no answer to a state request",
                      static_cast<long long>(quiet / 1000));
        vmSmartPtr<vmIQoSContext> context = connection_;
        context->Close();  // its OnClosed restarts
    }
}

void CEngineDownloader::ConnectionClosed() {
    // The jobs the engine held lost it. The restart counter forgives a connection that lasted
    // over 30 seconds, so an engine that always dies after that long would be restarted for
    // ever: each job counts its own losses and goes direct beyond the bound.
    std::vector<CJob*> tooOften;
    for (const PendingJob& record : pending_) {
        if (CJob* job = HeldJob(&record)) {
            if (++lostConnections_[record.job] > kMaxLostConnectionsPerJob) {
                tooOften.push_back(job);
            }
        }
    }
    std::erase_if(lostConnections_, [this](const auto& entry) {
        const std::vector<CJob*>& held = Jobs();
        return std::none_of(held.begin(), held.end(),
                            [&](const CJob* job) { return job->Number() == entry.first; });
    });
    ReleaseConnection(false);
    const uint32_t now = cpGetSeconds();
    if (connectTime_ != 0 && now > connectTime_ + kLongConnectionSeconds) {
        restarts_ = 0;
    }
    connectTime_ = 0;
    WriteLogLine("[TessloadLib] localClosed()");
    if (givenUp_) {
        return;
    }
    if (restarts_ > kMaxRestarts) {
        WriteLogLine("[TessloadLib] CEngineDownloader MaxTry Over");
        GiveUp();
        return;
    }
    DestroyLauncher();
    pending_.clear();
    for (CJob* job : tooOften) {
        WriteLogLineF("[TessloadLib] Job %u lost the engine %u times: direct", job->Number(),
                      lostConnections_[job->Number()]);
        lostConnections_.erase(job->Number());
        MoveToDirect(job);
    }
    MakeLauncher();
}

void CEngineDownloader::GiveUp() {
    if (givenUp_) {
        return;
    }
    givenUp_ = true;
    if (Listener() != nullptr) {
        Listener()->OnEngineGiveUp();
    }
}

void CEngineDownloader::OnEngineUpdateFile(const std::string& url, uint32_t low, uint32_t high) {
    if (Listener() != nullptr) {
        Listener()->OnEngineUpdateFile(url.c_str(), low, high);
    }
}

void CEngineDownloader::OnEngineUpdateProgress(const std::string&, uint32_t low, uint32_t high) {
    if (Listener() != nullptr) {
        Listener()->OnEngineUpdateProgress(low, high);
    }
}

void CEngineDownloader::OnEngineReady() {
    ClearNetworkLost();
    Connect();
    if (Listener() != nullptr) {
        Listener()->OnEngineUpdated();
    }
}

void CEngineDownloader::OnEngineFailed() {
    ClearNetworkLost();
    Connect();
    if (Listener() != nullptr) {
        Listener()->OnEngineUpdateFailed();
    }
    GiveUp();
}

void CEngineDownloader::OnNetworkDown() {
    NetworkLost();
}

void CEngineDownloader::OnEngineError(int32_t kind) {
    if (Listener() != nullptr) {
        Listener()->OnPathFailed(kind);
    }
    if (kind == 1) {
        GiveUp();
    }
}

// ---- Engine messages ----

void CEngineDownloader::OnConnected(uintptr_t) {
    if (!EngineIsOurs()) {
        // Someone else's program on the engine port would learn every URL and folder and could
        // forge completions: it hears nothing, and the attempt counts as a failed connection.
        WriteLogLineF("[TessloadLib] Engine port %u is not held by this user", settings_.port);
        if (connection_) {
            vmSmartPtr<vmIQoSContext> context = connection_;
            context->Close();
        }
        return;
    }
    connectTime_ = std::max<uint32_t>(cpGetSeconds(), 1);
    Heard();
    layer_->SendServiceId(ep::ServiceId{ep::FitText(serviceId_, ep::kServiceIdField)});
    const std::vector<CJob*> jobs = Jobs();
    for (CJob* job : jobs) {
        if (Holds(job) && layer_ != nullptr) {
            BeginJob(job);
        }
    }
}

void CEngineDownloader::OnJobAccepted(const ep::JobAccepted& message, uintptr_t) {
    Heard();
    PendingJob* record = FindPending(message.job);
    CJob* job = HeldJob(record);
    if (job == nullptr) {
        return;
    }
    record->engineJob = message.engineJob;
    job->SetEngineNumber(message.engineJob);
    reports_.Accepted(*job, message,
                      settings_.launcher.environment.currentVersion
                          ? settings_.launcher.environment.currentVersion()
                          : std::string());
    ReportSize(job, static_cast<int32_t>(message.fileCount), KnownSize(message.totalBytes));
}

void CEngineDownloader::OnJobProgress(const ep::JobProgress& message, uintptr_t) {
    Heard();
    CJob* job = HeldJob(FindPending(message.job, message.engineJob));
    if (job == nullptr) {
        return;
    }
    reports_.Progress(message);
    StoreProgress(job, BuildEngineProgress(message, *job, &jobSampler_, &fileSampler_));
}

void CEngineDownloader::OnFileCompleted(const ep::FileCompleted& message, uintptr_t) {
    Heard();
    CJob* job = HeldJob(FindPending(message.job, message.engineJob));
    if (job == nullptr) {
        return;
    }
    fileSampler_.Clear();
    ReportFileDone(job, message.path.c_str(), nullptr, message.url.c_str());
}

void CEngineDownloader::OnFileCompletedAt(const ep::FileCompletedAt& message, uintptr_t) {
    Heard();
    CJob* job = HeldJob(FindPending(message.job, message.engineJob));
    if (job == nullptr) {
        return;
    }
    fileSampler_.Clear();
    ReportFileDone(job, message.path.c_str(), message.reportPath.c_str(), message.url.c_str());
}

void CEngineDownloader::OnJobFinished(const ep::JobFinished& message, uintptr_t) {
    Heard();
    PendingJob* record = FindPending(message.job, message.engineJob);
    if (record == nullptr) {
        const PendingJob* unaccepted = FindPending(message.job, kUnknownEngineJob);
        if (unaccepted != nullptr && connection_) {
            // An end without the acceptance that names it: the job would wait for ever. The
            // connection goes (a restart), and the job is sent again to the next one.
            WriteLogLineF("[TessloadLib] Engine ended job %u it never accepted", message.job);
            vmSmartPtr<vmIQoSContext> context = connection_;
            context->Close();
        }
        return;
    }
    CJob* job = HeldJob(record);
    RemovePending(record);
    reports_.Ended(message.job,
                   message.giveUp != 0 ? vmJobReport::kMoved : vmJobReport::kCompleted);
    if (job == nullptr) {
        return;
    }
    if (message.giveUp != 0) {
        MoveToDirect(job);
        return;
    }
    ReportCompletion(job, static_cast<int32_t>(message.result), 0);
}

void CEngineDownloader::OnJobDiskStatus(const ep::JobDiskStatus& message, uintptr_t) {
    Heard();
    CJob* job = HeldJob(FindPending(message.job, message.engineJob));
    if (job != nullptr && message.status == 1) {
        ReportEvent(job, JOB_EVENT_DISK_FULL, nullptr);
    }
}

void CEngineDownloader::OnNetworkPoor(uintptr_t) {
    Heard();
    if (!pending_.empty()) {
        ReportEvent(pending_.front().jobObject, JOB_EVENT_NETWORK_POOR, nullptr);
    }
}

void CEngineDownloader::OnNetworkBack(uintptr_t) {
    Heard();
    if (!pending_.empty()) {
        ReportEvent(pending_.front().jobObject, JOB_EVENT_NETWORK_BACK, nullptr);
    }
}

void CEngineDownloader::OnJobFailed(const ep::JobFailed& message, uintptr_t) {
    Heard();
    PendingJob* record = FindPending(message.job);
    if (record == nullptr) {
        return;
    }
    CJob* job = HeldJob(record);
    RemovePending(record);
    reports_.Ended(message.job, vmJobReport::kFailed, message.message);
    if (job != nullptr) {
        ReportEventAndDrop(job, JOB_EVENT_FAILED, message.message.c_str());
    }
}

void CEngineDownloader::OnResumeQuery(uint32_t jobNumber, uintptr_t) {
    Heard();
    if (CJob* job = HeldJob(FindPending(jobNumber))) {
        AskResume(job);
    }
}

void CEngineDownloader::OnEngineState(uint32_t value, uintptr_t) {
    Heard();
    if (Listener() != nullptr) {
        Listener()->OnEngineStateChanged(value);
    }
}

void CEngineDownloader::OnConnectTimeout(uintptr_t) {
    // The context closes on its own; OnClosed follows.
}

void CEngineDownloader::OnClosed(uintptr_t) {
    ConnectionClosed();
}
