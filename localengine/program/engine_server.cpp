#include "program/engine_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <variant>

#include "socket_owner.h"
#include "transfer/job_check.h"
#include "transfer/stranded_parts.h"

namespace tev::localengine {

namespace ep = engine_protocol;

namespace {

// A library that stops reading gets its connection closed rather than growing this without end.
constexpr size_t kMaxPendingOutput = 64 << 20;
// Completion reports and progress wait while this much is queued: a job of many files reports
// as fast as the library reads, and one that does not read costs no more than this.
constexpr size_t kReportRoom = 256 << 10;
// Reports sent in one turn of the loop, so that the library's messages (a state request) are
// read and answered between them even while the library keeps up with them.
constexpr uint32_t kReportsPerTurn = 256;

}  // namespace

struct EngineServer::Connection {
    int id = 0;
    int fd = -1;
    std::string in;
    std::string out;
    bool dead = false;  // failed; closed from the loop, never from inside a report
    std::string serviceId;
    std::optional<uint8_t> nextMode;  // type 0 applies to the next list
    std::string nextCode;             // type 1 labels the next list
    std::set<uint32_t> engineOption;  // library jobs with type 17
    std::optional<PartialList> partial;
    std::optional<uint32_t> refusedList;  // a list in parts refused before its end
    std::map<uint32_t, uint32_t> jobs;    // library job → engine-side number
};

struct EngineServer::Job {
    uint32_t engineNumber = 0;
    int connection = 0;
    uint32_t libraryJob = 0;
    std::string serviceId;
    std::vector<FileOrder> files;
    bool accepted = false;         // type 4 went out
    bool finished = false;         // the transfers are done: type 6 follows the last type 7
    bool questionWaiting = false;  // a resume question held back until type 4 is out
    std::vector<bool> done;
    uint32_t nextReport = 0;  // files up to here were reported with type 7, in order
    int64_t startedMs = 0;
    EventLoop::TimerId progressTimer = 0;
    EventLoop::TimerId reportTurn = 0;  // more reports due at the loop's next turn
};

EngineServer::EngineServer(EventLoop& loop, EngineOptions options, EngineLog& log)
    : loop_(loop), options_(std::move(options)), log_(log) {
    transfers_ = std::make_unique<Transfers>(loop_, options_.transfers, *this);
    idleSinceMs_ = EventLoop::NowMs();
    idleTimer_ = loop_.AddTimer(1000, [this] { IdleCheck(); });
}

EngineServer::~EngineServer() {
    loop_.CancelTimer(idleTimer_);
    for (auto& [number, job] : jobs_) {
        loop_.CancelTimer(job->progressTimer);
        loop_.CancelTimer(job->reportTurn);
    }
    // Connections first: closing one stops its jobs through the transfers, keeping their data.
    while (!connections_.empty()) {
        Close(connections_.begin()->first, "the engine stops");
    }
    transfers_.reset();
    if (listenFd_ >= 0) {
        loop_.Unwatch(listenFd_);
        close(listenFd_);
    }
}

EngineServer::ListenResult EngineServer::Listen() {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || !transfers_->Ok()) {
        return ListenResult::Failed;
    }
    const int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(options_.port);
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const bool taken = errno == EADDRINUSE;
        log_.Line(std::string("cannot listen on 127.0.0.1:") + std::to_string(options_.port) +
                  ": " + std::strerror(errno));
        close(listenFd_);
        listenFd_ = -1;
        return taken ? ListenResult::PortTaken : ListenResult::Failed;
    }
    socklen_t length = sizeof address;
    if (listen(listenFd_, 64) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return ListenResult::Failed;
    }
    port_ = ntohs(address.sin_port);
    loop_.Watch(listenFd_, EPOLLIN, [this](uint32_t) { OnAccept(); });
    log_.Line("listening on 127.0.0.1:" + std::to_string(port_));
    return ListenResult::Listening;
}

// ---- connections ----

