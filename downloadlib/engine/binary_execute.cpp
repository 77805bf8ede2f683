#include "engine/binary_execute.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "engine/engine_paths.h"
#include "foundation/log.h"
#include "process_start.h"

namespace {

std::atomic<uint8_t> gRunElevated{1};

// The verb of way 0. The NT family from version 6 on would ask for elevation with "runas";
// this system counts as such, so the host's flag alone decides.
const char* FirstVerb() {
    return RunElevatedFlag() == 1 ? "runas" : "open";
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

bool CBinaryExecute_V3::RunEngine() {
    std::string path;
    if (!LocateExecutable(&path)) {
        WriteLogLine("[TessloadLib] Run Binary (no executable file)");
        return false;
    }
    if (!OwnedAndPrivate(path)) {
        WriteLogLineF("[TessloadLib] Run Binary (not the user's own or writable by others) %s",
                      path.c_str());
        return false;
    }
    const char* file = path.c_str();
    cpDetachedProcess process;
    const uint32_t first = startWay_(FirstVerb(), path, &process);
    if (first == 0) {
        WriteLogLine("[TessloadLib] Execute OK(0)");
    } else if (first == kErrorCancelled) {
        WriteLogLineF("[TessloadLib] Execute Fail(0) %s:%d", file, static_cast<int>(first));
        const uint32_t second = startWay_("open", path, &process);
        if (second == 0) {
            WriteLogLine("[TessloadLib] Execute OK(1)");
        } else {
            WriteLogLineF("[TessloadLib] Execute Fail(1) %s:%d", file, static_cast<int>(second));
            const uint32_t third = startWay_("", path, &process);
            if (third != 0) {
                WriteLogLineF("[TessloadLib] Execute Fail(2) %s:%d", file, static_cast<int>(third));
                return false;
            }
            WriteLogLine("[TessloadLib] Execute OK(2)");
        }
    } else {
        const uint32_t fallback = startWay_("", path, &process);
        if (fallback != 0) {
            WriteLogLineF("[TessloadLib] Execute Fail(3) %s:%d", file, static_cast<int>(fallback));
            return false;
        }
        WriteLogLine("[TessloadLib] Execute OK(3)");
    }

    WriteLogLine("[TessloadLib] Begin WFII");
    switch (cpWaitReady(process, readyTimeoutMs_)) {
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
        case cpReadiness::kClosed:
            WriteLogLine("[TessloadLib] WFII Closed (the engine ended its ready pipe)");
            break;
        case cpReadiness::kSignalled:
        case cpReadiness::kNoPipe:
            break;
    }
    WriteLogLine("[TessloadLib] End WFII");
    return true;
}

CBinaryExecute_V3& EngineExecutor() {
    static CBinaryExecute_V3 executor;
    return executor;
}

bool RunEngine() {
    return EngineExecutor().RunEngine();
}
