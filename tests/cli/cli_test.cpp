// tev-download as its users run it: a child process against the project's test server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "cli_options.h"
#include "cli_output.h"
#include "downloadlib.h"
#include "engine/engine_paths.h"
#include "engine/engine_protocol.h"
#include "hostkit/folders.h"
#include "hostkit/format.h"
#include "json_check.h"
#include "publish/publisher.h"
#include "support/published_engine.h"
#include "support/stand_in.h"
#include "support/subprocess.h"
#include "support/tcp_peer.h"
#include "support/test_certificates.h"
#include "support/test_data.h"
#include "support/update_signing.h"
#include "test_server/test_http_server.h"
#include "update/trust.h"

namespace ep = engine_protocol;
namespace fs = std::filesystem;
using tev::tools::HttpRule;
using tev::tools::TestHttpServer;

namespace {

// tev-download on a pseudo-terminal of the given width, as a person runs it in a terminal
// window: what it drew (carriage returns, erase sequences and all) and its exit code. Bounded.
ProcessResult RunOnTerminal(std::vector<std::string> args,
                            const std::vector<std::pair<std::string, std::string>>& environment,
                            int columns = 80, int timeoutMs = 60000) {
    ProcessResult result;
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        return result;
    }
    winsize size{};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(columns);
    const std::string slave = ptsname(master);
    std::vector<std::string> env;
    for (const auto& [name, value] : environment) {
        env.push_back(name + "=" + value);
    }
    args.insert(args.begin(), TEV_DOWNLOAD_PROGRAM);
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        const int fd = open(slave.c_str(), O_RDWR);
        ioctl(fd, TIOCSWINSZ, &size);
        dup2(fd, 0);
        dup2(fd, 1);
        for (const std::string& entry : env) {
            putenv(const_cast<char*>(entry.c_str()));
        }
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd wait{master, POLLIN, 0};
        if (poll(&wait, 1, 100) == 1) {
            char bytes[4096];
            const ssize_t n = read(master, bytes, sizeof bytes);
            if (n <= 0) {
                break;  // EIO: the child closed the terminal
            }
            result.out.append(bytes, static_cast<size_t>(n));
        }
    }
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    close(master);
    return result;
}

// The screen lines a terminal output leaves: split at CR and LF, erase sequences dropped.
std::vector<std::string> DrawnLines(const std::string& output) {
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < output.size(); ++i) {
        if (output.compare(i, 3, "\033[K") == 0) {
            i += 2;
        } else if (output[i] == '\r' || output[i] == '\n') {
            if (!line.empty()) {
                lines.push_back(line);
            }
            line.clear();
        } else {
            line += output[i];
        }
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    return lines;
}

class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::path(std::getenv("TEV_TEST_ROOT"));
        folder_ = root_ / "game";
    }
    // Serves the files under /game/ and a file list naming them.
    void Serve(const std::vector<std::pair<std::string, std::string>>& files) {
        std::string list;
        for (const auto& [name, bytes] : files) {
            server_.SetContent("/game/" + name, bytes);
            list += server_.Url("/game/" + name) + "\r\n";
        }
        server_.SetContent("/game/filelist.txt", list);
    }
    std::string ListUrl() const { return server_.Url("/game/filelist.txt"); }

    ProcessResult Run(std::vector<std::string> args, ProcessOptions options = {}) {
        args.insert(args.begin(), TEV_DOWNLOAD_PROGRAM);
        // Statistics go to a port nobody listens on: the run must not depend on them.
        options.environment.emplace_back("TEV_REPORT_SERVER",
                                         "127.0.0.1:" + std::to_string(UnusedPort()));
        return RunProcess(args, options);
    }

    TestHttpServer server_;
    fs::path root_;
    fs::path folder_;
};

}  // namespace