void EngineServer::OnAccept() {
    while (true) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        const uint16_t peerPort = ntohs(peer.sin_port);
        if (options_.checkPeerUser && !PeerIsOurUser(peer)) {
            close(fd);
            continue;
        }
        if (connections_.size() >= options_.maxConnections) {
            log_.Line("refused a connection: too many connections");
            close(fd);
            continue;
        }
        const int id = Adopt(fd);
        log_.Line("connection " + std::to_string(id) + " from port " + std::to_string(peerPort));
    }
}

// Only a program of the engine's own user may give it jobs: a job names a folder to write in. The
// engine listens on 127.0.0.1 alone, so any other peer address is refused outright; the owner is
// read from the peer's own end of this very connection (the whole 4-tuple, ESTABLISHED).
bool EngineServer::PeerIsOurUser(const sockaddr_in& peer) {
    const uint16_t peerPort = ntohs(peer.sin_port);
    if (peer.sin_family != AF_INET || peer.sin_addr.s_addr != htonl(INADDR_LOOPBACK)) {
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        log_.Line(std::string("refused a connection from ") + text + ":" +
                  std::to_string(peerPort) + ": not 127.0.0.1");
        return false;
    }
    const std::optional<uid_t> owner = cpConnectionOwner(
        cpTcpEnd::FromSockaddr(peer), cpTcpEnd::FromIPv4(htonl(INADDR_LOOPBACK), port_));
    if (!owner || *owner != options_.ownUser) {
        log_.Line("refused a connection from port " + std::to_string(peerPort) + ": user " +
                  (owner ? std::to_string(*owner) : std::string("unknown")) +
                  " is not the engine's user");
        return false;
    }
    return true;
}

int EngineServer::Adopt(int fd) {
    auto connection = std::make_unique<Connection>();
    connection->id = nextConnection_++;
    connection->fd = fd;
    const int id = connection->id;
    connections_[id] = std::move(connection);
    loop_.Watch(fd, EPOLLIN, [this, id](uint32_t events) {
        if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
            OnReadable(id);
        }
        if ((events & EPOLLOUT) && connections_.contains(id)) {
            OnWritable(id);
        }
    });
    return id;
}

void EngineServer::OnReadable(int id) {
    auto found = connections_.find(id);
    if (found == connections_.end()) {
        return;
    }
    char buffer[64 * 1024];
    while (true) {
        const ssize_t n = recv(found->second->fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            Feed(id, reinterpret_cast<const uint8_t*>(buffer), static_cast<size_t>(n));
            found = connections_.find(id);
            if (found == connections_.end()) {
                return;
            }
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        Close(id, n == 0 ? "closed by the library"
                         : std::string("receive failed: ") + std::strerror(errno));
        return;
    }
}

void EngineServer::Feed(int id, const uint8_t* data, size_t length) {
    auto found = connections_.find(id);
    if (found == connections_.end()) {
        return;
    }
    Connection& connection = *found->second;
    connection.in.append(reinterpret_cast<const char*>(data), length);
    size_t used = 0;
    while (true) {
        ep::FrameHeader header;
        const uint8_t* payload = nullptr;
        const int64_t taken =
            ep::NextFrame(reinterpret_cast<const uint8_t*>(connection.in.data()) + used,
                          connection.in.size() - used, &header, &payload);
        if (taken == 0) {
            break;
        }
        if (taken < 0) {
            Close(id, "a frame above the size limit");
            return;
        }
        used += static_cast<size_t>(taken);
        ep::LibraryMessage message;
        if (!ep::DecodeLibraryMessage(header.category, header.type, payload, header.length,
                                      &message)) {
            Close(id, "a malformed message (category " + std::to_string(header.category) +
                          ", type " + std::to_string(header.type) + ")");
            return;
        }
        Handle(connection, message);
        if (!connections_.contains(id)) {
            return;
        }
    }
    connection.in.erase(0, used);
}

void EngineServer::OnWritable(int id) {
    Flush(id);
    ResumeReports(id);
}

void EngineServer::ResumeReports(int id) {
    auto found = connections_.find(id);
    if (found == connections_.end() || found->second->dead ||
        found->second->out.size() >= kReportRoom) {
        return;
    }
    std::vector<uint32_t> numbers;
    for (const auto& [libraryJob, engineNumber] : found->second->jobs) {
        numbers.push_back(engineNumber);
    }
    for (const uint32_t number : numbers) {
        auto job = jobs_.find(number);
        if (job == jobs_.end()) {
            continue;
        }
        if (job->second->finished) {
            FinishIfReported(number);
        } else {
            ReportDoneFiles(*job->second);
        }
    }
}

void EngineServer::Flush(int id) {
    auto found = connections_.find(id);
    if (found == connections_.end()) {
        return;
    }
    Connection& connection = *found->second;
    while (!connection.out.empty()) {
        const ssize_t n =
            send(connection.fd, connection.out.data(), connection.out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            connection.out.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            break;
        }
        CloseLater(id, std::string("send failed: ") + std::strerror(errno));
        return;
    }
    loop_.Watch(connection.fd, connection.out.empty() ? EPOLLIN : EPOLLIN | EPOLLOUT,
                [this, id](uint32_t events) {
                    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                        OnReadable(id);
                    }
                    if ((events & EPOLLOUT) && connections_.contains(id)) {
                        OnWritable(id);
                    }
                });
}

