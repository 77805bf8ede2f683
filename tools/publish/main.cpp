// tev-publish: makes what the update server serves from an engine build.
#include <cstdio>
#include <string>
#include <vector>

#include "publish/publisher.h"
#include "update/version_text.h"

namespace {

constexpr const char* kUsage =
    "Usage: tev-publish --out DIR --base-url URL [--format zip|7z] PROGRAM [FILE]...\n"
    "\n"
    "Writes the engine update for PROGRAM (and any further FILEs of the engine, such as a\n"
    "licence text or a helper library) under DIR, as the update server serves it:\n"
    "  DIR/velmor/tevdownload/update/v3_32/tevdownload_updater.xml   the descriptor\n"
    "  DIR/velmor/tevdownload/update/v3_32/all/...                   the complete package\n"
    "  DIR/velmor/tevdownload/update/v3_32/file/...                  one archive per file\n"
    "each archive with its hash document (\".hash\"). The descriptor's version is read from\n"
    "PROGRAM's version block; a program without one is refused.\n"
    "\n"
    "  --out DIR        output folder (created when missing)\n"
    "  --base-url URL   address DIR is served at, http:// or https:// (e.g. http://host:8080)\n"
    "  --format FORMAT  archive format, zip (default) or 7z\n";

int Fail(const std::string& message) {
    std::fprintf(stderr, "tev-publish: %s\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    tev::tools::PublishOptions options;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (argument == "--out" || argument == "--base-url" || argument == "--format") {
            if (i + 1 >= argc) {
                return Fail("missing value for " + argument + " (see --help)");
            }
            const std::string value = argv[++i];
            if (argument == "--out") {
                options.outputFolder = value;
            } else if (argument == "--base-url") {
                options.baseUrl = value;
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
    std::string error;
    if (!tev::tools::Publish(options, &error)) {
        return Fail(error);
    }
    std::printf("published %s version %s under %s\n", options.program.c_str(),
                options.version.c_str(), options.outputFolder.c_str());
    return 0;
}
