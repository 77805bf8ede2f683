#include "hostkit/start_up.h"

#include <cerrno>
#include <cstdlib>

#include "hostkit/format.h"
#include "hostkit/texts.h"
#include "tev_config.h"

std::string DownloadServerSetting() {
    const char* value = std::getenv("TEV_DOWNLOAD_SERVER");
    return value != nullptr && value[0] != '\0' ? value : TEV_DOWNLOAD_SERVER_DEFAULT;
}

std::string BuiltInFileListUrl() {
    return TevServerBaseUrl(DownloadServerSetting()) + kFileListPath;
}

std::string BuiltInBannerUrl() {
    return TevServerBaseUrl(DownloadServerSetting()) + kBannerPath;
}

std::string BannerAddress(const std::string& bannerUrl, const std::string& publisherTag,
                          const std::string& serviceTag) {
    if (!bannerUrl.empty()) {
        return bannerUrl;
    }
    return TevServerBaseUrl(DownloadServerSetting()) +
           FormatText(kFallbackBannerFormat, publisherTag.c_str(), serviceTag.c_str());
}

bool AsksForUsage(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (argument == "-h" || argument == "--help" || argument == "-?" || argument == "/?") {
            return true;
        }
    }
    return false;
}

std::string WindowUsage() {
    return "Usage: tev-downloader [FILE-LIST-URL]\n"
           "\n"
           "Opens the download window: fetches the game's file list (the built-in one, or\n"
           "FILE-LIST-URL), checks the size of its files, downloads them into the chosen folder\n"
           "and starts the installer. One window runs at a time; a second start brings the first\n"
           "to the front. The reason behind a failure is written to\n"
           "~/.local/share/Velmor/tevDownloadV32/config/service.log.\n"
           "For a terminal, use tev-download (see tev-download --help).\n";
}

void CCommandLineInfoParser::ParseCommandLine(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (!argument.empty() && (argument[0] == '-' || argument[0] == '/')) {
            ParseParam(argument.substr(1));
        } else {
            ParseParam(argument);
        }
    }
}

void CCommandLineInfoParser::ParseParam(const std::string& argument) {
    if (haveFirst_) {
        ++ignored_;
        return;
    }
    first_ = argument;
    haveFirst_ = true;
}

std::string SingleInstanceLockName(const std::string& builtInFileListUrl) {
    const std::string name = std::string(kProductName) + "::" + builtInFileListUrl;
    // Count characters, not bytes, and never cut a UTF-8 sequence in two.
    size_t characters = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        const bool startsCharacter = (static_cast<unsigned char>(name[i]) & 0xC0) != 0x80;
        if (startsCharacter && ++characters > kLockNameLimit) {
            return name.substr(0, i);
        }
    }
    return name;
}

std::string ApplicationName() {
    return program_invocation_short_name;
}