template <typename Record>
void EngineServer::Send(int id, const Record& record) {
    auto found = connections_.find(id);
    if (found == connections_.end()) {
        return;
    }
    ep::Bytes frame;
    if (!ep::EncodeFrame(record, &frame)) {
        log_.Line("a message of type " + std::to_string(Record::kType) + " did not fit its fields");
        return;
    }
    Connection& connection = *found->second;
    if (connection.dead) {
        return;
    }
    if (connection.out.size() + frame.size() > kMaxPendingOutput) {
        CloseLater(id, "the library does not read its messages");
        return;
    }
    const bool idle = connection.out.empty();
    connection.out.append(reinterpret_cast<const char*>(frame.data()), frame.size());
    if (idle) {
        Flush(id);
    }
}

void EngineServer::CloseLater(int id, const std::string& why) {
    auto found = connections_.find(id);
    if (found == connections_.end() || found->second->dead) {
        return;
    }
    found->second->dead = true;
    loop_.AddTimer(0, [this, id, why] { Close(id, why); });
}

void EngineServer::Close(int id, const std::string& why) {
    auto found = connections_.find(id);
    if (found == connections_.end()) {
        return;
    }
    std::unique_ptr<Connection> connection = std::move(found->second);
    connections_.erase(found);
    log_.Line("connection " + std::to_string(id) + " closed: " + why);
    // Its jobs stop and keep their data; the library sends them anew when it reconnects.
    for (const auto& [libraryJob, engineNumber] : connection->jobs) {
        transfers_->StopJob(engineNumber, StopMode::KeepParts);
        auto job = jobs_.find(engineNumber);
        if (job != jobs_.end()) {
            loop_.CancelTimer(job->second->progressTimer);
            loop_.CancelTimer(job->second->reportTurn);
            jobs_.erase(job);
        }
    }
    loop_.Unwatch(connection->fd);
    close(connection->fd);
    CheckState();
}

// ---- the library's messages ----

