// Runs the engine's transfers on an event loop in the test's own thread and records what they
// report, so a test can start a job, run the loop until something happened and check the files.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "transfer/event_loop.h"
#include "transfer/transfers.h"

struct TransferEvent {
    enum Kind {
        SizesKnown,
        Question,
        FileDone,
        FileFailed,
        JobDone,
        DiskFull,
        DiskBack,
        NetworkPoor,
        NetworkBack
    };
    Kind kind;
    uint32_t job = 0;
    uint32_t file = 0;
    std::string text{};
};

class TransferRun : public tev::localengine::TransferListener {
  public:
    explicit TransferRun(tev::localengine::TransferSettings settings = FastSettings());
    ~TransferRun() override;

    // Settings that keep tests quick: small pieces, short retry waits.
    static tev::localengine::TransferSettings FastSettings();

    tev::localengine::Transfers& transfers() { return *transfers_; }
    tev::localengine::EventLoop& loop() { return loop_; }

    // Runs the loop until predicate holds (checked after every round) or timeoutMs passed.
    bool RunUntil(const std::function<bool()>& predicate, int timeoutMs = 20000);
    bool RunUntilEvent(TransferEvent::Kind kind, int timeoutMs = 20000);
    // Runs the loop while moving the clock on by stepMs a round (the clock seam), until
    // predicate holds or the clock moved limitMs; returns how far it moved.
    int64_t RunOnClock(const std::function<bool()>& predicate, int64_t limitMs,
                       int64_t stepMs = 100);
    // Answers every resume question with keep (or discard).
    void AnswerQuestions(bool keep) { autoAnswer_ = keep ? 1 : 0; }

    const std::vector<TransferEvent>& events() const { return events_; }
    bool Has(TransferEvent::Kind kind) const;
    const TransferEvent* Find(TransferEvent::Kind kind) const;

    void OnSizesKnown(uint32_t job, uint64_t total) override {
        events_.push_back({TransferEvent::SizesKnown, job, 0, {}});
        lastTotal = total;
    }
    void OnResumeQuestion(uint32_t job, uint32_t file) override;
    void OnFileDone(uint32_t job, uint32_t file) override {
        events_.push_back({TransferEvent::FileDone, job, file, {}});
    }
    void OnFileFailed(uint32_t job, uint32_t file, tev::localengine::FailureKind kind,
                      const std::string& reason) override {
        events_.push_back({TransferEvent::FileFailed, job, file, reason});
        lastFailureKind = kind;
    }
    tev::localengine::FailureKind lastFailureKind{};
    uint64_t lastTotal = 0;
    void OnJobDone(uint32_t job) override {
        events_.push_back({TransferEvent::JobDone, job, 0, {}});
        doneProgress = transfers_->Progress(job);  // what the last progress message tells
    }
    std::optional<tev::localengine::JobProgress> doneProgress;
    void OnDiskFull(uint32_t job, bool full) override {
        events_.push_back({full ? TransferEvent::DiskFull : TransferEvent::DiskBack, job, 0, {}});
    }
    void OnNetworkTrouble(bool poor) override {
        events_.push_back(
            {poor ? TransferEvent::NetworkPoor : TransferEvent::NetworkBack, 0, 0, {}});
    }

  private:
    tev::localengine::EventLoop loop_;
    std::unique_ptr<tev::localengine::Transfers> transfers_;
    std::vector<TransferEvent> events_;
    int autoAnswer_ = -1;
};

// A folder for downloads under the test's private root.
std::string DownloadFolder(const std::string& name = "dl");
void WriteFile(const std::string& path, const std::string& bytes);
// The byte ranges the server was asked for, from its Range headers ("bytes=a-b" → {a, b+1}).
std::vector<std::pair<uint64_t, uint64_t>> AskedRanges(const std::vector<std::string>& headers);
