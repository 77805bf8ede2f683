// tev-report-collector: receives the downloader's statistics reports into SQLite or PostgreSQL
// until SIGINT or SIGTERM.
#include <malloc.h>
#include <sys/resource.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/program.h"
#include "report_collector/report_collector.h"

namespace {

constexpr const char* kUsage =
    "Usage: tev-report-collector [--port N] [--bind ADDR] [--db FILE | --store STORE]\n"
    "                            [--port-file FILE] [--max-connections N]\n"
    "                            [--idle-timeout MS] [--commit-delay MS]\n"
    "                            [--memory-budget MIB] [--no-job-reports] [--quiet]\n"
    "\n"
    "Receives the downloader's statistics reports and stores one row per file record in the\n"
    "table \"reports\" of an SQLite file or a PostgreSQL database, until SIGINT or SIGTERM.\n"
    "Each report is answered once its records are committed. Job reports go to the table\n"
    "\"jobs\", and every report updates the roll-ups that tev-report reads.\n"
    "\n"
    "  --port N             port to listen on (default 54547; 0 picks a free one)\n"
    "  --bind ADDR          IPv4 address to listen on (default 127.0.0.1)\n"
    "  --db FILE            SQLite file, created when missing (default tev-reports.db)\n"
    "  --store STORE        an SQLite file or postgresql://user@host:port/database; the table\n"
    "                       is created when missing, several collectors may share a database\n"
    "  --port-file FILE     also write the port to FILE, for scripts\n"
    "  --max-connections N  connections served at once (default 16384, bounded by the descriptor\n"
    "                       limit); beyond it a newcomer replaces the connection silent longest\n"
    "                       (for a second at least), or waits to be accepted\n"
    "  --idle-timeout MS    close a connection silent this long (default 60000)\n"
    "  --commit-delay MS    how long a commit waits for more reports to join it (default 2)\n"
    "  --memory-budget MIB  memory for received reports and answers of all connections together;\n"
    "                       connections wait to be read beyond it (default 256, at least 4)\n"
    "  --no-job-reports     refuse job reports as collectors before them did\n"
    "  --quiet              do not log reports and closed connections on stderr\n";

bool ParseCount(const std::string& text, long long minimum, long long* value) {
    const char* end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, *value);
    return error == std::errc() && rest == end && *value >= minimum;
}

// Thousands of connections need as many descriptors: take what the hard limit allows.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

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
        if (argument == "--no-job-reports") {
            options.acceptJobReports = false;
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
        } else if (argument == "--store") {
            options.store = value;
        } else if (argument == "--max-connections" || argument == "--idle-timeout" ||
                   argument == "--commit-delay") {
            long long number = 0;
            if (!ParseCount(value, argument == "--commit-delay" ? 0 : 1, &number) ||
                number > 100000000) {
                return Fail("bad value " + value + " for " + argument);
            }
            if (argument == "--max-connections") {
                options.maxConnections = static_cast<size_t>(number);
            } else if (argument == "--idle-timeout") {
                options.idleTimeoutMs = static_cast<int>(number);
            } else {
                options.commitDelayMs = static_cast<int>(number);
            }
        } else if (argument == "--memory-budget") {
            long long mib = 0;
            if (!ParseCount(value, 4, &mib) || mib > 1024 * 1024) {
                return Fail("bad value " + value + " for " + argument);
            }
            options.memoryBudget = static_cast<size_t>(mib) * 1024 * 1024;
        } else if (argument == "--port-file") {
            portFile = value;
        } else {
            return Fail("unknown option " + argument);
        }
    }

    // Buffers of large reports come straight from the system and go back to it when freed, so a
    // burst of them does not stay resident.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    tev::tools::BlockTerminationSignals();
    RaiseDescriptorLimit();
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
                collector.StoreName().c_str());
    std::fflush(stdout);

    const int signal = tev::tools::WaitForTerminationSignal();
    std::fprintf(stderr, "tev-report-collector: %s, stopping\n", strsignal(signal));
    collector.Stop();
    return 0;
}
