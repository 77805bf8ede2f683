// EngineServer: the engine's side of the local engine protocol. It accepts the library's
// connections on 127.0.0.1 (its own user's only), decodes their messages with the shared codec,
// runs each job's files through Transfers and reports back in the order the library relies on:
// type 4 first, then 16, 5 and 7 (in index order), and 6 or 11 last. Everything runs on the one
// EventLoop shared with the transfers.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/engine_protocol.h"
#include "program/engine_log.h"
#include "transfer/event_loop.h"
#include "transfer/transfers.h"

namespace tev::localengine {

struct EngineOptions {
    uint16_t port = engine_protocol::kDefaultPort;  // 0: any free port (tests)
    int idleSeconds = 600;  // no connection and no job this long: the engine exits
    bool checkPeerUser = true;
    uid_t ownUser = 0;
    // True once the program file on disk is no longer the one running (an update replaced it):
    // the engine exits as soon as it has no job.
    std::function<bool()> programReplaced;
    // When set, only folders below it are accepted (fuzzing and tests keep the engine inside
    // their own folder); empty: any absolute folder.
    std::string onlyUnder;
    size_t maxConnections = 64;
    TransferSettings transfers;
    // True while the engine has work of its own without a job (sharing finished files with
    // peers): the idle exit waits for it.
    std::function<bool()> busy;
};

class EngineServer : public TransferListener {
  public:
    EngineServer(EventLoop& loop, EngineOptions options, EngineLog& log);
    ~EngineServer() override;
    EngineServer(const EngineServer&) = delete;
    EngineServer& operator=(const EngineServer&) = delete;

    enum class ListenResult { Listening, PortTaken, Failed };
    ListenResult Listen();
    uint16_t Port() const { return port_; }
    Transfers& GetTransfers() { return *transfers_; }

    // Takes a connected socket as if it had been accepted (tests, fuzzing); returns its id.
    int Adopt(int fd);
    // Handles bytes as if they had arrived on connection id.
    void Feed(int id, const uint8_t* data, size_t length);

    // SIGTERM: every job stops, leaves its files' prefixes under their final names for the
    // direct downloader and is given up to the library; then the loop stops.
    void Shutdown();
    bool Exited() const { return exited_; }

    // TransferListener
    void OnSizesKnown(uint32_t job, uint64_t total) override;
    void OnResumeQuestion(uint32_t job, uint32_t file) override;
    void OnFileDone(uint32_t job, uint32_t file) override;
    void OnFileFailed(uint32_t job, uint32_t file, FailureKind kind,
                      const std::string& reason) override;
    void OnJobDone(uint32_t job) override;
    void OnDiskFull(uint32_t job, bool full) override;
    void OnNetworkTrouble(bool poor) override;

  private:
    struct Connection;
    struct Job;
    struct PartialList {
        uint32_t job = 0;
        uint32_t count = 0;
        std::string serviceId;
        std::vector<engine_protocol::FileRecord> files;
        uint64_t urlBytes = 0;  // of the entries so far, against the list's budget
    };

    void OnAccept();
    bool PeerIsOurUser(const sockaddr_in& peer);
    void OnReadable(int id);
    void OnWritable(int id);
    // Sends what is queued as far as the socket takes it, and watches for room when some is left.
    void Flush(int id);
    // The socket drained: the reports held back for room go on.
    void ResumeReports(int id);
    void Close(int id, const std::string& why);
    void CloseLater(int id, const std::string& why);
    void Handle(Connection& connection, engine_protocol::LibraryMessage& message);
    // One entry of a list, checked as it arrives: nullopt when acceptable, else the reason.
    // *urlBytes adds up the list's URLs.
    std::optional<std::string> CheckEntry(uint32_t index, const engine_protocol::FileRecord& record,
                                          uint64_t* urlBytes) const;
    // A list the connection may not start now (too many jobs, or its job runs): the reason.
    std::optional<std::string> CheckNewList(Connection& connection, uint32_t libraryJob);
    void BeginJob(Connection& connection, uint32_t libraryJob, const std::string& serviceId,
                  std::vector<engine_protocol::FileRecord> files, bool entriesChecked);
    void RefuseList(Connection& connection, uint32_t libraryJob, const std::string& why);
    void SweepStrandedParts(const std::vector<FileOrder>& files);
    template <typename Record>
    void Send(int id, const Record& record);
    void SendProgress(Job& job);
    // Sends the type 7 reports that are due, as far as the connection has room for them now;
    // true when every report that is due went out.
    bool ReportDoneFiles(Job& job);
    // A job the transfers finished: type 6 once its last type 7 went out.
    void FinishIfReported(uint32_t engineJob);
    void EndJob(uint32_t engineJob);
    void CheckState();
    uint32_t StateValue() const;
    void IdleCheck();
    uint32_t NextEngineNumber();

    EventLoop& loop_;
    EngineOptions options_;
    EngineLog& log_;
    std::unique_ptr<Transfers> transfers_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    int nextConnection_ = 1;
    std::map<int, std::unique_ptr<Connection>> connections_;
    std::map<uint32_t, std::unique_ptr<Job>> jobs_;  // by engine-side number
    uint32_t lastEngineNumber_ = 0;
    uint32_t lastState_ = 0;
    int64_t idleSinceMs_ = 0;
    EventLoop::TimerId idleTimer_ = 0;
    bool exited_ = false;
};

}  // namespace tev::localengine
