// The report page: one self-contained HTML file (no network, no external scripts or fonts) that
// shows a publisher how the downloads go, read from the roll-ups of a store (report_rollup.h):
// downloads per hour, completed against failed, the median and 10th-percentile speed by path and
// by server host, bytes from peers against bytes from the servers, the ten most frequent
// failures with their URLs, and the engine versions in use. Charts are SVG drawn here; a table of
// the same numbers stands beside every chart.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tev::tools {

struct PageWindow {
    int64_t sinceMs = 0;  // the first hour counted is the one holding sinceMs
    int64_t untilMs = 0;  // the hours before the one holding untilMs (0: no end)
};

struct PageFigures {
    struct Hour {
        int64_t hourMs = 0;
        int64_t completed = 0, failed = 0, stopped = 0, moved = 0;
        int64_t bytesServer = 0, bytesPeers = 0;
    };
    struct Outcomes {
        std::string path;
        int64_t completed = 0, failed = 0, stopped = 0, moved = 0;
    };
    struct Speed {
        std::string key;  // a path or a server host
        int64_t jobs = 0;
        double median = 0;  // bytes per second, within 2.2 %
        double p10 = 0;
    };
    struct Failure {
        std::string failure, url;
        int64_t jobs = 0;
    };
    struct Version {
        std::string version;
        int64_t jobs = 0;
    };
    int64_t firstHourMs = 0, endHourMs = 0;  // the window, whole hours
    std::vector<Hour> hours;
    std::vector<Outcomes> outcomes;
    std::vector<Speed> speedByPath, speedByHost;
    int64_t bytesServer = 0, bytesPeers = 0;
    std::vector<Failure> failures;  // at most ten, most frequent first
    std::vector<Version> versions;  // engine path only, most used first
};

// Reads the figures of the window from the store at location (an SQLite file or
// "postgresql://..."). False with *error set when the store cannot be read.
bool ReadPageFigures(const std::string& location, const PageWindow& window, PageFigures* figures,
                     std::string* error);

// The nearest-rank percentile (0 < p <= 1) of a speed histogram of (bucket, jobs) pairs sorted
// by bucket: the middle of the bucket that holds it.
double HistogramPercentile(const std::vector<std::pair<int, int64_t>>& histogram, double p);

std::string RenderReportPage(const PageFigures& figures, const std::string& storeName);

// "2026-12-11", "2026-12-11T05", "2026-12-11T05:30", "2026-12-11T05:30:00" with an optional
// trailing "Z" (always UTC); false when text is none of these.
bool ParseUtcTime(const std::string& text, int64_t* ms);

}  // namespace tev::tools
