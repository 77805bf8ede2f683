// tev-publish: makes what the update server serves from an engine build.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "publish/publisher.h"
#include "update/version_text.h"

namespace {

constexpr const char* kUsage =
    "Usage: tev-publish --out DIR --base-url URL [--key FILE] [--expires DAYS]\n"
    "                   [--manifest-version N] [--format zip|7z] [--for-test] PROGRAM [FILE]...\n"
    "       tev-publish keygen PRIVATE.pem PUBLIC.pem\n"
    "       tev-publish list --key FILE [--expires DAYS] [--manifest-version N] LIST FILE...\n"
    "       tev-publish torrent [--tracker URL]... [--for-test] LIST FILE...\n"
    "\n"
    "Writes the engine update for PROGRAM (and any further FILEs of the engine, such as a\n"
    "licence text or a helper library) under DIR, as the update server serves it:\n"
    "  DIR/velmor/tevdownload/update/v3_32/tevdownload_updater.xml   the descriptor\n"
    "  DIR/velmor/tevdownload/update/v3_32/all/...                   the complete package\n"
    "  DIR/velmor/tevdownload/update/v3_32/file/...                  one archive per file\n"
    "each archive with its hash document (\".hash\"). The descriptor's version is read from\n"
    "PROGRAM's version block; a program without one is refused. With --key, the manifest\n"
    "  DIR/velmor/tevdownload/update/v3_32/tevdownload_updater.manifest  (+ \".sig\")\n"
    "lists the SHA-256 and length of the descriptor and every archive and is signed with the\n"
    "Ed25519 key; the library installs nothing that a key it trusts has not signed.\n"
    "\n"
    "  --out DIR        output folder (created when missing)\n"
    "  --base-url URL   address DIR is served at: https://host[:port]\n"
    "  --key FILE       Ed25519 private key (PEM) that signs the manifest (see keygen)\n"
    "  --expires DAYS   the manifest expires after DAYS days (default 30)\n"
    "  --manifest-version N  the manifest's version (default: the one in DIR plus one)\n"
    "  --format FORMAT  archive format, zip (default) or 7z\n"
    "  --for-test       allow a plain http:// base URL (a test server only)\n"
    "\n"
    "keygen writes a new Ed25519 pair: PRIVATE.pem (mode 0600, never over an existing file)\n"
    "and PUBLIC.pem, for TEV_UPDATE_TRUST_FILE or the build option TEV_UPDATE_TRUST_KEYS.\n"
    "\n"
    "list signs a game's file list: beside LIST it writes LIST.manifest, with the SHA-256 and\n"
    "length of LIST and of every FILE, and LIST.manifest.sig. Each FILE is the file one entry\n"
    "of LIST names, called as the entry's URL ends (the name the downloaded file gets); every\n"
    "entry needs its file. Serve both beside the list: the window and tev-download then check\n"
    "every downloaded file and start no installer that does not match.\n"
    "\n"
    "torrent lets players share a game's files: beside each FILE it writes FILE.torrent (one\n"
    "file, BitTorrent v1, private) whose web seed is the FILE's address in LIST, named as for\n"
    "list. Serve each torrent beside its file; the engine finds it by the Link header\n"
    "(rel=describedby, type=\"application/x-bittorrent\") or, for files of 64 MiB and more, at\n"
    "the file's address followed by .torrent. A plain-http address is refused: anyone on the\n"
    "way could forge its torrent. Prints each torrent's v1 info hash (a tracker's whitelist).\n"
    "  --tracker URL    the publisher's tracker (http://, https:// or udp://), repeatable; "
    "without\n"
    "                   one, players find no peers and fetch from the web seed alone\n"
    "  --for-test       allow plain http:// addresses in LIST (a test server only)\n";

int Fail(const std::string& message) {
    std::fprintf(stderr, "tev-publish: %s\n", message.c_str());
    return 2;
}

int PublishList(int argc, char** argv) {
    tev::tools::ListPublishOptions options;
    std::vector<std::string> paths;
    for (int i = 2; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--key" || argument == "--expires" || argument == "--manifest-version") {
            if (i + 1 >= argc) {
                return Fail("missing value for " + argument + " (see --help)");
            }
            const std::string value = argv[++i];
            char* end = nullptr;
            if (argument == "--key") {
                options.signingKey = value;
            } else if (argument == "--expires") {
                const long days = std::strtol(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || days < 1 || days > 3650) {
                    return Fail("--expires takes 1 to 3650 days");
                }
                options.expiresDays = static_cast<int>(days);
            } else {
                const unsigned long long version = std::strtoull(value.c_str(), &end, 10);
                if (value.empty() || value[0] == '-' || *end != '\0' || version == 0) {
                    return Fail("--manifest-version takes a number from 1");
                }
                options.manifestVersion = version;
            }
            continue;
        }
        if (argument.rfind("--", 0) == 0) {
            return Fail("unknown option " + argument + " (see --help)");
        }
        paths.push_back(argument);
    }
    if (paths.size() < 2 || options.signingKey.empty()) {
        return Fail("list needs --key, the list and its files (see --help)");
    }
    options.list = paths[0];
    options.files.assign(paths.begin() + 1, paths.end());
    std::string error;
    if (!tev::tools::PublishListManifest(options, &error)) {
        return Fail(error);
    }
    std::printf("signed %s: %s%s and %s%s\n", options.list.c_str(), options.list.c_str(),
                tev::tools::kListManifestSuffix, options.list.c_str(),
                tev::tools::kListSignaturesSuffix);
    return 0;
}

