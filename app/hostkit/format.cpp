#include "hostkit/format.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text;
    if (length > 0) {
        std::vector<char> buffer(static_cast<size_t>(length) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
        text.assign(buffer.data(), static_cast<size_t>(length));
    }
    va_end(args);
    return text;
}

namespace {

// Divides by 1024 until the value fits a unit; nullptr past the largest one.
const char* ScaleToUnit(double* value, const char* const (&units)[4]) {
    for (const char* unit : units) {
        *value *= 1.0 / 1024.0;
        if (*value < 1024.0) {
            return unit;
        }
    }
    return nullptr;
}

}  // namespace

std::string FormatSize(double bytes) {
    if (bytes < 1024.0) {
        return FormatText("%0.f Bytes", bytes);
    }
    static const char* const kUnits[4] = {"%.2f KB", "%.2f MB", "%.2f GB", "%.2f TB"};
    const char* unit = ScaleToUnit(&bytes, kUnits);
    return unit != nullptr ? FormatText(unit, bytes) : std::string();
}

std::string FormatSpeed(double bytesPerSecond) {
    if (bytesPerSecond <= 0.0) {
        return "0.0 Bytes";
    }
    if (bytesPerSecond < 1024.0) {
        return FormatText("%0.f Bytes", bytesPerSecond);
    }
    static const char* const kUnits[4] = {"%0.2f KB/Sec", "%0.2f MB/Sec", "%0.2f GB/Sec",
                                          "%0.2f TB/Sec"};
    const char* unit = ScaleToUnit(&bytesPerSecond, kUnits);
    return unit != nullptr ? FormatText(unit, bytesPerSecond) : std::string("0.0 Bytes");
}

std::string FormatClock(int64_t t) {
    if (t < 0) {
        return "00:00:00";  // a clock set back: no time is shown rather than "-1:-1:-1"
    }
    const int64_t hours = t / 3600 - (t / 86400) * 24;
    const int64_t minutes = t / 60 - (t / 3600) * 60;
    const int64_t seconds = t - (t / 60) * 60;
    return FormatText("%02d:%02d:%02d", static_cast<int>(hours), static_cast<int>(minutes),
                      static_cast<int>(seconds));
}

double AverageSpeed(uint64_t bytes, int64_t milliseconds) {
    return static_cast<double>(bytes) * 1000.0 /
           static_cast<double>(std::max<int64_t>(milliseconds, 1));
}

std::string FormatRemaining(int64_t remainingSeconds, int64_t bytesPerSecond) {
    return bytesPerSecond > 0 ? FormatClock(remainingSeconds) : FormatClock(0);
}

int SpeedGraphSample(int64_t bytesPerSecond) {
    // In 64 bits: speed * 8 leaves 32 bits from 256 MiB/s on, which would draw an empty bar.
    const int64_t megabits = bytesPerSecond * 8 / 1048576;
    return static_cast<int>(std::clamp<int64_t>(megabits, 0, 100));
}

std::string FileNameOfUrl(const std::string& url) {
    const size_t slash = url.rfind('/');
    return slash == std::string::npos ? std::string() : url.substr(slash + 1);
}

std::string TextAfterComma(const std::string& text) {
    const size_t comma = text.find(',');
    return comma == std::string::npos ? text : text.substr(comma + 1);
}
