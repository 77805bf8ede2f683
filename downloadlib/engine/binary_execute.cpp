#include "engine/binary_execute.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "engine/engine_paths.h"
#include "foundation/clock.h"
#include "foundation/log.h"
#include "foundation/timer.h"
#include "process_start.h"

namespace {

std::atomic<uint8_t> gRunElevated{1};

// The verb of way 0. The NT family from version 6 on would ask for elevation with "runas";
// this system counts as such, so the host's flag alone decides.
const char* FirstVerb() {
    return RunElevatedFlag() == 1 ? "runas" : "open";
}

// What decides where the engine may reach and whom it trusts: the engine keeps the values it
// was started with, so an engine started for another host's settings is not this host's.
constexpr const char* kReachVariables[] = {
    "http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",   "all_proxy",
    "ALL_PROXY",  "no_proxy",   "NO_PROXY",    "SSL_CERT_FILE", "SSL_CERT_DIR"};
constexpr int kRetireWaitMs = 3000;

// The reach settings among "NAME=value" entries, sorted.
std::vector<std::string> ReachOf(const std::vector<std::string>& environment) {
    std::vector<std::string> reach;
    for (const std::string& entry : environment) {
        for (const char* name : kReachVariables) {
            const size_t length = std::char_traits<char>::length(name);
            if (entry.size() > length && entry.compare(0, length, name) == 0 &&
                entry[length] == '=') {
                reach.push_back(entry);
            }
        }
    }
    std::sort(reach.begin(), reach.end());
    return reach;
}

// Where the library notes the pid of the engine it started and that is serving.
std::string EngineRecordPath() {
    return GetEngineFolderPath() + "config/engine.pid";
}

// The pid of the running engine program at enginePath, from the record; -1 when the record
// names none, or a process that has ended or is another program (a pid used again).
pid_t RunningEngine(const std::string& enginePath) {
    std::ifstream record(EngineRecordPath());
    long pid = -1;
    if (!(record >> pid) || pid <= 1) {
        return -1;
    }
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream stat(proc + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size() || line[close + 2] == 'Z') {
        return -1;  // gone, or ended and not yet reaped
    }
    char target[4096];
    const ssize_t n = readlink((proc + "/exe").c_str(), target, sizeof target - 1);
    if (n <= 0) {
        return -1;
    }
    std::string exe(target, static_cast<size_t>(n));
    // An engine whose file an update replaced still runs the old one.
    const std::string deleted = " (deleted)";
    if (exe.size() > deleted.size() && exe.ends_with(deleted)) {
        exe.resize(exe.size() - deleted.size());
    }
    return exe == enginePath ? static_cast<pid_t>(pid) : -1;
}

std::vector<std::string> EnvironmentOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    std::vector<std::string> entries;
    for (std::string entry; std::getline(in, entry, '\0');) {
        entries.push_back(entry);
    }
    return entries;
}

// Ends a running engine whose reach settings differ from the ones a new start hands over, so
// that the new start serves this host (it cannot listen while the old one does). Bounded.
void RetireEngineOfOtherReach(const std::string& enginePath,
                              const std::vector<std::string>& environment) {
    const pid_t pid = RunningEngine(enginePath);
    if (pid <= 0 || ReachOf(EnvironmentOf(pid)) == ReachOf(environment)) {
        return;
    }
    WriteLogLineF(
        "[TessloadLib] the running engine (pid %d) has other proxy or trust settings: "
        "restarting it",
        static_cast<int>(pid));
    kill(pid, SIGTERM);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kRetireWaitMs);
    while (RunningEngine(enginePath) == pid) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Notes the engine that now serves, unless one of ours already does (the new start then found
// the port taken and ended).
void RecordServingEngine(const std::string& enginePath, pid_t started) {
    if (started <= 0 || RunningEngine(enginePath) > 0) {
        return;
    }
    const std::string path = EngineRecordPath();
    const std::string temporary = path + ".new";
    const int fd =
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    const std::string text = std::to_string(started) + "\n";
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
    }
}

