// tev-download's host of the download library: the window's job, driven from a terminal through
// the flat interface only. Notifications arrive on the library's worker thread through the
// callback, which only queues them; the host handles them on its own thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "cli_options.h"
#include "cli_output.h"
#include "downloadlib.h"
#include "hostkit/folders.h"
#include "hostkit/list_trust.h"

class CliHost {
  public:
    CliHost(CliOptions options, CliOutput& output);
    ~CliHost();
    CliHost(const CliHost&) = delete;
    CliHost& operator=(const CliHost&) = delete;

    // Runs the whole job; returns the exit code.
    int Run();

    // Async-signal-safe: asks the running host to stop (Ctrl-C).
    static void Interrupt();

  private:
    enum class Phase { FileList, ListTrust, SizeCheck, Download, Done };

    static void Callback(int32_t code, int32_t parameter, void* userData);
    void Wake();
    // Handles one notification; returns an exit code when the run is over, else -1.
    int Handle(int32_t code, int32_t parameter);
    // Says why the file list cannot be fetched, as far as the host can tell.
    int FileListFailed();
    int OnFileList();
    // The list's manifest or its signatures arrived (or did not); the next step of the list's
    // trust check.
    int OnListTrustFetched(bool fetched);
    int StartSizeCheck();
    int OnSizeKnown();
    // Downloads urls (the whole list, or the files fetched again) into the folder.
    int StartDownload(const std::vector<std::string>& urls);
    // With a verified list, every downloaded file against its manifest: those that fail are
    // fetched again once (the new job is started and -1 returned), then the job fails naming
    // them. kExitSuccess when every file is good.
    int VerifyDownloadedFiles();
    int OnJobEvent();
    int OnJobDone();
    // Answers the engine's question about partly downloaded files as the options say.
    int OnResumeQuery();
    int StopForInterrupt();
    void StopJob();
    // The folder cannot hold what the job still needs (learnt before the start, or from a disk
    // that stopped taking bytes): says so with the folder and the amount; the exit code.
    int DiskFull(uint64_t needed);
    // Called about once a second while downloading: a job whose bytes stopped moving on a disk
    // with no room left is a full disk, whatever the progress messages say.
    int WatchDisk();
    // Called about once a second while downloading: when the library has said nothing of the
    // job's progress for a while, draws what the folder shows.
    void ProgressFromFolder();
    // "Downloaded 3 files, 3.00 MB in 00:00:02 (1.50 MB/s)", or what was already there.
    void PrintSummary(int files);
    // The bytes this run fetched: what was missing at the start, or everything when a partly
    // downloaded file was fetched anew.
    uint64_t FetchedBytes() const;
    // The resume question's subject: the file and the amount already there.
    std::string PartlyDownloadedText() const;

    // A log file whose new lines -v copies to standard error.
    struct LogTail {
        std::string path;
        std::string prefix;
        uint64_t offset = 0;
        std::string partial;  // a line not yet ended
    };
    void CopyNewLogLines();

    std::vector<LogTail> tails_;
    CliOptions options_;
    CliOutput& output_;
    std::string folder_;
    Phase phase_ = Phase::FileList;
    std::vector<std::string> urls_;
    int64_t totalBytes_ = 0;
    JobHandle job_ = 0;
    int completedFiles_ = 0;
    // The files of the list in the folder before the start, and what the job still needed.
    std::vector<CPresentFile> presentAtStart_;
    uint64_t neededAtStart_ = 0;
    // Some partly downloaded file is fetched anew: the bytes present do not count as kept.
    bool startedAnew_ = false;
    std::chrono::steady_clock::time_point downloadStart_{};
    JobProgress lastProgress_{};
    bool haveProgress_ = false;
    // When the bytes present last grew (or the download started).
    std::chrono::steady_clock::time_point lastMove_{};
    int64_t lastPresent_ = -1;
    // When the library last reported progress; the folder's figure of the last look.
    std::chrono::steady_clock::time_point lastReport_{};
    uint64_t folderBytes_ = 0;
    std::chrono::steady_clock::time_point folderLook_{};
    // An answer given on the terminal for every file of the job.
    bool answeredForAll_ = false;
    uint8_t resumeForAll_ = 1;
    std::string installer_;
    CListTrust trust_;
    // The files of the list a digest check sent back for a second fetch.
    std::vector<std::string> refetched_;

    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::mutex mutex_;
    std::deque<std::pair<int32_t, int32_t>> queue_;

    static std::atomic<int> interruptFd_;
};
