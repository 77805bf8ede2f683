#include "common/program.h"

#include <signal.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace tev::tools {

namespace {

sigset_t TerminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void BlockTerminationSignals() {
    const sigset_t set = TerminationSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitForTerminationSignal() {
    const sigset_t set = TerminationSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) == 0) {
            return signal;
        }
    }
}

bool WritePortFile(const std::string& path, uint16_t port, std::string* error) {
    const std::string temporary = path + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) {
        *error = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fprintf(file, "%u\n", static_cast<unsigned>(port)) > 0;
    if (std::fclose(file) != 0 || !written) {
        *error = "cannot write " + temporary + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

bool ParsePort(const std::string& text, uint16_t* port) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *port);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace tev::tools
