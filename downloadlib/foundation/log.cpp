#include "foundation/log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "foundation/paths.h"
#include "foundation/string_format.h"

namespace {

std::mutex gObserverMutex;
std::function<void(const char*)> gObserver;

}  // namespace

std::string LogTimeStamp(const tm& time) {
    // English names whatever the locale: strftime's %a and %b would follow it.
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* day = time.tm_wday >= 0 && time.tm_wday < 7 ? kDays[time.tm_wday] : "???";
    const char* month = time.tm_mon >= 0 && time.tm_mon < 12 ? kMonths[time.tm_mon] : "???";
    return StringPrintf("%s %s %2d %02d:%02d:%02d %d", day, month, time.tm_mday, time.tm_hour,
                        time.tm_min, time.tm_sec, time.tm_year + 1900);
}

const std::string& LogFilePath() {
    // No absolute data folder: no log file, rather than one under the current folder.
    static const std::string path =
        EngineFolder().empty() ? std::string() : EngineFolder() + "config/service.log";
    return path;
}

void WriteLogLine(const char* message) {
    FILE* file = std::fopen(LogFilePath().c_str(), "a");
    if (file == nullptr) {
        return;
    }
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    const std::string stamp = LogTimeStamp(local);
    std::fprintf(file, "[%s] %s\n", stamp.c_str(), message != nullptr ? message : "");
    std::fclose(file);
}

void WriteLogLineF(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string line = StringPrintfV(format, args);
    va_end(args);
    WriteLogLine(line.c_str());
}

void WriteDiagnosticLine(const char* message) {
    std::function<void(const char*)> observer;
    {
        std::lock_guard lock(gObserverMutex);
        observer = gObserver;
    }
    if (observer) {
        observer(message);
    }
}

void ResetLog() {
    const std::string& path = LogFilePath();
    CreateFoldersOf(path);
    std::remove(path.c_str());
    if (FILE* file = std::fopen(path.c_str(), "w")) {
        std::fclose(file);
    }
}

void SetDiagnosticObserver(std::function<void(const char*)> observer) {
    std::lock_guard lock(gObserverMutex);
    gObserver = std::move(observer);
}
