// Display texts of the main window: byte counts, speeds, clocks, and the two text cuts the window
// applies to URLs and to the library's file messages. None of them fails.
#pragma once

#include <cstdint>
#include <string>

// printf into a string: the hosts' message texts carry "%s" and "%d" fields.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "0 Bytes", "1.50 KB", ... "%.2f TB"; the empty text from 1024 TB on.
std::string FormatSize(double bytes);
// "0.0 Bytes" for no speed, "512 Bytes", "2.00 KB/Sec", ... "%0.2f TB/Sec".
std::string FormatSpeed(double bytesPerSecond);
// "hh:mm:ss" of the time within the day: whole days are not shown; a negative time is
// "00:00:00".
std::string FormatClock(int64_t seconds);
// The remaining time as shown: "00:00:00" while no speed is known (the library's figure is then
// the bytes left read as seconds), else FormatClock.
std::string FormatRemaining(int64_t remainingSeconds, int64_t bytesPerSecond);
// Bytes per second over a span of milliseconds (a span under 1 ms counts as 1 ms).
double AverageSpeed(uint64_t bytes, int64_t milliseconds);
// The speed graph's sample for a speed: megabits per second, truncated, at most 100.
int SpeedGraphSample(int64_t bytesPerSecond);
// The text after the last '/'; empty when there is none or it ends the text.
std::string FileNameOfUrl(const std::string& url);
// The text after the first ','; the whole text when there is none.
std::string TextAfterComma(const std::string& text);
