// What the engine downloader reports of the jobs the engine carries: one job report (see
// stack/job_reporter.h) when a job ends, fails, is stopped or is handed to the direct
// downloader. The figures come from the engine's own messages: the time from the engine's
// acceptance to the end, the bytes that arrived between the job's first and last progress
// message, the most transfers one progress message listed, and the URL the engine names in a
// failure (the mirror it was fetching from). Bytes from peers stay 0 until the engine fetches
// from peers.
//
// Worker thread, inside the library mutex, like the engine downloader that owns it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/job.h"
#include "engine/engine_protocol.h"
#include "stack/job_reporter.h"

class CEngineJobReports {
  public:
    CEngineJobReports();
    ~CEngineJobReports();
    CEngineJobReports(const CEngineJobReports&) = delete;
    CEngineJobReports& operator=(const CEngineJobReports&) = delete;

    // The engine took the job: its clock starts.
    void Accepted(const CJob& job, const engine_protocol::JobAccepted& message,
                  const std::string& engineVersion);
    void Progress(const engine_protocol::JobProgress& message);
    // The job's end: outcome is one of vmJobReport's; failure the engine's text when it failed.
    // Nothing is sent for a job the engine never accepted.
    void Ended(uint32_t job, uint8_t outcome, const std::string& failure = std::string());

    const CJobReporter& Reporter() const { return *reporter_; }

  private:
    struct Track {
        int64_t acceptedMs = 0;
        bool progressed = false;
        uint64_t firstPresent = 0;
        uint64_t lastPresent = 0;
        uint32_t filesCompleted = 0;
        uint32_t connections = 0;
        vmJobReport report;
    };

    std::map<uint32_t, Track> jobs_;
    std::unique_ptr<CJobReporter> reporter_;
};
