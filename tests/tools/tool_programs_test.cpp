// The two tool programs as scripts use them: start, publish the port, serve, stop on SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "raw_http.h"
#include "report_collector/report_frame.h"
#include "report_collector/report_store.h"
#include "support/test_certificates.h"
#include "test_stores.h"

namespace fs = std::filesystem;

extern char** environ;

namespace {

// A child process whose output goes to a file; killed if a test leaves it running.
class Program {
  public:
    Program(std::vector<std::string> arguments, const fs::path& output) {
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }

    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    bool Started() const { return pid_ > 0; }

    // The exit code, or nullopt when the program is still running after timeoutMs.
    std::optional<int> Wait(int timeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return std::nullopt;
    }

    std::optional<int> Terminate(int timeoutMs = 5000) {
        kill(pid_, SIGTERM);
        return Wait(timeoutMs);
    }

    // kill -9: no chance to finish anything.
    void Kill() {
        kill(pid_, SIGKILL);
        Wait(10000);
    }

  private:
    pid_t pid_ = -1;
};

// Waits for the program to publish its port; 0 after timeoutMs.
uint16_t ReadPortFile(const fs::path& path, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream file(path);
        unsigned port = 0;
        if (file >> port) {
            return static_cast<uint16_t>(port);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

std::string ReadText(const fs::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Runs curl and returns its exit code with what it wrote to standard output.
std::pair<int, std::string> Curl(const std::vector<std::string>& arguments, const fs::path& out) {
    std::vector<std::string> argv = {"/usr/bin/curl", "-s", "--max-time", "10"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Program curl(argv, out);
    const std::optional<int> code = curl.Wait(15000);
    return {code.value_or(-1), ReadText(out)};
}

class ToolProgramsTest : public ::testing::Test {
  protected:
    fs::path base_ = fs::path(std::getenv("TEV_TEST_ROOT"));
};

TEST_F(ToolProgramsTest, TestServerServesAFolderWithCommandLineRulesUntilTerminated) {
    const fs::path root = base_ / "www";
    fs::create_directories(root);
    std::ofstream(root / "file.txt") << "0123456789abcdefghij";
    const fs::path portFile = base_ / "server.port";
    Program server({TEV_TEST_SERVER_PROGRAM, "--root", root.string(), "--port", "0", "--port-file",
                    portFile.string(), "--rule", "/file.txt:first=1,range-only,close-after=3"},
                   base_ / "server.log");
    ASSERT_TRUE(server.Started());
    const uint16_t port = ReadPortFile(portFile);
    ASSERT_NE(port, 0) << ReadText(base_ / "server.log");
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/file.txt";

    // The first ranged request breaks (curl: partial file), the next is served.
    EXPECT_EQ(Curl({"-r", "5-", url}, base_ / "curl1.out").first, 18);
    EXPECT_EQ(Curl({"-r", "5-", url}, base_ / "curl2.out"),
              std::make_pair(0, std::string("56789abcdefghij")));
    EXPECT_EQ(Curl({url}, base_ / "curl3.out"),
              std::make_pair(0, std::string("0123456789abcdefghij")));

    EXPECT_EQ(server.Terminate(), 0);
    const std::string log = ReadText(base_ / "server.log");
    EXPECT_NE(log.find("port " + std::to_string(port)), std::string::npos) << log;
    EXPECT_NE(log.find("\"GET /file.txt\" 206"), std::string::npos) << log;
}

// A file's answers point at its torrent with the RFC 6249 Link header, under any other rule too;
// the torrent itself is served as a file.
TEST_F(ToolProgramsTest, TestServerLinksAFileToItsTorrent) {
    const fs::path root = base_ / "www";
    fs::create_directories(root);
    std::ofstream(root / "game.bin") << "0123456789";
    std::ofstream(root / "game.bin.torrent") << "d4:infodee";
    std::ofstream(root / "other.bin") << "abcdef";
    const fs::path portFile = base_ / "server.port";
    Program server(
        {TEV_TEST_SERVER_PROGRAM, "--root", root.string(), "--port-file", portFile.string(),
         "--rule", "/game.bin:link=/game.bin.torrent", "--rule",
         "/other.bin:link=http://127.0.0.1:1/o.torrent,range-only,ignore-range", "--quiet"},
        base_ / "server.log");
    ASSERT_TRUE(server.Started());
    const uint16_t port = ReadPortFile(portFile);
    ASSERT_NE(port, 0) << ReadText(base_ / "server.log");
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    const std::string link =
        "Link: </game.bin.torrent>; rel=describedby; type=\"application/x-bittorrent\"\r\n";

    for (const std::vector<std::string>& request :
         {std::vector<std::string>{"-D", "-", "-o", "/dev/null", base + "/game.bin"},
          std::vector<std::string>{"-I", base + "/game.bin"},
          std::vector<std::string>{"-D", "-", "-o", "/dev/null", "-r", "2-", base + "/game.bin"}}) {
        SCOPED_TRACE(request.back() + " " + request.front());
        const auto [code, head] = Curl(request, base_ / "head.out");
        EXPECT_EQ(code, 0);
        EXPECT_NE(head.find(link), std::string::npos) << head;
        EXPECT_NE(head.find("Content-Length"), std::string::npos) << head;
    }
    auto [code, head] =
        Curl({"-D", "-", "-o", (base_ / "t").string(), base + "/game.bin.torrent"}, base_ / "h");
    EXPECT_EQ(code, 0);
    EXPECT_EQ(head.find("Link:"), std::string::npos) << head;
    EXPECT_NE(head.find("Content-Type: application/x-bittorrent"), std::string::npos) << head;
    EXPECT_EQ(ReadText(base_ / "t"), "d4:infodee");

    // With another rule: only ranged requests match, and they get the whole file and the link.
    std::tie(code, head) = Curl(
        {"-D", "-", "-o", (base_ / "o").string(), "-r", "2-", base + "/other.bin"}, base_ / "h");
    EXPECT_EQ(code, 0);
    EXPECT_NE(head.find(" 200 "), std::string::npos) << head;
    EXPECT_NE(head.find("Link: <http://127.0.0.1:1/o.torrent>; rel=describedby"), std::string::npos)
        << head;
    EXPECT_EQ(ReadText(base_ / "o"), "abcdef");
    std::tie(code, head) = Curl({"-D", "-", "-o", "/dev/null", base + "/other.bin"}, base_ / "h");
    EXPECT_EQ(head.find("Link:"), std::string::npos) << head;
    EXPECT_EQ(server.Terminate(), 0);
}

// A client that gives up in the middle of a slowed https transfer leaves the server running: the
// write to the closed connection fails, it does not kill the server with SIGPIPE.
TEST_F(ToolProgramsTest, TestServerOutlivesAClientThatAbortsAnHttpsTransfer) {
    const TestPki pki = MakeTestPki((base_ / "pki").string());
    const fs::path root = base_ / "www";
    fs::create_directories(root);
    std::ofstream(root / "big.bin") << std::string(4 << 20, 'b');
    std::ofstream(root / "file.txt") << "still here";
    const fs::path portFile = base_ / "tls.port";
    Program server({TEV_TEST_SERVER_PROGRAM, "--root", root.string(), "--port-file",
                    portFile.string(), "--tls", pki.server.certificateFile, pki.server.keyFile,
                    "--rule", "/big.bin:rate=200000", "--quiet"},
                   base_ / "tls.log");
    ASSERT_TRUE(server.Started());
    const uint16_t port = ReadPortFile(portFile);
    ASSERT_NE(port, 0) << ReadText(base_ / "tls.log");
    const std::string base = "https://127.0.0.1:" + std::to_string(port);
    for (int round = 0; round < 3; ++round) {
        // curl stops after half a second: 28, a time-out, with the transfer half done.
        EXPECT_EQ(Curl({"--cacert", pki.caFile, "--max-time", "0.5", "-o", "/dev/null",
                        base + "/big.bin"},
                       base_ / "abort.out")
                      .first,
                  28);
    }
    EXPECT_FALSE(server.Wait(1000).has_value())
        << "the server died: " << ReadText(base_ / "tls.log");
    EXPECT_EQ(Curl({"--cacert", pki.caFile, base + "/file.txt"}, base_ / "after.out"),
              std::make_pair(0, std::string("still here")));
    EXPECT_EQ(server.Terminate(), 0);
}

TEST_F(ToolProgramsTest, ReportCollectorStoresReportsUntilTerminated) {
    const fs::path database = base_ / "reports.db";
    const fs::path portFile = base_ / "collector.port";
    Program collector({TEV_REPORT_COLLECTOR_PROGRAM, "--port", "0", "--db", database.string(),
                       "--port-file", portFile.string()},
                      base_ / "collector.log");
    ASSERT_TRUE(collector.Started());
    const uint16_t port = ReadPortFile(portFile);
    ASSERT_NE(port, 0) << ReadText(base_ / "collector.log");

    TcpConnection connection = ConnectLoopback(port);
    ASSERT_TRUE(connection.Send(tev::tools::BuildReportMessage({{"svc", "http://h/a", 42, 1}})));
    const std::string ack = tev::tools::BuildReportAck();
    EXPECT_EQ(connection.ReceiveExactly(ack.size()), ack);

    EXPECT_EQ(collector.Terminate(), 0);
    const std::vector<tev::tools::StoredReport> rows = tev::tools::ReadReportsFile(database);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].url, "http://h/a");
    EXPECT_EQ(rows[0].bytes, 42);
}

TEST_F(ToolProgramsTest, ProgramsExplainTheirOptionsAndRefuseBadOnes) {
    struct Case {
        std::vector<std::string> arguments;
        int code;
        const char* output;
    };
    const Case cases[] = {
        {{TEV_TEST_SERVER_PROGRAM, "--help"}, 0, "--rule RULE"},
        {{TEV_TEST_SERVER_PROGRAM}, 2, "--root is required"},
        {{TEV_TEST_SERVER_PROGRAM, "--root", "/", "--rule", "/x:explode"}, 2, "bad rule"},
        {{TEV_TEST_SERVER_PROGRAM, "--help"}, 0, "rel=describedby"},
        {{TEV_TEST_SERVER_PROGRAM, "--root", "/", "--port", "70000"}, 2, "bad port"},
        {{TEV_TEST_SERVER_PROGRAM, "--root", "/", "--tls", "cert.pem"}, 2, "--tls needs"},
        {{TEV_TEST_SERVER_PROGRAM, "--root", "/", "--tls", "/missing.pem", "/missing.key"},
         2,
         "cannot read the certificate /missing.pem"},
        {{TEV_REPORT_COLLECTOR_PROGRAM, "--help"}, 0, "--db FILE"},
        {{TEV_REPORT_COLLECTOR_PROGRAM, "--frobnicate", "1"}, 2, "unknown option"},
        {{TEV_REPORT_COLLECTOR_PROGRAM, "--max-connections", "0"}, 2, "bad value 0"},
        {{TEV_REPORT_COLLECTOR_PROGRAM, "--idle-timeout", "soon"}, 2, "bad value soon"},
        {{TEV_REPORT_COLLECTOR_PROGRAM, "--memory-budget", "3"}, 2, "bad value 3"},
        {{TEV_REPORT_COLLECTOR_PROGRAM, "--store", "postgresql://tev@127.0.0.1:1/x", "--port", "0"},
         2,
         "cannot reach the database"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.back());
        const fs::path output = base_ / "program.out";
        Program program(c.arguments, output);
        EXPECT_EQ(program.Wait(10000), c.code);
        EXPECT_NE(ReadText(output).find(c.output), std::string::npos) << ReadText(output);
    }
}

}  // namespace

namespace {

// The collector killed (SIGKILL) in the middle of a load, restarted on the same store, a few times
// over: every report that was acknowledged is stored, whole.
class CollectorKillTest : public ::testing::TestWithParam<StoreKind>, public TestStoreLocation {
  protected:
    void SetUp() override { PrepareStore(GetParam()); }

    fs::path base_ = fs::path(std::getenv("TEV_TEST_ROOT"));
};

TEST_P(CollectorKillTest, AKilledCollectorLosesNoAcknowledgedReport) {
    constexpr int kRounds = 3;
    constexpr int kClients = 8;
    constexpr int kAcksBeforeKill = 150;
    const std::string ack = tev::tools::BuildReportAck();
    std::mutex mutex;
    std::set<std::string> acknowledged;  // the service ids of acknowledged messages

    for (int round = 0; round <= kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const fs::path portFile = base_ / ("collector-" + std::to_string(round) + ".port");
        const fs::path log = base_ / ("collector-" + std::to_string(round) + ".log");
        Program collector({TEV_REPORT_COLLECTOR_PROGRAM, "--port", "0", "--store", location_,
                           "--port-file", portFile.string(), "--quiet"},
                          log);
        ASSERT_TRUE(collector.Started());
        const uint16_t port = ReadPortFile(portFile);
        ASSERT_NE(port, 0) << ReadText(log);
        if (round == kRounds) {
            // The last start only shows that the collector goes on with the store.
            TcpConnection connection = ConnectLoopback(port);
            ASSERT_TRUE(connection.Send(tev::tools::BuildReportMessage({{"after", "u", 1, 1}})));
            EXPECT_EQ(connection.ReceiveExactly(ack.size()), ack);
            EXPECT_EQ(collector.Terminate(), 0);
            break;
        }

        std::atomic<int> acked{0};
        std::atomic<bool> stop{false};
        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c) {
            clients.emplace_back([&, c] {
                TcpConnection connection = ConnectLoopback(port);
                for (int m = 0; !stop; ++m) {
                    const std::string id = "r" + std::to_string(round) + "c" + std::to_string(c) +
                                           "m" + std::to_string(m);
                    if (!connection.Send(tev::tools::BuildReportMessage(
                            {{id, "http://h/a", m, 1}, {id, "http://h/b", m, 1}})) ||
                        connection.ReceiveExactly(ack.size(), 10000) != ack) {
                        return;  // killed
                    }
                    std::lock_guard lock(mutex);
                    acknowledged.insert(id);
                    ++acked;
                }
            });
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (acked < kAcksBeforeKill && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_GE(acked, kAcksBeforeKill) << ReadText(log);
        collector.Kill();  // while the clients keep sending
        stop = true;
        for (std::thread& client : clients) {
            client.join();
        }
    }

    std::map<std::string, int> records;  // service id -> its stored records
    for (const tev::tools::StoredReport& row : tev::tools::ReadReports(location_)) {
        ++records[row.serviceId];
    }
    EXPECT_EQ(records["after"], 1);
    for (const std::string& id : acknowledged) {
        EXPECT_EQ(records[id], 2) << id << " was acknowledged";
    }
    for (const auto& [id, count] : records) {
        EXPECT_TRUE(count == 2 || id == "after") << id << " stored torn: " << count;
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, CollectorKillTest,
                         ::testing::Values(StoreKind::Sqlite, StoreKind::Postgres), StoreKindName);

}  // namespace
