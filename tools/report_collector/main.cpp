// tev-report-collector: receives the downloader's statistics reports into SQLite until SIGINT
// or SIGTERM.
#include <cstdio>
#include <cstring>
#include <string>

#include "common/program.h"
#include "report_collector/report_collector.h"

namespace {

constexpr const char* kUsage =
    "Usage: tev-report-collector [--port N] [--bind ADDR] [--db FILE] [--port-file FILE]\n"
    "                            [--quiet]\n"
    "\n"
    "Receives the downloader's statistics reports and stores one row per file record in the\n"
    "table \"reports\" of an SQLite file, until SIGINT or SIGTERM.\n"
    "\n"
    "  --port N          port to listen on (default 54547; 0 picks a free one)\n"
    "  --bind ADDR       IPv4 address to listen on (default 127.0.0.1)\n"
    "  --db FILE         SQLite file, created when missing (default tev-reports.db)\n"
    "  --port-file FILE  also write the port to FILE, for scripts\n"
    "  --quiet           do not log reports and refused connections on stderr\n";

int Fail(const std::string& message) {
    std::fprintf(stderr, "tev-report-collector: %s\n(see --help)\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using tev::tools::ReportCollector;
    ReportCollector::Options options;
    options.database = "tev-reports.db";
    options.logToStderr = true;
    std::string portFile;

    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (argument == "--quiet") {
            options.logToStderr = false;
            continue;
        }
        if (i + 1 >= argc) {
            return Fail("missing value or unknown option " + argument);
        }
        const std::string value = argv[++i];
        if (argument == "--port") {
            if (!tev::tools::ParsePort(value, &options.port)) {
                return Fail("bad port " + value);
            }
        } else if (argument == "--bind") {
            options.bindAddress = value;
        } else if (argument == "--db") {
            options.database = value;
        } else if (argument == "--port-file") {
            portFile = value;
        } else {
            return Fail("unknown option " + argument);
        }
    }

    tev::tools::BlockTerminationSignals();
    ReportCollector collector(options);
    if (!collector.Ok()) {
        return Fail(collector.Error());
    }
    if (!portFile.empty()) {
        std::string error;
        if (!tev::tools::WritePortFile(portFile, collector.Port(), &error)) {
            return Fail(error);
        }
    }
    std::printf("tev-report-collector: listening on %s:%u, storing into %s\n",
                options.bindAddress.c_str(), static_cast<unsigned>(collector.Port()),
                options.database.c_str());
    std::fflush(stdout);

    const int signal = tev::tools::WaitForTerminationSignal();
    std::fprintf(stderr, "tev-report-collector: %s, stopping\n", strsignal(signal));
    collector.Stop();
    return 0;
}