void EngineServer::Handle(Connection& connection, ep::LibraryMessage& message) {
    const int id = connection.id;
    if (const auto* m = std::get_if<ep::ServiceId>(&message)) {
        connection.serviceId = m->text;
    } else if (const auto* m = std::get_if<ep::JobCode>(&message)) {
        connection.nextCode = m->code;
    } else if (const auto* m = std::get_if<ep::JobMode>(&message)) {
        connection.nextMode = m->mode;
    } else if (const auto* m = std::get_if<ep::EngineOption>(&message)) {
        auto job = connection.jobs.find(m->job);
        if (job != connection.jobs.end()) {
            // After the list: the job's remaining pieces use every alternative from now on.
            transfers_->AllowMirrorsAtOnce(job->second);
        } else if (connection.engineOption.size() < ep::kMaxFrameLength) {
            connection.engineOption.insert(m->job);
        }
    } else if (auto* m = std::get_if<ep::FileList>(&message)) {
        BeginJob(connection, m->job, m->serviceId, std::move(m->files), false);
    } else if (const auto* m = std::get_if<ep::FileListBegin>(&message)) {
        connection.refusedList.reset();
        connection.partial.reset();
        std::optional<std::string> refusal = CheckNewList(connection, m->job);
        if (!refusal && m->fileCount > kMaxFilesPerJob) {
            refusal = "the file list has " + std::to_string(m->fileCount) + " files, more than " +
                      std::to_string(kMaxFilesPerJob);
        }
        if (refusal) {
            // Its entries are dropped as they come, unread beyond their frame.
            connection.refusedList = m->job;
            RefuseList(connection, m->job, *refusal);
            return;
        }
        connection.partial = PartialList{m->job, m->fileCount, m->serviceId, {}, 0};
    } else if (auto* m = std::get_if<ep::FileListEntry>(&message)) {
        if (!connection.partial && connection.refusedList == m->job) {
            return;  // the rest of a list already refused: one answer is enough
        }
        PartialList* partial = connection.partial ? &*connection.partial : nullptr;
        if (partial == nullptr || m->job != partial->job || m->index != partial->files.size() ||
            partial->files.size() >= partial->count) {
            const uint32_t job = partial != nullptr ? partial->job : m->job;
            connection.partial.reset();
            connection.refusedList = job;
            RefuseList(connection, job,
                       "broken file list: entry " + std::to_string(m->index) + " out of order");
            return;
        }
        // Checked as it arrives: a hostile list costs one entry, not the whole list.
        if (std::optional<std::string> refusal =
                CheckEntry(m->index, m->file, &partial->urlBytes)) {
            const uint32_t job = partial->job;
            connection.partial.reset();
            connection.refusedList = job;
            RefuseList(connection, job, *refusal);
            return;
        }
        partial->files.push_back(std::move(m->file));
    } else if (const auto* m = std::get_if<ep::FileListEnd>(&message)) {
        if (!connection.partial && connection.refusedList == m->job) {
            connection.refusedList.reset();
            return;
        }
        if (!connection.partial || connection.partial->job != m->job ||
            connection.partial->files.size() != connection.partial->count) {
            connection.partial.reset();
            RefuseList(connection, m->job, "broken file list: it ended before all its entries");
            return;
        }
        PartialList list = std::move(*connection.partial);
        connection.partial.reset();
        BeginJob(connection, list.job, list.serviceId, std::move(list.files), true);
    } else if (const auto* m = std::get_if<ep::StopJob>(&message)) {
        auto job = connection.jobs.find(m->job);
        if (job != connection.jobs.end()) {
            log_.Line("job " + std::to_string(job->second) + " stopped by the library");
            transfers_->StopJob(job->second, StopMode::KeepParts);
            EndJob(job->second);
        }
    } else if (const auto* m = std::get_if<ep::ResumeReply>(&message)) {
        auto job = connection.jobs.find(m->job);
        if (job != connection.jobs.end()) {
            transfers_->AnswerResume(job->second, m->resume != 0, m->applyToAll != 0);
        }
    } else if (const auto* m = std::get_if<ep::JobFlag>(&message)) {
        auto job = connection.jobs.find(m->job);
        if (job != connection.jobs.end() && m->value <= 1) {
            transfers_->SetPaused(job->second, m->value == 1);
        }
    } else if (std::holds_alternative<ep::StateRequest>(message)) {
        Send(id, ep::EngineState{StateValue()});
    }
    CheckState();
}

uint32_t EngineServer::NextEngineNumber() {
    do {
        ++lastEngineNumber_;
    } while (lastEngineNumber_ == 0 || lastEngineNumber_ == UINT32_MAX);
    return lastEngineNumber_;
}

void EngineServer::RefuseList(Connection& connection, uint32_t libraryJob, const std::string& why) {
    log_.Line("list of library job " + std::to_string(libraryJob) + " on connection " +
              std::to_string(connection.id) + " refused: " + why);
    if (connection.jobs.contains(libraryJob)) {
        return;  // a second list for a job that runs: the job goes on, the list is dropped
    }
    // Nothing was written. The direct downloader would write where the list says, so the job
    // fails here with the reason instead of being handed to it.
    Send(connection.id, ep::JobFailed{libraryJob, NextEngineNumber(), why});
}

