#include "localengine/transfer_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace tev::localengine;

TransferRun::TransferRun(TransferSettings settings) {
    transfers_ = std::make_unique<Transfers>(loop_, settings, *this);
}

TransferRun::~TransferRun() {
    transfers_.reset();
    // Let queued reports run so that nothing is left behind on the loop.
    loop_.RunOnce(0);
}

TransferSettings TransferRun::FastSettings() {
    TransferSettings settings;
    settings.firstPiece = 512 * 1024;
    settings.minPiece = 256 * 1024;
    settings.maxPiece = 2 << 20;
    settings.tickMs = 100;
    settings.growthIntervalMs = 300;
    settings.checkpointMs = 100;
    settings.retryFirstDelayMs = 20;
    settings.retryMaxDelayMs = 100;
    settings.diskRetryMs = 50;
    settings.networkPoorMs = 300;
    settings.maxConnectionsPerFile = 8;
    settings.minSplitSize = 1 << 20;
    settings.laneStartSize = 1 << 20;  // files worth splitting use both receiving threads
    settings.connectTimeoutSeconds = 5;
    settings.stallSeconds = 5;
    return settings;
}

bool TransferRun::RunUntil(const std::function<bool()>& predicate, int timeoutMs) {
    const int64_t end = EventLoop::NowMs() + timeoutMs;
    while (!predicate()) {
        if (EventLoop::NowMs() >= end) {
            return false;
        }
        loop_.RunOnce(20);
    }
    return true;
}

int64_t TransferRun::RunOnClock(const std::function<bool()>& predicate, int64_t limitMs,
                                int64_t stepMs) {
    int64_t moved = 0;
    while (!predicate() && moved < limitMs) {
        EventLoop::AdvanceClock(stepMs);
        moved += stepMs;
        // A few short rounds: the timers now due, then what the sockets answer to them.
        for (int round = 0; round < 3; ++round) {
            loop_.RunOnce(2);
        }
    }
    return moved;
}

bool TransferRun::RunUntilEvent(TransferEvent::Kind kind, int timeoutMs) {
    return RunUntil([&] { return Has(kind); }, timeoutMs);
}

void TransferRun::OnResumeQuestion(uint32_t job, uint32_t file) {
    events_.push_back({TransferEvent::Question, job, file, {}});
    if (autoAnswer_ >= 0) {
        loop_.AddTimer(0, [this, job] { transfers_->AnswerResume(job, autoAnswer_ == 1, false); });
    }
}

bool TransferRun::Has(TransferEvent::Kind kind) const {
    return Find(kind) != nullptr;
}

const TransferEvent* TransferRun::Find(TransferEvent::Kind kind) const {
    for (const TransferEvent& event : events_) {
        if (event.kind == kind) {
            return &event;
        }
    }
    return nullptr;
}

std::string DownloadFolder(const std::string& name) {
    return std::string(std::getenv("TEV_TEST_ROOT")) + "/" + name;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::pair<uint64_t, uint64_t>> AskedRanges(const std::vector<std::string>& headers) {
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (const std::string& header : headers) {
        unsigned long long first = 0;
        unsigned long long last = 0;
        if (std::sscanf(header.c_str(), "bytes=%llu-%llu", &first, &last) == 2) {
            ranges.emplace_back(first, last + 1);
        }
    }
    return ranges;
}