int PublishTorrents(int argc, char** argv) {
    tev::tools::TorrentPublishOptions options;
    std::vector<std::string> paths;
    for (int i = 2; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--for-test") {
            options.forTest = true;
            continue;
        }
        if (argument == "--tracker") {
            if (i + 1 >= argc) {
                return Fail("missing value for " + argument + " (see --help)");
            }
            options.trackers.push_back(argv[++i]);
            continue;
        }
        if (argument.rfind("--", 0) == 0) {
            return Fail("unknown option " + argument + " (see --help)");
        }
        paths.push_back(argument);
    }
    if (paths.size() < 2) {
        return Fail("torrent needs the list and its files (see --help)");
    }
    options.list = paths[0];
    options.files.assign(paths.begin() + 1, paths.end());
    if (options.trackers.empty()) {
        std::fprintf(stderr,
                     "tev-publish: warning: no --tracker: players find no peers and fetch every "
                     "byte from the server\n");
    }
    std::vector<tev::tools::PublishedTorrent> written;
    std::string error;
    if (!tev::tools::PublishTorrents(options, &written, &error)) {
        return Fail(error);
    }
    // "wrote PATH (info hash HEX)": the hash is what a tracker's whitelist needs.
    for (const tev::tools::PublishedTorrent& torrent : written) {
        std::printf("wrote %s (info hash %s)\n", torrent.path.c_str(), torrent.infoHash.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    tev::tools::PublishOptions options;
    std::vector<std::string> files;
    if (argc >= 2 && std::string(argv[1]) == "list") {
        return PublishList(argc, argv);
    }
    if (argc >= 2 && std::string(argv[1]) == "torrent") {
        return PublishTorrents(argc, argv);
    }
    if (argc >= 2 && std::string(argv[1]) == "keygen") {
        if (argc != 4) {
            return Fail("keygen takes PRIVATE.pem PUBLIC.pem (see --help)");
        }
        std::string error;
        if (!tev::tools::GenerateKeyFiles(argv[2], argv[3], &error)) {
            return Fail(error);
        }
        std::printf("wrote the private key %s and the public key %s\n", argv[2], argv[3]);
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (argument == "--for-test") {
            options.forTest = true;
            continue;
        }
        if (argument == "--out" || argument == "--base-url" || argument == "--format" ||
            argument == "--key" || argument == "--expires" || argument == "--manifest-version") {
            if (i + 1 >= argc) {
                return Fail("missing value for " + argument + " (see --help)");
            }
            const std::string value = argv[++i];
            if (argument == "--out") {
                options.outputFolder = value;
            } else if (argument == "--base-url") {
                options.baseUrl = value;
            } else if (argument == "--key") {
                options.signingKey = value;
            } else if (argument == "--expires") {
                char* end = nullptr;
                const long days = std::strtol(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || days < 1 || days > 3650) {
                    return Fail("--expires takes 1 to 3650 days");
                }
                options.expiresDays = static_cast<int>(days);
            } else if (argument == "--manifest-version") {
                char* end = nullptr;
                const unsigned long long version = std::strtoull(value.c_str(), &end, 10);
                if (value.empty() || value[0] == '-' || *end != '\0' || version == 0) {
                    return Fail("--manifest-version takes a number from 1");
                }
                options.manifestVersion = version;
            } else if (value == "zip" || value == "7z") {
                options.format = value == "zip" ? tev::tools::PackageFormat::kZip
                                                : tev::tools::PackageFormat::k7z;
            } else {
                return Fail("unknown format " + value + " (zip or 7z)");
            }
            continue;
        }
        if (argument.rfind("--", 0) == 0) {
            return Fail("unknown option " + argument + " (see --help)");
        }
        files.push_back(argument);
    }
    if (options.outputFolder.empty() || options.baseUrl.empty() || files.empty()) {
        return Fail("--out, --base-url and a program are needed (see --help)");
    }
    options.program = files[0];
    options.extras.assign(files.begin() + 1, files.end());
    if (!GetFileVersionText(options.program, &options.version) || options.version.empty()) {
        return Fail(options.program + " carries no version block");
    }
    if (options.signingKey.empty()) {
        std::fprintf(stderr,
                     "tev-publish: warning: no --key: the update is unsigned; builds that trust "
                     "a key refuse it\n");
    }
    std::string error;
    if (!tev::tools::Publish(options, &error)) {
        return Fail(error);
    }
    std::printf("published %s version %s under %s\n", options.program.c_str(),
                options.version.c_str(), options.outputFolder.c_str());
    return 0;
}