TEST_F(CliTest, DownloadsEveryFileOfTheList) {
    const std::vector<std::pair<std::string, std::string>> files = {
        {"readme.txt", "hello\n"}, {"data.pak", TestBytes(3 << 20, 1)}, {"setup.sh", "exit 0\n"}};
    Serve(files);
    const ProcessResult result = Run({"--folder", folder_.string(), ListUrl()});
    ASSERT_EQ(result.exitCode, kExitSuccess) << result.out << result.err;
    for (const auto& [name, bytes] : files) {
        EXPECT_TRUE(ReadWholeFile(folder_ / name) == bytes) << name;
    }
    EXPECT_NE(result.out.find("done: " + (folder_ / "setup.sh").string()), std::string::npos)
        << result.out;
    // A list without a manifest: said once, before anything was fetched.
    EXPECT_EQ(result.err.find("tev-download: warning: the file list has no signed manifest"), 0u)
        << result.err;
    EXPECT_NE(result.err.find("UNVERIFIED"), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    // Not on a terminal: no progress lines, a summary at the end.
    EXPECT_EQ(result.out.find("elapsed"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("Downloaded 3 files, " + FormatSize(double((3 << 20) + 13)) + " in "),
              std::string::npos)
        << result.out;
    // The window's saved folder is the window's.
    EXPECT_FALSE(fs::exists(DownloadPathSettingsFile()));

    const ProcessResult again = Run({"--folder", folder_.string(), ListUrl()});
    ASSERT_EQ(again.exitCode, kExitSuccess) << again.err;
    EXPECT_NE(again.out.find("Nothing was fetched: all 3 files were complete already"),
              std::string::npos)
        << again.out;
}

// In an 80-column terminal the progress line is redrawn in place and never wraps, also for a
// long file name; the last one drawn shows the job whole.
TEST_F(CliTest, TheProgressLineFitsTheTerminal) {
    const std::string longName = std::string(50, 'n') + "_data.pak";
    const std::string data = TestBytes(3 << 20, 11);
    Serve({{longName, data}, {"b.bin", "b"}});
    server_.AddRule("/game/" + longName,
                    {.kind = HttpRule::Rate, .bytesPerSecond = 1 << 20, .onlyWithRange = true});
    const ProcessResult result =
        RunOnTerminal({"--folder", folder_.string(), ListUrl()},
                      {{"TEV_REPORT_SERVER", "127.0.0.1:" + std::to_string(UnusedPort())}});
    ASSERT_EQ(result.exitCode, kExitSuccess) << result.out;
    const std::vector<std::string> lines = DrawnLines(result.out);
    std::vector<std::string> progress;
    for (const std::string& line : lines) {
        // The redrawn line; a file's own line is printed once and may wrap.
        if (line.find("%") != std::string::npos && line.find(" / ") != std::string::npos) {
            EXPECT_LE(CliOutput::DisplayWidth(line), 79u) << line;
            progress.push_back(line);
        }
    }
    ASSERT_GE(progress.size(), 2u) << result.out;
    EXPECT_NE(progress.front().find("_data.pak"), std::string::npos) << progress.front();
    const std::string total = FormatSize(double(data.size() + 1));
    EXPECT_NE(progress.back().find(total + " / " + total), std::string::npos) << progress.back();
    EXPECT_NE(progress.back().find("100%"), std::string::npos) << progress.back();
    EXPECT_NE(lines.back().find("Downloaded 2 files"), std::string::npos) << lines.back();
}

TEST_F(CliTest, JsonOutputIsOneObjectPerLine) {
    Serve({{"a.bin", TestBytes(200000, 2)}, {"b.bin", TestBytes(1000, 3)}});
    const ProcessResult result = Run({"--json", "--folder", folder_.string(), ListUrl()});
    ASSERT_EQ(result.exitCode, kExitSuccess) << result.err;
    std::istringstream lines(result.out);
    std::string line;
    std::vector<std::string> names;
    while (std::getline(lines, line)) {
        EXPECT_TRUE(IsJsonObject(line)) << line;
        const size_t at = line.find("\"name\":\"");
        ASSERT_NE(at, std::string::npos) << line;
        names.push_back(line.substr(at + 8, line.find('"', at + 8) - at - 8));
    }
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "data-done");
    EXPECT_EQ(names.back(), "job-done");
    EXPECT_EQ(std::count(names.begin(), names.end(), "file-done"), 2);
    EXPECT_NE(std::find(names.begin(), names.end(), "check-done"), names.end());
    // The sizes and counts ride with the events that learn them.
    EXPECT_NE(result.out.find("\"name\":\"check-done\",\"total\":201000,\"files\":2"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("\"name\":\"job-done\",\"files\":2,\"completed\":2,"
                              "\"total\":201000,\"fetched\":201000,"),
              std::string::npos)
        << result.out;
}

TEST_F(CliTest, InterruptedRunResumesWhereItStopped) {
    const std::string big = TestBytes(6 << 20, 4);
    Serve({{"big.pak", big}});
    // Only the download asks with Range; the size check goes through at full speed.
    server_.AddRule("/game/big.pak",
                    {.kind = HttpRule::Rate, .bytesPerSecond = 2 << 20, .onlyWithRange = true});
    std::atomic<bool> signalled{false};
    ProcessOptions interrupt;
    interrupt.onOutputLine = [&](const std::string& line, pid_t pid) {
        if (!signalled && line.find("\"name\":\"job-progress\"") != std::string::npos &&
            line.find("\"present\":0,") == std::string::npos) {
            signalled = true;
            kill(pid, SIGINT);
        }
    };
    const ProcessResult first = Run({"--json", "--folder", folder_.string(), ListUrl()}, interrupt);
    ASSERT_TRUE(signalled) << first.out << first.err;
    EXPECT_EQ(first.exitCode, kExitInterrupted) << first.err;
    EXPECT_NE(first.err.find("run again to resume"), std::string::npos) << first.err;
    const auto partial = fs::file_size(folder_ / "big.pak");
    ASSERT_GT(partial, 0u);
    ASSERT_LT(partial, big.size());

    server_.ClearRules();
    const ProcessResult second = Run({"--quiet", "--folder", folder_.string(), ListUrl()});
    ASSERT_EQ(second.exitCode, kExitSuccess) << second.err;
    EXPECT_EQ(second.out, "") << "quiet prints nothing on success";
    EXPECT_TRUE(ReadWholeFile(folder_ / "big.pak") == big);
    const auto ranges = server_.RangeHeaders("/game/big.pak");
    ASSERT_FALSE(ranges.empty());
    EXPECT_EQ(ranges.back(), "bytes=" + std::to_string(partial) + "-");
}

TEST_F(CliTest, EachFailureHasItsExitCodeAndNamesWhatFailed) {
    Serve({{"ok.bin", "fine"}});
    server_.SetContent("/long.txt", std::string(1500, 'x') + "\n");
    const std::string deadPort = std::to_string(UnusedPort());
    server_.SetContent("/dead.txt", "http://127.0.0.1:" + deadPort + "/x\n");
    server_.SetContent("/broken.txt", server_.Url("/broken.bin") + "\n");
    server_.SetContent("/broken.bin", "payload");
    server_.AddRule("/broken.bin",
                    {.kind = HttpRule::Status, .status = 500, .onlyWithRange = true});
    // A line ending in '/' names no file: the job cannot be done without it.
    server_.SetContent("/nameless.txt",
                       server_.Url("/game/dir/") + "\n" + server_.Url("/game/ok.bin") + "\n");
    server_.SetContent("/game/dir/", "an index page");
    server_.SetContent("/game/dir", "an index page");
    std::ofstream(root_ / "not-a-folder") << "x";
    server_.SetContent("/with-missing.txt",
                       server_.Url("/game/ok.bin") + "\n" + server_.Url("/game/gone.bin") + "\n");
    std::string httpsOnHttp = server_.Url("/game/filelist.txt");
    httpsOnHttp.replace(0, 4, "https");
    const TestPki pki = MakeTestPki((root_ / "pki").string());
    TestHttpServer selfSigned(TestHttpServer::Options{
        .tlsCertificate = pki.selfSigned.certificateFile, .tlsKey = pki.selfSigned.keyFile});
    selfSigned.SetContent("/list.txt", server_.Url("/game/ok.bin") + "\n");
    const std::string untrusted = selfSigned.Url("/list.txt");
    const std::string refusedPort = std::to_string(UnusedPort());
    const std::string refused = "http://127.0.0.1:" + refusedPort + "/list.txt";

    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string named;
        std::string why = {};  // said after what it names
    };
    const Case cases[] = {
        {{"--no-such-option"}, kExitUsage, "--no-such-option"},
        {{"a", "b"}, kExitUsage, "b"},
        {{refused}, kExitFileList, refused, "connection refused by 127.0.0.1:" + refusedPort},
        {{server_.Url("/missing.txt")},
         kExitFileList,
         server_.Url("/missing.txt"),
         "the server answered 404"},
        {{"no-url-here"}, kExitFileList, "no-url-here", "it is not a URL"},
        {{"ftp://127.0.0.1/list.txt"},
         kExitFileList,
         "ftp://127.0.0.1/list.txt",
         "the scheme ftp: is not supported"},
        {{httpsOnHttp}, kExitFileList, httpsOnHttp, "TLS handshake"},
        {{untrusted}, kExitFileList, untrusted, "is not trusted (self-signed certificate)"},
        {{"--folder", folder_.string(), server_.Url("/with-missing.txt")},
         kExitSizeCheck,
         server_.Url("/game/gone.bin"),
         ": the server answered 404"},
        {{server_.Url("/long.txt")}, kExitFileList, server_.Url("/long.txt")},
        {{"--folder", folder_.string(), server_.Url("/nameless.txt")},
         kExitDownload,
         server_.Url("/game/dir/")},
        {{server_.Url("/dead.txt")},
         kExitSizeCheck,
         "http://127.0.0.1:" + deadPort + "/x",
         ": connection refused"},
        {{"--folder", (root_ / "not-a-folder" / "x").string(), ListUrl()},
         kExitDownload,
         (root_ / "not-a-folder" / "x").string()},
        {{"--folder", folder_.string(), server_.Url("/broken.txt")},
         kExitDownload,
         server_.Url("/broken.bin")},
    };
    for (const Case& c : cases) {
        const ProcessResult result = Run(c.args);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.args.back() << "\n" << result.err;
        EXPECT_NE(result.err.find(c.named), std::string::npos) << result.err;
        EXPECT_NE(result.err.find(c.why, result.err.find(c.named)), std::string::npos)
            << result.err;
        // One clear line, besides the warning that an unsigned list's files are unverified.
        std::string errors;
        std::istringstream lines(result.err);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("tev-download: warning: ", 0) != 0) {
                errors += line + "\n";
            }
        }
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), c.exitCode == kExitUsage ? 2 : 1)
            << "one clear line: " << result.err;
    }
}

