#include "cli_options.h"

std::optional<CliOptions> ParseCliOptions(const std::vector<std::string>& args,
                                          std::string* error) {
    CliOptions options;
    bool positional = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto value = [&](const char* name) -> std::optional<std::string> {
            const std::string prefix = std::string(name) + "=";
            if (arg.rfind(prefix, 0) == 0) {
                return arg.substr(prefix.size());
            }
            if (i + 1 < args.size()) {
                return args[++i];
            }
            *error = std::string("option ") + name + " needs a value";
            return std::nullopt;
        };
        if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "-V" || arg == "--version") {
            options.version = true;
        } else if (arg == "-l" || arg == "--limited") {
            options.limited = true;
        } else if (arg == "-i" || arg == "--install") {
            options.install = true;
        } else if (arg == "-q" || arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "-v" || arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--cacert" || arg.rfind("--cacert=", 0) == 0) {
            const auto file = value("--cacert");
            if (!file) {
                return std::nullopt;
            }
            if (file->empty()) {
                *error = "--cacert needs a file";
                return std::nullopt;
            }
            options.caFile = *file;
        } else if (arg == "-f" || arg == "--folder" || arg.rfind("--folder=", 0) == 0) {
            const auto folder = value("--folder");
            if (!folder) {
                return std::nullopt;
            }
            if (folder->empty()) {
                *error = "the folder must not be empty";
                return std::nullopt;
            }
            options.folder = *folder;
        } else if (arg == "--resume" || arg.rfind("--resume=", 0) == 0) {
            const auto answer = value("--resume");
            if (!answer) {
                return std::nullopt;
            }
            if (*answer == "yes") {
                options.resume = ResumeAnswer::Yes;
            } else if (*answer == "no") {
                options.resume = ResumeAnswer::No;
            } else if (*answer == "ask") {
                options.resume = ResumeAnswer::Ask;
            } else {
                *error = "--resume takes yes, no or ask, not " + *answer;
                return std::nullopt;
            }
        } else if (arg == "--sharing" || arg.rfind("--sharing=", 0) == 0) {
            const auto answer = value("--sharing");
            if (!answer) {
                return std::nullopt;
            }
            if (*answer != "on" && *answer != "off") {
                *error = "--sharing takes on or off, not " + *answer;
                return std::nullopt;
            }
            options.sharing = *answer == "on";
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            *error = "unknown option " + arg;
            return std::nullopt;
        } else if (!positional) {
            options.fileListUrl = arg;
            positional = true;
        } else {
            *error = "more than one file-list URL: " + arg;
            return std::nullopt;
        }
    }
    return options;
}

std::string CliUsage() {
    return "Usage: tev-download [OPTIONS] [FILE-LIST-URL]\n"
           "\n"
           "Downloads every file of a game's file list into a folder, then optionally starts\n"
           "the installer. Without a URL the built-in file list is fetched. An interrupted run\n"
           "(Ctrl-C) leaves its files in place; running again resumes them.\n"
           "\n"
           "Options:\n"
           "  -f, --folder DIR  download into DIR (default: ~/orvix9/QK/)\n"
           "  -l, --limited     limited speed (384 KiB/s) instead of fast\n"
           "  -i, --install     start the downloaded installer when all files are there\n"
           "  -q, --quiet       print nothing but errors\n"
           "      --json        print one JSON object per library notification\n"
           "  -v, --verbose     copy the download library's and the engine's log lines of\n"
           "                    this run to standard error\n"
           "      --cacert FILE trust the certificates in FILE (PEM) for https, in the\n"
           "                    library and in the engine, instead of the system's store\n"
           "      --resume=yes|no|ask  what to do with partly downloaded files the engine\n"
           "                    finds: resume them, fetch them anew, or ask (the default on\n"
           "                    a terminal; yes otherwise)\n"
           "      --sharing=on|off  whether the engine shares finished files with other\n"
           "                    players (peers) and takes pieces from them; written to the\n"
           "                    engine's settings, read when the engine next starts; then\n"
           "                    exit. Off: no listening socket, no peer connection at all\n"
           "  -h, --help        show this help and exit\n"
           "  -V, --version     show the version and exit\n"
           "\n"
           "On a terminal the progress is one line, redrawn; otherwise a line per file and\n"
           "a summary. A folder without room for what is still needed is refused before the\n"
           "download starts; a disk that fills up during it ends the run with status 5 (the\n"
           "files so far are kept: run again with room to resume). Connection time-outs and\n"
           "retries are the library's own and cannot be set.\n"
           "\n"
           "A list published with a signed manifest (URL.manifest, URL.manifest.sig) has\n"
           "every downloaded file checked against it: a file that fails is fetched again\n"
           "once, then the run fails naming it, and no installer starts unchecked. A list\n"
           "without one runs with a warning that its files are unverified; a manifest that\n"
           "does not verify (key, expiry, the list's bytes) refuses the list.\n"
           "\n"
           "Exit status:\n"
           "  0 success, 1 the download library could not start, 2 usage error,\n"
           "  3 file list not fetched, unusable or refused, 4 size check failed,\n"
           "  5 download failed (folder, disk space, or a file), 6 installer not started,\n"
           "  130 interrupted.\n";
}