std::optional<std::string> EngineServer::CheckEntry(uint32_t index, const ep::FileRecord& record,
                                                    uint64_t* urlBytes) const {
    if (record.url.size() > ep::kMaxUrlLength) {
        return "refused URL of file " + std::to_string(index) + ": " +
               std::to_string(record.url.size()) + " bytes, more than " +
               std::to_string(ep::kMaxUrlLength) + " with its alternatives";
    }
    *urlBytes += record.url.size();
    if (*urlBytes > ep::kMaxListUrlBytes) {
        return "refused file list: its URLs pass " + std::to_string(ep::kMaxListUrlBytes) +
               " bytes at file " + std::to_string(index);
    }
    // The checks of a whole list that concern this entry alone; targets named twice are found
    // once the list is complete.
    if (std::optional<std::string> refusal =
            CheckFileList({FileOrder{record.folder, record.name, record.url, -1}})) {
        return refusal;
    }
    if (!options_.onlyUnder.empty() &&
        NormalizeFolder(record.folder).rfind(options_.onlyUnder, 0) != 0) {
        return "refused folder \"" + record.folder + "\"";
    }
    return std::nullopt;
}

std::optional<std::string> EngineServer::CheckNewList(Connection& connection, uint32_t libraryJob) {
    auto running = connection.jobs.find(libraryJob);
    if (running != connection.jobs.end()) {
        return "job " + std::to_string(running->second) + " runs it already";
    }
    if (connection.jobs.size() >= ep::kMaxJobsPerConnection) {
        return "refused file list: " + std::to_string(connection.jobs.size()) +
               " jobs run on this connection already";
    }
    return std::nullopt;
}

void EngineServer::BeginJob(Connection& connection, uint32_t libraryJob,
                            const std::string& serviceId, std::vector<ep::FileRecord> records,
                            bool entriesChecked) {
    const uint8_t mode = connection.nextMode.value_or(1);
    connection.nextMode.reset();
    const std::string code = std::move(connection.nextCode);
    connection.nextCode.clear();
    if (std::optional<std::string> refusal = CheckNewList(connection, libraryJob)) {
        RefuseList(connection, libraryJob, *refusal);
        return;
    }
    if (!entriesChecked) {
        uint64_t urlBytes = 0;
        for (uint32_t i = 0; i < records.size(); ++i) {
            if (std::optional<std::string> refusal = CheckEntry(i, records[i], &urlBytes)) {
                RefuseList(connection, libraryJob, *refusal);
                return;
            }
        }
    }
    std::vector<FileOrder> files;
    files.reserve(records.size());
    for (ep::FileRecord& record : records) {
        const int64_t size =
            record.size > static_cast<uint64_t>(INT64_MAX) ? -1 : static_cast<int64_t>(record.size);
        files.push_back(
            {std::move(record.folder), std::move(record.name), std::move(record.url), size});
    }
    records = {};
    const uint32_t number = NextEngineNumber();
    auto job = std::make_unique<Job>();
    job->engineNumber = number;
    job->connection = connection.id;
    job->libraryJob = libraryJob;
    job->serviceId = serviceId.empty() ? connection.serviceId : serviceId;
    job->files = std::move(files);
    job->done.assign(job->files.size(), false);
    job->startedMs = EventLoop::NowMs();
    const bool mirrors = connection.engineOption.erase(libraryJob) > 0;
    Job& started = *job;
    // Registered before the transfers start: their reports may name it at once.
    jobs_[number] = std::move(job);
    connection.jobs[libraryJob] = number;
    if (std::optional<std::string> refusal =
            transfers_->StartJob(number, started.files, mode != 2, mirrors)) {
        jobs_.erase(number);
        connection.jobs.erase(libraryJob);
        RefuseList(connection, libraryJob, *refusal);
        return;
    }
    log_.Line("job " + std::to_string(number) + " (library job " + std::to_string(libraryJob) +
              (code.empty() ? std::string() : ", code " + code) + "): " +
              std::to_string(started.files.size()) + " files, mode " + std::to_string(mode));
    SweepStrandedParts(started.files);
}

