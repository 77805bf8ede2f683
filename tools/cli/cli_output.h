// What tev-download prints: a live progress line fitted to the terminal's width on a terminal;
// per-file lines and the summary only otherwise (a log, not a film); nothing but errors with
// --quiet; one JSON object per notification with --json.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "downloadlib.h"

class CliOutput {
  public:
    enum class Mode { Live, Lines, Quiet, Json };

    CliOutput(Mode mode, FILE* out, FILE* err) : mode_(mode), out_(out), err_(err) {}

    Mode GetMode() const { return mode_; }
    // A line for people (not printed in quiet and JSON modes).
    void Info(const std::string& line);
    // One clear line on standard error, in every mode.
    void Error(const std::string& line);
    // "warning: ..." on standard error, in every mode: what the user must know before it runs.
    void Warning(const std::string& line);
    // A log line copied for -v: on standard error, in every mode.
    void Verbose(const std::string& line);
    // The progress of the job: redrawn in place on a terminal, nothing otherwise.
    void Progress(const JobProgress& progress);
    // The progress line a last time (on a terminal), ended.
    void FinalProgress(const JobProgress& progress);
    // The progress line for a terminal of columns columns: never wider than columns - 1 (the
    // last column would wrap on some terminals), the file name shortened first.
    static std::string ProgressLine(const JobProgress& progress, int columns);
    // Columns of a text on a terminal: wide (East Asian) characters take two.
    static size_t DisplayWidth(const std::string& text);
    // One JSON object: {"notification":code,"name":...,<fields>}.
    void Json(int32_t code, const std::vector<std::pair<std::string, std::string>>& fields);
    // Ends a live progress line before other output.
    void EndLiveLine();

    static std::string JsonString(const std::string& text);
    static std::string JsonNumber(int64_t value) { return std::to_string(value); }
    static const char* NotificationName(int32_t code);

  private:
    Mode mode_;
    FILE* out_;
    FILE* err_;
    int Columns() const;

    bool liveLineOpen_ = false;
};
