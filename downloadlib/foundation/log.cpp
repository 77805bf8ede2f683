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

const std::string& LogFilePath() {
    static const std::string path = EngineFolder() + "config/service.log";
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
    char stamp[32];
    // The 24-character form of ctime, without its newline.
    std::strftime(stamp, sizeof stamp, "%a %b %e %H:%M:%S %Y", &local);
    std::fprintf(file, "[%s] %s\n", stamp, message != nullptr ? message : "");
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