void EngineServer::SweepStrandedParts(const std::vector<FileOrder>& files) {
    // Every running job's files stay, whatever their age: those jobs resume them. The names are
    // gathered by folder once, so that a job of many folders costs O(N log N), not folders × N.
    std::map<std::string, std::set<std::string>> keep;
    for (const auto& [number, job] : jobs_) {
        for (auto& [folder, names] : NamesByFolder(job->files)) {
            keep[folder].merge(names);
        }
    }
    std::set<std::string> folders;
    for (const FileOrder& file : files) {
        folders.insert(NormalizeFolder(file.folder));
    }
    const time_t before = time(nullptr) - kStrandedSeconds;
    for (const std::string& folder : folders) {
        for (const std::string& name : RemoveStrandedParts(folder, keep[folder], before)) {
            log_.Line("removed " + JoinPath(folder, name) + ": left by a run that never resumed");
        }
    }
}

void EngineServer::EndJob(uint32_t engineNumber) {
    auto found = jobs_.find(engineNumber);
    if (found == jobs_.end()) {
        return;
    }
    loop_.CancelTimer(found->second->progressTimer);
    loop_.CancelTimer(found->second->reportTurn);
    auto connection = connections_.find(found->second->connection);
    if (connection != connections_.end()) {
        connection->second->jobs.erase(found->second->libraryJob);
    }
    jobs_.erase(found);
    CheckState();
}

// ---- reports of the transfers ----

void EngineServer::OnSizesKnown(uint32_t engineNumber, uint64_t total) {
    auto found = jobs_.find(engineNumber);
    if (found == jobs_.end()) {
        return;
    }
    Job& job = *found->second;
    job.accepted = true;
    Send(job.connection, ep::JobAccepted{job.libraryJob, engineNumber,
                                         static_cast<uint32_t>(job.files.size()), total});
    if (job.questionWaiting) {
        job.questionWaiting = false;
        Send(job.connection, ep::ResumeQuery{job.libraryJob});
    }
    ReportDoneFiles(job);
    job.progressTimer = loop_.AddTimer(1000, [this, engineNumber] {
        auto again = jobs_.find(engineNumber);
        if (again != jobs_.end()) {
            SendProgress(*again->second);
        }
    });
    CheckState();
}

void EngineServer::OnResumeQuestion(uint32_t engineNumber, uint32_t) {
    auto found = jobs_.find(engineNumber);
    if (found == jobs_.end()) {
        return;
    }
    Job& job = *found->second;
    if (job.accepted) {
        Send(job.connection, ep::ResumeQuery{job.libraryJob});
    } else {
        job.questionWaiting = true;
    }
    CheckState();
}

void EngineServer::OnFileDone(uint32_t engineNumber, uint32_t index) {
    auto found = jobs_.find(engineNumber);
    if (found == jobs_.end() || index >= found->second->done.size()) {
        return;
    }
    found->second->done[index] = true;
    ReportDoneFiles(*found->second);
}

bool EngineServer::ReportDoneFiles(Job& job) {
    if (!job.accepted) {
        return false;
    }
    auto connection = connections_.find(job.connection);
    // In index order, so that the count of reported files is the first incomplete one. Only as
    // many as the connection has room for: the rest follow as the library reads (a job of tens of
    // thousands of complete files would otherwise queue them all at once).
    uint32_t sent = 0;
    while (job.nextReport < job.done.size() && job.done[job.nextReport]) {
        if (connection == connections_.end() || connection->second->dead ||
            connection->second->out.size() >= kReportRoom) {
            return false;
        }
        if (++sent > kReportsPerTurn) {
            if (job.reportTurn == 0) {
                const uint32_t number = job.engineNumber;
                job.reportTurn = loop_.AddTimer(0, [this, number] {
                    auto found = jobs_.find(number);
                    if (found == jobs_.end()) {
                        return;
                    }
                    found->second->reportTurn = 0;
                    if (found->second->finished) {
                        FinishIfReported(number);
                    } else {
                        ReportDoneFiles(*found->second);
                    }
                });
            }
            return false;
        }
        const FileOrder& file = job.files[job.nextReport];
        Send(job.connection, ep::FileCompleted{job.libraryJob, job.engineNumber,
                                               ep::FitText(job.serviceId, ep::kListServiceIdField),
                                               JoinPath(file.folder, file.name), file.url});
        ++job.nextReport;
    }
    return true;
}