// Whether path is a file of this user's that nobody else can write, in a folder of the same kind:
// anything else may have been put there by someone who is not the user.
bool OwnedAndPrivate(const std::string& path) {
    struct stat file {};
    struct stat folder {};
    const size_t slash = path.find_last_of('/');
    const std::string parent = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    return lstat(path.c_str(), &file) == 0 && S_ISREG(file.st_mode) && file.st_uid == geteuid() &&
           (file.st_mode & 022) == 0 && stat(parent.c_str(), &folder) == 0 &&
           S_ISDIR(folder.st_mode) && folder.st_uid == geteuid() && (folder.st_mode & 022) == 0;
}

}  // namespace

void SetRunElevatedFlag(uint8_t flag) {
    gRunElevated.store(flag);
}

uint8_t RunElevatedFlag() {
    return gRunElevated.load();
}

uint32_t StartEngineDetached(const std::string&, const std::string& path,
                             cpDetachedProcess* started) {
    cpDetachedOptions options;
    options.program = path;
    options.environment = cpEnvironmentWith({});
    options.readyFdVariable = kEngineReadyVariable;
    return static_cast<uint32_t>(cpStartDetached(options, started));
}

CBinaryExecute_V3::CBinaryExecute_V3(EngineStartWay startWay, int readyTimeoutMs)
    : startWay_(std::move(startWay)), readyTimeoutMs_(readyTimeoutMs) {}

bool CBinaryExecute_V3::LocateExecutable(std::string* out) {
    const std::string path = GetEngineFilePath();
    if (path.empty() || access(path.c_str(), F_OK) != 0) {
        return false;
    }
    *out = path;
    return true;
}

void CBinaryExecute_V3::CopyExecutablePath(std::string* out, const std::string& in) {
    *out = in;
}

bool CBinaryExecute_V3::Launch(std::string* path, cpDetachedProcess* process) {
    if (!LocateExecutable(path)) {
        WriteLogLine("[TessloadLib] Run Binary (no executable file)");
        return false;
    }
    if (!OwnedAndPrivate(*path)) {
        WriteLogLineF("[TessloadLib] Run Binary (not the user's own or writable by others) %s",
                      path->c_str());
        return false;
    }
    const char* file = path->c_str();
    RetireEngineOfOtherReach(*path, cpEnvironmentWith({}));
    const uint32_t first = startWay_(FirstVerb(), *path, process);
    if (first == 0) {
        WriteLogLine("[TessloadLib] Execute OK(0)");
    } else if (first == kErrorCancelled) {
        WriteLogLineF("[TessloadLib] Execute Fail(0) %s:%d", file, static_cast<int>(first));
        const uint32_t second = startWay_("open", *path, process);
        if (second == 0) {
            WriteLogLine("[TessloadLib] Execute OK(1)");
        } else {
            WriteLogLineF("[TessloadLib] Execute Fail(1) %s:%d", file, static_cast<int>(second));
            const uint32_t third = startWay_("", *path, process);
            if (third != 0) {
                WriteLogLineF("[TessloadLib] Execute Fail(2) %s:%d", file, static_cast<int>(third));
                return false;
            }
            WriteLogLine("[TessloadLib] Execute OK(2)");
        }
    } else {
        const uint32_t fallback = startWay_("", *path, process);
        if (fallback != 0) {
            WriteLogLineF("[TessloadLib] Execute Fail(3) %s:%d", file, static_cast<int>(fallback));
            return false;
        }
        WriteLogLine("[TessloadLib] Execute OK(3)");
    }
    WriteLogLine("[TessloadLib] Begin WFII");
    return true;
}

