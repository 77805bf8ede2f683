// tev-download's host of the download library: the window's job, driven from a terminal through
// the flat interface only. Notifications arrive on the library's worker thread through the
// callback, which only queues them; the host handles them on its own thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "cli_options.h"
#include "cli_output.h"
#include "downloadlib.h"

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
    enum class Phase { FileList, SizeCheck, Download, Done };

    static void Callback(int32_t code, int32_t parameter, void* userData);
    void Wake();
    // Handles one notification; returns an exit code when the run is over, else -1.
    int Handle(int32_t code, int32_t parameter);
    // Says why the file list cannot be fetched, as far as the host can tell.
    int FileListFailed();
    int OnFileList();
    int OnSizeKnown();
    int StartDownload();
    int OnJobEvent();
    int OnJobDone();
    // Answers the engine's question about partly downloaded files as the options say.
    int OnResumeQuery();
    int StopForInterrupt();
    void StopJob();

    CliOptions options_;
    CliOutput& output_;
    std::string folder_;
    Phase phase_ = Phase::FileList;
    std::vector<std::string> urls_;
    int64_t totalBytes_ = 0;
    JobHandle job_ = 0;
    int completedFiles_ = 0;
    // An answer given on the terminal for every file of the job.
    bool answeredForAll_ = false;
    uint8_t resumeForAll_ = 1;
    std::string installer_;

    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::mutex mutex_;
    std::deque<std::pair<int32_t, int32_t>> queue_;

    static std::atomic<int> interruptFd_;
};
