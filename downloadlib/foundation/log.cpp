#include "foundation/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "foundation/paths.h"
#include "foundation/string_format.h"

namespace {

std::mutex gObserverMutex;
std::function<void(const char*)> gObserver;
// One rotation at a time: two threads moving the file aside together would lose the older one.
std::mutex gFileMutex;

// The log, opened for appending; never through a link another user planted, never readable by
// others (it names folders and addresses). -1 when it cannot be opened.
int OpenLog(const std::string& path) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
}

// Moves a file at or past the bound to <path>.1 (replacing the older one). Under gFileMutex.
void RotateIfFull(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<uint64_t>(info.st_size) >= kLogRotateBytes) {
        std::rename(path.c_str(), (path + ".1").c_str());
    }
}

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
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    std::string line = "[" + LogTimeStamp(local) + "] " + (message != nullptr ? message : "");
    // One line per event, whatever the message holds (a server's text, a file name).
    for (char& c : line) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    line += '\n';
    std::lock_guard lock(gFileMutex);
    const std::string& path = LogFilePath();
    RotateIfFull(path);
    const int fd = OpenLog(path);
    if (fd < 0) {
        return;
    }
    [[maybe_unused]] const ssize_t written = write(fd, line.data(), line.size());
    close(fd);
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

void StartLog() {
    std::lock_guard lock(gFileMutex);
    const std::string& path = LogFilePath();
    CreateFoldersOf(path);
    RotateIfFull(path);
    const int fd = OpenLog(path);
    if (fd >= 0) {
        close(fd);
    }
}

void ResetLog() {
    std::lock_guard lock(gFileMutex);
    const std::string& path = LogFilePath();
    CreateFoldersOf(path);
    std::remove(path.c_str());
    std::remove((path + ".1").c_str());
    const int fd = OpenLog(path);
    if (fd >= 0) {
        close(fd);
    }
}

void SetDiagnosticObserver(std::function<void(const char*)> observer) {
    std::lock_guard lock(gObserverMutex);
    gObserver = std::move(observer);
}