bool CBinaryExecute_V3::Settle(const std::string& path, const cpDetachedProcess& process,
                               cpReadiness readiness) {
    switch (readiness) {
        case cpReadiness::kTimedOut:
            // A program that never signals is no engine to hand jobs to; left running, every
            // further attempt would add one more. Its pipe is still open, so it has not exited
            // and the pid is still its own.
            WriteLogLineF("[TessloadLib] WFII Timeout (%d ms)", readyTimeoutMs_);
            if (process.pid() > 0 && kill(process.pid(), SIGKILL) == 0) {
                WriteLogLineF("[TessloadLib] Engine Ended (never ready)(pid: %d)",
                              static_cast<int>(process.pid()));
            }
            WriteLogLine("[TessloadLib] End WFII");
            return false;
        case cpReadiness::kSignalled:
            RecordServingEngine(path, process.pid());
            break;
        case cpReadiness::kClosed:
            WriteLogLine("[TessloadLib] WFII Closed (the engine ended its ready pipe)");
            break;
        case cpReadiness::kNoPipe:
            break;
    }
    WriteLogLine("[TessloadLib] End WFII");
    return true;
}

bool CBinaryExecute_V3::RunEngine() {
    std::string path;
    cpDetachedProcess process;
    if (!Launch(&path, &process)) {
        return false;
    }
    return Settle(path, process, cpWaitReady(process, readyTimeoutMs_));
}

CEngineStartWatch::CEngineStartWatch(CBinaryExecute_V3* executor, std::string path,
                                     cpDetachedProcess process, std::function<void(bool)> done)
    : executor_(executor),
      path_(std::move(path)),
      process_(std::move(process)),
      done_(std::move(done)),
      started_(cpGetTime()) {}

CEngineStartWatch::~CEngineStartWatch() {
    if (!timer_ || !timer_->IsRunning()) {
        return;
    }
    timer_->Stop();
    // Its owner went (the job stopped) while the engine started up: an engine that has not
    // signalled by now is not one anybody knows to be sound, so it does not stay behind.
    if (cpWaitReady(process_, 0) == cpReadiness::kSignalled) {
        RecordServingEngine(path_, process_.pid());
    } else if (process_.pid() > 0 && kill(process_.pid(), SIGKILL) == 0) {
        WriteLogLineF("[TessloadLib] Engine Ended (start abandoned)(pid: %d)",
                      static_cast<int>(process_.pid()));
    }
}

bool CEngineStartWatch::Watch(vmSmartPtr<cpCMutex> mutex) {
    timer_ = vmMakeObject<cpCTimer>();
    return vmSucceeded(timer_->Start(
        CBinaryExecute_V3::kReadyPollMs, [this] { Look(); }, CBinaryExecute_V3::kReadyTimerId,
        std::move(mutex)));
}

void CEngineStartWatch::Look() {
    const cpReadiness readiness = cpWaitReady(process_, 0);
    if (readiness == cpReadiness::kTimedOut &&
        cpElapsedMs(started_) < executor_->ReadyTimeoutMs()) {
        return;  // not yet
    }
    timer_->Stop();
    const bool started = executor_->Settle(path_, process_, readiness);
    // The report may end this watch's owner and the watch with it: it is the last thing done.
    const std::function<void(bool)> report = std::move(done_);
    report(started);
}

std::shared_ptr<CEngineStartWatch> CBinaryExecute_V3::RunEngineWatched(
    vmSmartPtr<cpCMutex> mutex, std::function<void(bool)> done) {
    std::string path;
    cpDetachedProcess process;
    if (!Launch(&path, &process)) {
        done(false);
        return nullptr;
    }
    auto watch = std::make_shared<CEngineStartWatch>(this, path, std::move(process), done);
    if (watch->Watch(std::move(mutex))) {
        return watch;
    }
    // No timer manager (a tool without a worker loop): the wait is the only way left.
    const bool started =
        Settle(path, watch->process_, cpWaitReady(watch->process_, readyTimeoutMs_));
    watch.reset();
    done(started);
    return nullptr;
}

CBinaryExecute_V3& EngineExecutor() {
    static CBinaryExecute_V3 executor;
    return executor;
}

bool RunEngine() {
    return EngineExecutor().RunEngine();
}

std::shared_ptr<CEngineStartWatch> RunEngineWatched(vmSmartPtr<cpCMutex> mutex,
                                                    std::function<void(bool)> done) {
    return EngineExecutor().RunEngineWatched(std::move(mutex), std::move(done));
}
