// The library's log: one line per event in <engine folder>config/service.log, opened and closed
// for every line. It outlives the run that wrote it (the next run's reader looks for the last
// failure there) and is bounded: past kLogRotateBytes the file moves to service.log.1 and a new
// one starts. Diagnostics of interface misuse go to a sink that keeps nothing.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

// "[Thu Dec 10 04:20:53 2026] message". A line that cannot be written is lost silently.
void WriteLogLine(const char* message);
// The 24-character stamp of ctime without its newline ("Thu Dec 10 04:20:53 2026"), in English
// whatever the locale.
std::string LogTimeStamp(const tm& time);
void WriteLogLineF(const char* format, ...) __attribute__((format(printf, 1, 2)));
void WriteDiagnosticLine(const char* message);
inline constexpr uint64_t kLogRotateBytes = 1 << 20;

// What every downloader does when it is made: creates the missing folders of the log path and
// keeps what earlier runs wrote, moving a file past the bound aside.
void StartLog();
// Creates the missing folders of the log path and starts the log empty (and drops the older
// file): for tests that read one run's lines.
void ResetLog();
// The log path, computed on first use and kept for the life of the process.
const std::string& LogFilePath();

// Lets tests see the diagnostics that the sink otherwise drops; an empty function restores it.
void SetDiagnosticObserver(std::function<void(const char*)> observer);
