// tev-download: downloads a game's files from a terminal, as the window does.
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "cli_host.h"
#include "cli_options.h"
#include "cli_output.h"
#include "peers/sharing_settings.h"
#include "tev_config.h"

namespace {

void OnSignal(int) {
    CliHost::Interrupt();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    const std::optional<CliOptions> options = ParseCliOptions(args, &error);
    if (!options) {
        std::fprintf(stderr, "tev-download: %s\nTry 'tev-download --help' for more.\n",
                     error.c_str());
        return kExitUsage;
    }
    if (options->help) {
        std::fputs(CliUsage().c_str(), stdout);
        return kExitSuccess;
    }
    if (options->version) {
        std::printf("tev-download %s\n", TEV_VERSION_TEXT);
        return kExitSuccess;
    }

    if (options->sharing) {
        // The engine's folder, as the engine itself finds it.
        const char* data = std::getenv("XDG_DATA_HOME");
        const char* home = std::getenv("HOME");
        std::string base;
        if (data != nullptr && data[0] == '/') {
            base = data;
        } else if (home != nullptr && home[0] == '/') {
            base = std::string(home) + "/.local/share";
        } else {
            std::fputs("tev-download: no home folder for the engine's settings\n", stderr);
            return kExitUsage;
        }
        const std::string path =
            tev::localengine::SharingSettingsPath(base + "/Velmor/tevDownloadV32/");
        if (!tev::localengine::WriteSharingSetting(path, *options->sharing, &error)) {
            std::fprintf(stderr, "tev-download: %s\n", error.c_str());
            return kExitUsage;
        }
        std::printf("sharing %s (from the engine's next start)\n",
                    *options->sharing ? "on" : "off");
        return kExitSuccess;
    }

    if (!options->caFile.empty()) {
        // The library and the engine it starts read the trust store from the environment.
        std::error_code failed;
        const std::filesystem::path file = std::filesystem::absolute(options->caFile, failed);
        if (failed || !std::filesystem::is_regular_file(file, failed) ||
            access(file.c_str(), R_OK) != 0) {
            std::fprintf(stderr, "tev-download: cannot read the certificate file %s\n",
                         options->caFile.c_str());
            return kExitUsage;
        }
        setenv("SSL_CERT_FILE", file.c_str(), 1);
    }

    CliOutput::Mode mode = CliOutput::Mode::Lines;
    if (options->json) {
        mode = CliOutput::Mode::Json;
    } else if (options->quiet) {
        mode = CliOutput::Mode::Quiet;
    } else if (isatty(STDOUT_FILENO)) {
        mode = CliOutput::Mode::Live;
    }
    CliOutput output(mode, stdout, stderr);
    CliHost host(*options, output);

    struct sigaction action {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return host.Run();
}
