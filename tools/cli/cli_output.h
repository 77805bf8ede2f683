// What tev-download prints: a live progress line on a terminal, one line per event otherwise,
// nothing but errors with --quiet, and one JSON object per notification with --json.
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
    // The progress of the job: redrawn in place on a terminal, a line otherwise.
    void Progress(const JobProgress& progress);
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
    bool liveLineOpen_ = false;
};
