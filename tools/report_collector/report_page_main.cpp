// tev-report: writes the report page of a store (see report_page.h).
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

#include "report_collector/report_page.h"
#include "report_collector/report_store.h"

namespace {

constexpr const char* kUsage =
    "Usage: tev-report --store STORE --out FILE [--since TIME] [--until TIME]\n"
    "\n"
    "Writes one self-contained HTML page (no network access) with charts and tables of the\n"
    "reports in STORE (an SQLite file or postgresql://user@host:port/database): downloads per\n"
    "hour, completed and failed, speeds by path and by server host, bytes from peers and from\n"
    "the servers, the ten most frequent failures and the engine versions in use.\n"
    "\n"
    "  --since TIME  the first hour shown: the one holding TIME (UTC: 2026-12-11, 2026-12-11T05,\n"
    "                2026-12-11T05:30 or 2026-12-11T05:30:00, an optional Z)\n"
    "  --until TIME  the last hour shown: the one holding the moment just before TIME, so\n"
    "                2026-12-11T06 ends with the hour from 05:00 (default: the last report)\n"
    "The page counts whole hours: its figures come from hourly roll-ups.\n";

int Fail(const std::string& text) {
    std::fprintf(stderr, "tev-report: %s\n", text.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string store, out;
    tev::tools::PageWindow window;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            return Fail("missing value or unknown option " + argument);
        }
        const std::string value = argv[++i];
        if (argument == "--store" || argument == "--db") {
            store = value;
        } else if (argument == "--out") {
            out = value;
        } else if (argument == "--since" || argument == "--until") {
            int64_t ms = 0;
            if (!tev::tools::ParseUtcTime(value, &ms)) {
                return Fail("not a UTC time: " + value + " (2026-12-11T05:30Z)");
            }
            (argument == "--since" ? window.sinceMs : window.untilMs) = ms;
        } else {
            return Fail("unknown option " + argument);
        }
    }
    if (store.empty() || out.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (window.untilMs != 0 && window.untilMs <= window.sinceMs) {
        return Fail("--until is not after --since");
    }
    tev::tools::PageFigures figures;
    std::string error;
    if (!tev::tools::ReadPageFigures(store, window, &figures, &error)) {
        return Fail(error);
    }
    const std::string name =
        tev::tools::IsPostgresLocation(store) ? std::string("PostgreSQL store") : store;
    const std::string page = tev::tools::RenderReportPage(figures, name);
    const std::string temporary = out + ".part";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << page;
        file.close();
        if (!file) {
            std::remove(temporary.c_str());
            return Fail("cannot write " + out);
        }
    }
    if (std::rename(temporary.c_str(), out.c_str()) != 0) {
        std::remove(temporary.c_str());
        return Fail("cannot write " + out);
    }
    std::printf("%s\n", out.c_str());
    return 0;
}
