// What the program knows before its window exists: the built-in addresses, the command line and
// the name of the single-instance lock.
#pragma once

#include <string>
#include <vector>

inline constexpr char kFileListPath[] = "/download/qk/tevdownload/filelist.txt";
inline constexpr char kBannerPath[] = "/download/qk/tevdownload/qk.gif";
inline constexpr char kFallbackBannerFormat[] = "/velmor/tevdownload/banner/%s/%s.gif";
// The lock name is cut to this many characters.
inline constexpr size_t kLockNameLimit = 260;

// The download server, host[:port]: $TEV_DOWNLOAD_SERVER, else the one this build was made for
// (the library reads the same setting).
std::string DownloadServerSetting();
// <download server>/download/qk/tevdownload/filelist.txt, the server's scheme by the library's
// rule (TevServerBaseUrl): https when it is given as an https:// address
std::string BuiltInFileListUrl();
// <download server>/download/qk/tevdownload/qk.gif, the same way
std::string BuiltInBannerUrl();
// The banner URL when it is set, else the fallback address of the publisher's and the service's
// banner on the banner server (this build serves banners from the download server).
std::string BannerAddress(const std::string& bannerUrl, const std::string& publisherTag,
                          const std::string& serviceTag);

// "-h", "--help" or "-?" anywhere on the command line (without the program): the person asks how
// to run the program, not for a file list of that name.
bool AsksForUsage(const std::vector<std::string>& arguments);
// What tev-downloader --help prints.
std::string WindowUsage();

// Keeps the first command-line argument and counts the rest. A leading '-' or '/' is removed
// from each argument before it is offered.
class CCommandLineInfoParser {
  public:
    void ParseCommandLine(const std::vector<std::string>& arguments);  // without the program
    void ParseParam(const std::string& argument);

    const std::string& FirstArgument() const { return first_; }
    int IgnoredCount() const { return ignored_; }

  private:
    std::string first_;
    bool haveFirst_ = false;
    int ignored_ = 0;
};

// "TEV-Downloader::" + the built-in file-list URL, cut to 260 characters. It never uses the
// command line's URL, so one lock covers every downloader of the product.
std::string SingleInstanceLockName(const std::string& builtInFileListUrl);

// The base name of the running program: the caption of its application messages.
std::string ApplicationName();