void EngineServer::SendProgress(Job& job) {
    const uint32_t engineNumber = job.engineNumber;
    job.progressTimer = loop_.AddTimer(1000, [this, engineNumber] {
        auto found = jobs_.find(engineNumber);
        if (found != jobs_.end()) {
            SendProgress(*found->second);
        }
    });
    auto connection = connections_.find(job.connection);
    if (connection != connections_.end() && connection->second->out.size() >= kReportRoom) {
        return;  // the library has not read the last one yet: a later one will do
    }
    const std::optional<JobProgress> progress = transfers_->Progress(engineNumber);
    if (!progress) {
        return;
    }
    ep::JobProgress message;
    message.job = job.libraryJob;
    message.engineJob = engineNumber;
    message.fileCount = progress->files;
    message.filesCompleted = job.nextReport;
    message.totalBytes = progress->total;
    message.bytesPresent = progress->present;
    message.speed = static_cast<uint32_t>(std::min<uint64_t>(progress->bytesPerSecond, UINT32_MAX));
    message.elapsedSeconds = static_cast<uint64_t>((EventLoop::NowMs() - job.startedMs) / 1000);
    const auto entryOf = [&job](uint32_t index, const FileProgress* state) {
        const FileOrder& file = job.files[index];
        ep::ProgressEntry entry;
        entry.name = ep::FitText(file.name, ep::kEntryNameField);
        entry.path = JoinPath(file.folder, file.name);
        if (state != nullptr) {
            entry.size = state->size;
            entry.present = state->present;
            entry.speed =
                static_cast<uint32_t>(std::min<uint64_t>(state->bytesPerSecond, UINT32_MAX));
        } else {
            // Complete, its report still on its way.
            entry.size = file.size >= 0 ? static_cast<uint64_t>(file.size) : 0;
            entry.present = entry.size;
        }
        return entry;
    };
    if (!job.files.empty()) {
        // First the file the library names as current (the first not reported complete), then
        // every other file being transferred.
        const uint32_t first = std::min<uint32_t>(job.nextReport, progress->files - 1);
        message.entries.push_back(entryOf(
            first, first == progress->firstIncomplete ? &progress->firstIncompleteFile : nullptr));
        for (const FileProgress& running : progress->running) {
            if (running.index != first && running.index < job.files.size()) {
                message.entries.push_back(entryOf(running.index, &running));
            }
        }
    }
    Send(job.connection, message);
}

void EngineServer::OnJobDone(uint32_t engineNumber) {
    auto found = jobs_.find(engineNumber);
    if (found == jobs_.end()) {
        return;
    }
    Job& job = *found->second;
    std::fill(job.done.begin(), job.done.end(), true);
    job.finished = true;
    loop_.CancelTimer(job.progressTimer);
    job.progressTimer = 0;
    log_.Line("job " + std::to_string(engineNumber) + " complete");
    FinishIfReported(engineNumber);
}

void EngineServer::FinishIfReported(uint32_t engineNumber) {
    auto found = jobs_.find(engineNumber);
    if (found == jobs_.end() || !found->second->finished) {
        return;
    }
    Job& job = *found->second;
    if (!ReportDoneFiles(job)) {
        return;  // the socket's drain sends the rest, then this
    }
    SendProgress(job);
    loop_.CancelTimer(job.progressTimer);
    job.progressTimer = 0;
    Send(job.connection, ep::JobFinished{job.libraryJob, engineNumber, job.nextReport, 0});
    EndJob(engineNumber);
}