// A folder on a disk without room for the job is refused before anything is fetched, with the
// folder and the amount; the run happens on a 1 MiB tmpfs of its own (root only).
TEST_F(CliTest, AFolderWithoutRoomIsRefusedUpFront) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    }
    Serve({{"big.pak", TestBytes(3 << 20, 12)}});
    const fs::path disk = root_ / "small-disk";
    fs::create_directories(disk);
    ProcessOptions options;
    options.environment.emplace_back("TEV_REPORT_SERVER",
                                     "127.0.0.1:" + std::to_string(UnusedPort()));
    const std::string folder = (disk / "game").string();
    const ProcessResult result =
        RunProcess({"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                    "mount -t tmpfs -o size=1m tmpfs \"$0\" || exit 99; exec \"$@\"", disk.string(),
                    TEV_DOWNLOAD_PROGRAM, "--folder", folder, ListUrl()},
                   options);
    if (result.exitCode == 99) {
        GTEST_SKIP() << "no tmpfs here: " << result.err;
    }
    EXPECT_EQ(result.exitCode, kExitDownload) << result.out << result.err;
    EXPECT_NE(result.err.find("not enough free space in " + folder +
                              "/: " + FormatSize(double(3 << 20)) + " still needed"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(server_.RequestCount("/game/big.pak"), 1u) << "the size check only";
}

// --cacert trusts a private CA for this run (the library's file list, size check and files);
// without it the same server is refused. -v copies this run's log lines to standard error.
TEST_F(CliTest, CacertTrustsAPrivateCaAndVerboseShowsTheLog) {
    const TestPki pki = MakeTestPki((root_ / "pki").string());
    TestHttpServer tls(TestHttpServer::Options{.tlsCertificate = pki.server.certificateFile,
                                               .tlsKey = pki.server.keyFile});
    tls.SetContent("/game/a.bin", TestBytes(70000, 13));
    tls.SetContent("/game/filelist.txt", tls.Url("/game/a.bin") + "\n");
    const std::string list = tls.Url("/game/filelist.txt");

    const ProcessResult refused = Run({"--folder", folder_.string(), list});
    EXPECT_EQ(refused.exitCode, kExitFileList) << refused.err;
    EXPECT_NE(refused.err.find("is not trusted"), std::string::npos) << refused.err;

    const ProcessResult trusted =
        Run({"-v", "--cacert", pki.caFile, "--folder", folder_.string(), list});
    ASSERT_EQ(trusted.exitCode, kExitSuccess) << trusted.err;
    EXPECT_TRUE(ReadWholeFile(folder_ / "a.bin") == TestBytes(70000, 13));
    EXPECT_NE(trusted.err.find("library: ["), std::string::npos) << trusted.err;
    EXPECT_NE(trusted.err.find("[TessloadLib] Launch("), std::string::npos) << trusted.err;

    const ProcessResult missing = Run({"--cacert", (root_ / "none.pem").string(), list});
    EXPECT_EQ(missing.exitCode, kExitUsage);
    EXPECT_NE(missing.err.find("none.pem"), std::string::npos) << missing.err;
}

// A list signed with tev-publish list: its files are checked against the manifest and an
// installer that does not match never runs; a manifest that does not verify refuses the list.
class CliSignedListTest : public CliTest {
  protected:
    // Serves the files and their list, signed as published (with key, or the test's own).
    void ServeSigned(const std::vector<std::pair<std::string, std::string>>& files,
                     const TestSigningKey* key = nullptr, int expiresDays = 30) {
        const fs::path published = root_ / "published";
        fs::create_directories(published);
        std::string list;
        tev::tools::ListPublishOptions options;
        for (const auto& [name, bytes] : files) {
            server_.SetContent("/game/" + name, bytes);
            list += server_.Url("/game/" + name) + "\r\n";
            std::ofstream((published / name).string(), std::ios::binary) << bytes;
            options.files.push_back((published / name).string());
        }
        std::ofstream((published / "filelist.txt").string(), std::ios::binary) << list;
        server_.SetContent("/game/filelist.txt", list);
        options.list = (published / "filelist.txt").string();
        options.signingKey = key != nullptr ? key->privateKey : TestUpdateKey().privateKey;
        options.expiresDays = expiresDays;
        std::string error;
        ASSERT_TRUE(tev::tools::PublishListManifest(options, &error)) << error;
        server_.SetContent("/game/filelist.txt.manifest",
                           ReadWholeFile(options.list + ".manifest"));
        server_.SetContent("/game/filelist.txt.manifest.sig",
                           ReadWholeFile(options.list + ".manifest.sig"));
    }
    bool InstallerRan() {
        for (int i = 0; i < 40; ++i) {
            if (fs::exists(folder_ / "INSTALLED")) {
                return true;
            }
            usleep(50000);
        }
        return false;
    }
    const std::string installer_ = "#!/bin/sh\necho ran > \"$(dirname \"$0\")/INSTALLED\"\n";
    const std::string altered_ = "#!/bin/sh\necho bad > \"$(dirname \"$0\")/INSTALLED\"\n";
};

TEST_F(CliSignedListTest, AGoodSignedListInstalls) {
    TestUpdateKey();
    ServeSigned({{"data.pak", TestBytes(200000, 21)}, {"setup.sh", installer_}});
    const ProcessResult result = Run({"--install", "--folder", folder_.string(), ListUrl()});
    ASSERT_EQ(result.exitCode, kExitSuccess) << result.out << result.err;
    EXPECT_NE(result.out.find("The file list's signature was verified"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("Verified 2 files against the file list's manifest"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(result.err.find("warning"), std::string::npos) << result.err;
    EXPECT_TRUE(InstallerRan());
}

// The installer changed on the server after the list was signed: fetched again once, still
// wrong, the job fails naming it and nothing runs.
TEST_F(CliSignedListTest, AnAlteredInstallerIsNeverStarted) {
    TestUpdateKey();
    ServeSigned({{"data.pak", TestBytes(200000, 22)}, {"setup.sh", installer_}});
    server_.SetContent("/game/setup.sh", altered_);
    const ProcessResult result = Run({"--install", "--folder", folder_.string(), ListUrl()});
    EXPECT_EQ(result.exitCode, kExitDownload) << result.out << result.err;
    EXPECT_NE(result.out.find("Fetching setup.sh again: "), std::string::npos) << result.out;
    EXPECT_NE(result.err.find("download failed: " + (folder_ / "setup.sh").string() +
                              " does not match the file list's manifest after a second fetch"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("SHA-256"), std::string::npos) << result.err;
    EXPECT_FALSE(InstallerRan());
    EXPECT_FALSE(fs::exists(folder_ / "setup.sh")) << "bytes that failed their check are not kept";
}

// A digest failure is fetched again once: a server that serves the right bytes the second time
// completes the job.
TEST_F(CliSignedListTest, AFileThatFailsItsCheckIsFetchedAgainOnce) {
    TestUpdateKey();
    ServeSigned({{"setup.sh", installer_}, {"data.pak", TestBytes(100000, 23)}});
    const std::string good = TestBytes(100000, 23);
    std::string bad = good;
    bad[50000] ^= 1;
    server_.SetContent("/game/data.pak", bad);
    ProcessOptions options;
    options.onOutputLine = [&](const std::string& line, pid_t) {
        if (line.rfind("Fetching data.pak again", 0) == 0) {
            server_.SetContent("/game/data.pak", good);
        }
    };
    server_.AddRule("/game/data.pak", {.kind = HttpRule::AddHeaders, .headDelayMs = 200});
    const ProcessResult result = Run({"--folder", folder_.string(), ListUrl()}, options);
    ASSERT_EQ(result.exitCode, kExitSuccess) << result.out << result.err;
    EXPECT_NE(result.out.find("Fetching data.pak again: "), std::string::npos) << result.out;
    EXPECT_TRUE(ReadWholeFile(folder_ / "data.pak") == good);
}

// A manifest that is there but does not verify refuses the list before any of its files is
// fetched, with the reason.
TEST_F(CliSignedListTest, AManifestThatDoesNotVerifyRefusesTheList) {
    TestUpdateKey();
    const TestSigningKey stranger = MakeSigningKey("stranger");
    struct Case {
        const char* name;
        std::function<void()> prepare;
        std::string why;
    };
    const std::vector<std::pair<std::string, std::string>> files = {
        {"data.pak", TestBytes(5000, 24)}, {"setup.sh", installer_}};
    const Case cases[] = {
        {"an untrusted key", [&] { ServeSigned(files, &stranger); },
         "no signature by a trusted key"},
        {"an expired manifest",
         [&] {
             ServeSigned(files);
             // Signed by the trusted key, with an expiry in the past.
             CUpdateManifest manifest;
             std::string error;
             ASSERT_TRUE(ParseManifest(ReadWholeFile(root_ / "published" / "filelist.txt.manifest"),
                                       &manifest, &error));
             manifest.expires = static_cast<int64_t>(time(nullptr)) - 60;
             const std::string text = FormatManifest(manifest);
             std::string signature;
             ASSERT_TRUE(
                 SignData(ReadWholeFile(TestUpdateKey().privateKey), text, &signature, &error));
             server_.SetContent("/game/filelist.txt.manifest", text);
             server_.SetContent("/game/filelist.txt.manifest.sig", signature);
         },
         "expired"},
        {"the list changed after signing",
         [&] {
             ServeSigned(files);
             server_.SetContent("/game/filelist.txt", server_.Url("/game/setup.sh") + "\r\n");
         },
         "the file list's bytes are not the ones its manifest lists"},
        {"signatures missing",
         [&] {
             ServeSigned(files);
             server_.RemoveContent("/game/filelist.txt.manifest.sig");
         },
         "cannot be fetched (the server answered 404)"},
        {"a manifest beyond its bound",
         [&] {
             ServeSigned(files);
             server_.SetContent("/game/filelist.txt.manifest", std::string(70000, 'x'));
         },
         "larger than 65536 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server_.ResetStatistics();
        c.prepare();
        const ProcessResult result = Run({"--install", "--folder", folder_.string(), ListUrl()});
        EXPECT_EQ(result.exitCode, kExitFileList) << result.out << result.err;
        EXPECT_NE(result.err.find("the file list " + ListUrl() + " is refused: "),
                  std::string::npos)
            << result.err;
        EXPECT_NE(result.err.find(c.why), std::string::npos) << result.err;
        EXPECT_EQ(server_.RequestCount("/game/setup.sh"), 0u);
        EXPECT_FALSE(fs::exists(folder_ / "setup.sh"));
    }
}

TEST_F(CliTest, ARelativeFolderIsTakenFromWhereTheUserIs) {
    Serve({{"a.bin", TestBytes(5000, 6)}});
    ProcessOptions options;
    options.workingFolder = root_.string();
    const ProcessResult result = Run({"--folder", "rel/../games/./QK", ListUrl()}, options);
    ASSERT_EQ(result.exitCode, kExitSuccess) << result.err;
    const fs::path expected = root_ / "games" / "QK" / "a.bin";
    EXPECT_TRUE(ReadWholeFile(expected) == TestBytes(5000, 6));
    EXPECT_NE(result.out.find("done: " + expected.string()), std::string::npos) << result.out;
}

// The installer is found by the same rule as in the window: a comma inside its URL does not cut
// its path.
TEST_F(CliTest, InstallStartsTheDownloadedInstaller) {
    Serve({{"data.pak", TestBytes(10000, 5)},
           {"inst,1.sh", "#!/bin/sh\necho ran > \"$(dirname \"$0\")/INSTALLED\"\n"}});
    const ProcessResult result = Run({"--install", "--folder", folder_.string(), ListUrl()});
    ASSERT_EQ(result.exitCode, kExitSuccess) << result.err;
    bool ran = false;
    for (int i = 0; i < 100 && !ran; ++i) {
        ran = fs::exists(folder_ / "INSTALLED");
        if (!ran) {
            usleep(50000);
        }
    }
    EXPECT_TRUE(ran);
}

TEST(CliOptions, HelpVersionAndUsage) {
    const ProcessResult help = RunProcess({TEV_DOWNLOAD_PROGRAM, "--help"}, {});
    EXPECT_EQ(help.exitCode, kExitSuccess);
    EXPECT_NE(help.out.find("Usage: tev-download"), std::string::npos);
    const ProcessResult version = RunProcess({TEV_DOWNLOAD_PROGRAM, "--version"}, {});
    EXPECT_EQ(version.exitCode, kExitSuccess);
    EXPECT_EQ(version.out.rfind("tev-download ", 0), 0u);
    std::string error;
    EXPECT_FALSE(ParseCliOptions({"--folder"}, &error));
    EXPECT_FALSE(ParseCliOptions({"--folder="}, &error));
    const auto parsed = ParseCliOptions({"-l", "--folder=/x", "-i", "http://h/l"}, &error);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->limited && parsed->install);
    EXPECT_EQ(parsed->folder, "/x");
    EXPECT_EQ(parsed->fileListUrl, "http://h/l");
}

// --resume takes yes, no or ask; anything else is a usage error.
TEST(CliOptions, ResumeAnswers) {
    const std::pair<const char*, ResumeAnswer> cases[] = {{"--resume=yes", ResumeAnswer::Yes},
                                                          {"--resume=no", ResumeAnswer::No},
                                                          {"--resume=ask", ResumeAnswer::Ask}};
    std::string error;
    for (const auto& [arg, answer] : cases) {
        const std::optional<CliOptions> options = ParseCliOptions({arg}, &error);
        ASSERT_TRUE(options) << arg;
        EXPECT_EQ(options->resume, answer) << arg;
    }
    EXPECT_EQ(ParseCliOptions({}, &error)->resume, ResumeAnswer::Default);
    EXPECT_FALSE(ParseCliOptions({"--resume=maybe"}, &error));
    EXPECT_NE(error.find("yes, no or ask"), std::string::npos);
}

namespace {

// tev-download with the engine path in front: the test server also serves the engine update
// (the stand-in engine, published), so the library installs, starts and uses the stand-in,
// which follows the script the test writes beside it.
class CliEngineTest : public CliTest {
  protected:
    void SetUp() override {
        CliTest::SetUp();
        enginePath_ = GetEngineFilePath();
        std::string error;
        ASSERT_TRUE(ServeStandInEngineUpdate(server_, root_.string(), &error)) << error;
    }
    void TearDown() override { EndStandIn(enginePid_); }

    // Runs tev-download --json against the engine path; the engine's port is private.
    ProcessResult RunWithEngine(std::vector<std::string> args, int standardInput = -1) {
        const std::string address = server_.Url("");
        ProcessOptions options;
        options.standardInput = standardInput;
        options.environment = {{"TEV_DOWNLOAD_SERVER", address.substr(address.find("//") + 2)},
                               {"TEV_ENGINE_PORT", std::to_string(UnusedPort())}};
        fs::remove(enginePath_ + ".received");
        const ProcessResult result = Run(std::move(args), options);
        enginePid_ = StandInPid(enginePath_);
        EndStandIn(enginePid_);
        return result;
    }

    std::string enginePath_;
    pid_t enginePid_ = -1;
};

size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace

// The engine asks whether to resume; the answer of --resume, or of the person at the terminal,
// reaches it as type 18 and the job ends on the engine path: one engine, one connection, nothing
// moved to the direct downloader.
TEST_F(CliEngineTest, TheResumeAnswerReachesTheEngineWhichFinishesTheJob) {
    Serve({{"a.bin", TestBytes(3000, 8)}});
    const std::string url = server_.Url("/game/a.bin");
    const std::string path = (folder_ / "a.bin").string();
    ASSERT_TRUE(InstallStandInEngine(
        enginePath_,
        {"listen", "ready", "accept", "until 102 14",
         "send 100 4 " + StandInPayloadWithJob(ep::JobAccepted{0, 5, 1, 3000}),
         "send 100 16 " + StandInPayloadWithJob(ep::ResumeQuery{0}), "until 100 18",
         "send 100 7 " + StandInPayloadWithJob(ep::FileCompleted{0, 5, "svc", path, url}),
         "send 100 6 " + StandInPayloadWithJob(ep::JobFinished{0, 5, 0, 0}), "drain"}));

    // Without --resume on a terminal the person is asked: "n" resumes nothing, for this file only.
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    const int input = open(ptsname(terminal), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(input, 0);
    ASSERT_EQ(write(terminal, "n\n", 2), 2);
    struct Case {
        std::vector<std::string> options;
        int standardInput;
        std::string answers;  // resume, then for all files
    };
    const Case cases[] = {
        {{"--resume=yes"}, -1, "0101"}, {{"--resume=no"}, -1, "0001"}, {{}, input, "0000"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answers);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--json", "--folder", folder_.string(), ListUrl()});
        const ProcessResult result = RunWithEngine(args, c.standardInput);
        EXPECT_EQ(result.exitCode, kExitSuccess) << result.out << result.err;
        EXPECT_EQ(CountOf(result.out, "\"name\":\"resume-query\""), 1u) << result.out;
        EXPECT_EQ(CountOf(result.out, "\"name\":\"engine-updated\""), 1u) << "no restart";
        EXPECT_EQ(CountOf(result.out, "\"name\":\"file-done\""), 1u);
        EXPECT_NE(result.out.find("\"path\":\"" + path + "\""), std::string::npos);
        EXPECT_EQ(CountOf(result.out, "\"event\":" + std::to_string(JOB_EVENT_MOVED)), 0u);
        EXPECT_EQ(CountOf(result.out, "engine-update-failed"), 0u);
        EXPECT_FALSE(fs::exists(path)) << "the direct downloader wrote the file";

        // The list came once (a restart sends it again); type 18 holds engine-side number 5,
        // the job of the list, and the two answers.
        const StandInRecord record = ReadStandInRecord(enginePath_);
        ASSERT_EQ(record.lists.size(), 1u);
        const std::string& job = record.lists[0];
        EXPECT_EQ(record.replies, std::vector<std::string>{"05000000" + job + c.answers});
        EXPECT_EQ(result.err.find("Resume it?") != std::string::npos, c.standardInput >= 0);
    }
    close(input);
    close(terminal);
}

// The engine fails the job (type 11), here refusing its list before accepting it: the run ends
// with the engine's text, on the engine path; the direct downloader does not take the job, and
// a type 6 the engine might still send for it changes nothing.
TEST_F(CliEngineTest, AJobTheEngineFailsEndsWithTheEnginesText) {
    Serve({{"a.bin", TestBytes(3000, 9)}});
    const std::string why = "refused file name \"a.bin\": a test's reason";
    ASSERT_TRUE(InstallStandInEngine(
        enginePath_,
        {"listen", "ready", "accept", "until 102 14",
         "send 100 11 " + StandInPayloadWithJob(ep::JobFailed{0, 0, why}),
         "send 100 6 " + StandInPayloadWithJob(ep::JobFinished{0, 0, 0, 1}), "drain"}));
    const ProcessResult result = RunWithEngine({"--json", "--folder", folder_.string(), ListUrl()});
    EXPECT_EQ(result.exitCode, kExitDownload) << result.out << result.err;
    EXPECT_NE(result.err.find("download failed: " + why), std::string::npos) << result.err;
    EXPECT_EQ(CountOf(result.out, "\"event\":" + std::to_string(JOB_EVENT_FAILED)), 1u);
    EXPECT_EQ(CountOf(result.out, "\"event\":" + std::to_string(JOB_EVENT_MOVED)), 0u);
    EXPECT_EQ(CountOf(result.out, "\"name\":\"engine-updated\""), 1u) << "no restart";
    EXPECT_EQ(CountOf(result.out, "job-done"), 0u);
    EXPECT_FALSE(fs::exists(folder_ / "a.bin"));
    EXPECT_EQ(server_.RequestCount("/game/a.bin"), 1u) << "the host's size check only";
}

// The engine's last progress lags behind its completion (4900 of 5000 bytes): the terminal ends
// with the job's total at 100 % after the file's line, never with the lagging figures.
TEST_F(CliEngineTest, AFinishedJobShowsItsTotalsWhateverTheLastProgressSaid) {
    Serve({{"a.bin", TestBytes(5000, 8)}});
    const std::string url = server_.Url("/game/a.bin");
    const std::string path = (folder_ / "a.bin").string();
    const ep::JobProgress lagging{0, 5, 1, 0, 5000, 4900, 980, 5, {}};
    ASSERT_TRUE(InstallStandInEngine(
        enginePath_,
        {"listen", "ready", "accept", "until 102 14",
         "send 100 4 " + StandInPayloadWithJob(ep::JobAccepted{0, 5, 1, 5000}),
         "send 100 5 " + StandInPayloadWithJob(lagging), "sleep 1200",
         "send 100 7 " + StandInPayloadWithJob(ep::FileCompleted{0, 5, "svc", path, url}),
         "send 100 5 " + StandInPayloadWithJob(lagging),
         "send 100 6 " + StandInPayloadWithJob(ep::JobFinished{0, 5, 0, 0}), "drain"}));
    const std::string address = server_.Url("");
    const ProcessResult result =
        RunOnTerminal({"--folder", folder_.string(), ListUrl()},
                      {{"TEV_DOWNLOAD_SERVER", address.substr(address.find("//") + 2)},
                       {"TEV_ENGINE_PORT", std::to_string(UnusedPort())},
                       {"TEV_REPORT_SERVER", "127.0.0.1:" + std::to_string(UnusedPort())}});
    enginePid_ = StandInPid(enginePath_);
    ASSERT_EQ(result.exitCode, kExitSuccess) << result.out;
    const std::vector<std::string> lines = DrawnLines(result.out);
    size_t done = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find("[1/1] done: " + path) != std::string::npos) {
            done = i;
        }
    }
    ASSERT_LT(done + 1, lines.size()) << result.out;
    const std::string& last = lines[done + 1];
    EXPECT_NE(last.find(FormatSize(5000) + " / " + FormatSize(5000)), std::string::npos) << last;
    EXPECT_NE(last.find("100%"), std::string::npos) << last;
    for (size_t i = done + 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].find(FormatSize(4900) + " / "), std::string::npos)
            << "a lagging figure after the last file: " << lines[i];
    }
}

// An engine that says nothing of the job's progress (no type 5 for seconds): the host shows what
// the folder holds, the engine's partial file included, rather than nothing.
TEST_F(CliEngineTest, ProgressShowsEvenWhenTheEngineSendsNone) {
    Serve({{"a.bin", TestBytes(5000, 8)}});
    const std::string url = server_.Url("/game/a.bin");
    const std::string path = (folder_ / "a.bin").string();
    fs::create_directories(folder_);
    std::ofstream(path + ".tevpart") << TestBytes(2000, 8).substr(0, 2000);
    ASSERT_TRUE(InstallStandInEngine(
        enginePath_,
        {"listen", "ready", "accept", "until 102 14",
         "send 100 4 " + StandInPayloadWithJob(ep::JobAccepted{0, 5, 1, 5000}), "sleep 4500",
         "send 100 7 " + StandInPayloadWithJob(ep::FileCompleted{0, 5, "svc", path, url}),
         "send 100 6 " + StandInPayloadWithJob(ep::JobFinished{0, 5, 0, 0}), "drain"}));
    const ProcessResult result = RunWithEngine({"--json", "--folder", folder_.string(), ListUrl()});
    EXPECT_EQ(result.exitCode, kExitSuccess) << result.out << result.err;
    EXPECT_NE(result.out.find("\"name\":\"job-progress\",\"total\":5000,\"present\":2000,"),
              std::string::npos)
        << result.out;
}

// --sharing writes the engine's setting (keeping the file's other lines) and downloads nothing.
TEST(CliOptions, SharingWritesTheEnginesSetting) {
    const std::string settings = GetEngineFolderPath() + "config/sharing.conf";
    fs::create_directories(GetEngineFolderPath() + "config");
    std::ofstream(settings) << "ratio=2\n";
    const ProcessResult off = RunProcess({TEV_DOWNLOAD_PROGRAM, "--sharing=off"}, {});
    EXPECT_EQ(off.exitCode, kExitSuccess) << off.err;
    std::ifstream written(settings);
    const std::string text((std::istreambuf_iterator<char>(written)), {});
    EXPECT_EQ(text, "ratio=2\nsharing=off\n");
    const ProcessResult on = RunProcess({TEV_DOWNLOAD_PROGRAM, "--sharing", "on"}, {});
    EXPECT_EQ(on.exitCode, kExitSuccess) << on.err;
    std::ifstream again(settings);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(again)), {}), "ratio=2\nsharing=on\n");
    std::string error;
    EXPECT_FALSE(ParseCliOptions({"--sharing=maybe"}, &error));
    EXPECT_FALSE(ParseCliOptions({"--sharing"}, &error));
}