void EngineServer::OnFileFailed(uint32_t engineNumber, uint32_t index, FailureKind,
                                const std::string& reason) {
    auto found = jobs_.find(engineNumber);
    if (found == jobs_.end()) {
        return;
    }
    Job& job = *found->second;
    log_.Line("job " + std::to_string(engineNumber) + " file " + std::to_string(index) + ": " +
              reason);
    // For good: every alternative and retry was used, or the answer rules a retry out (a status,
    // a size that differs from the list's, a file that cannot be written). The direct downloader
    // would meet the same server, so the job fails here, once, with the URL and the reason; no
    // type 6 follows (the library has let the job go on type 11).
    Send(job.connection, ep::JobFailed{job.libraryJob, engineNumber, reason});
    EndJob(engineNumber);
}

void EngineServer::OnDiskFull(uint32_t engineNumber, bool full) {
    auto found = jobs_.find(engineNumber);
    if (found == jobs_.end()) {
        return;
    }
    Job& job = *found->second;
    const std::string folder = job.files.empty() ? std::string() : job.files.front().folder;
    log_.Line("job " + std::to_string(engineNumber) +
              (full ? ": the disk is full" : ": room again"));
    Send(job.connection, ep::JobDiskStatus{job.libraryJob, engineNumber,
                                           static_cast<uint8_t>(full ? 1 : 0), folder});
    CheckState();
}

void EngineServer::OnNetworkTrouble(bool poor) {
    log_.Line(poor ? "network: no data for a while" : "network: data flows again");
    std::vector<int> ids;
    for (const auto& [id, connection] : connections_) {
        ids.push_back(id);
    }
    for (const int id : ids) {
        if (poor) {
            Send(id, ep::NetworkPoor{});
        } else {
            Send(id, ep::NetworkBack{});
        }
    }
}

// ---- state, idling, stopping ----

uint32_t EngineServer::StateValue() const {
    if (jobs_.empty()) {
        return 0;
    }
    for (const auto& [number, job] : jobs_) {
        if (!job->questionWaiting && !transfers_->JobIsWaiting(number)) {
            return 1;
        }
    }
    return 2;
}

void EngineServer::CheckState() {
    const uint32_t state = StateValue();
    if (state == lastState_) {
        return;
    }
    lastState_ = state;
    std::vector<int> ids;
    for (const auto& [id, connection] : connections_) {
        ids.push_back(id);
    }
    for (const int id : ids) {
        Send(id, ep::EngineState{state});
    }
}

void EngineServer::IdleCheck() {
    idleTimer_ = loop_.AddTimer(1000, [this] { IdleCheck(); });
    CheckState();
    const int64_t now = EventLoop::NowMs();
    if (!jobs_.empty() || !connections_.empty() || (options_.busy && options_.busy())) {
        idleSinceMs_ = now;
    }
    if (jobs_.empty() && options_.programReplaced && options_.programReplaced()) {
        log_.Line("the program file was replaced: exiting");
        exited_ = true;
        loop_.Stop();
        return;
    }
    if (now - idleSinceMs_ >= static_cast<int64_t>(options_.idleSeconds) * 1000) {
        log_.Line("idle for " + std::to_string(options_.idleSeconds) + " seconds: exiting");
        exited_ = true;
        loop_.Stop();
    }
}

void EngineServer::Shutdown() {
    log_.Line("stopping: jobs are handed to the direct downloader");
    std::vector<uint32_t> numbers;
    for (const auto& [number, job] : jobs_) {
        numbers.push_back(number);
    }
    for (const uint32_t number : numbers) {
        Job& job = *jobs_.at(number);
        transfers_->StopJob(number, StopMode::LeavePrefixes);
        Send(job.connection, ep::JobFinished{job.libraryJob, number, job.nextReport, 1});
        EndJob(number);
    }
    // What is still queued gets one last chance to go out.
    for (auto& [id, connection] : connections_) {
        if (!connection->out.empty()) {
            const int flags = fcntl(connection->fd, F_GETFL);
            fcntl(connection->fd, F_SETFL, flags & ~O_NONBLOCK);
            timeval limit{1, 0};
            setsockopt(connection->fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            [[maybe_unused]] ssize_t ignored =
                send(connection->fd, connection->out.data(), connection->out.size(), MSG_NOSIGNAL);
            connection->out.clear();
        }
    }
    exited_ = true;
    loop_.Stop();
}

}  // namespace tev::localengine
