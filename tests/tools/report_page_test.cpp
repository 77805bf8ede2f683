// The report page: job reports stored through the collector's stores (or sent over loopback to a
// running collector) give a page whose figures match SQL over the stored rows computed here, on
// its own; and the page opens in a real browser without a script error or an empty chart.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>

#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <regex>

#include "report_collector/report_collector.h"
#include "report_collector/report_page.h"
#include "report_collector/report_rollup.h"
#include "report_collector/report_store.h"
#include "support/subprocess.h"
#include "test_stores.h"

using namespace tev::tools;
namespace fs = std::filesystem;

namespace {

using Rows = std::vector<std::vector<std::string>>;

// SQL straight on the stored rows, through a connection of the test's own.
Rows Sql(const std::string& location, const std::string& sql) {
    Rows rows;
    if (IsPostgresLocation(location)) {
        PGconn* connection = PQconnectdb(location.c_str());
        PGresult* result = PQexec(connection, sql.c_str());
        EXPECT_EQ(PQresultStatus(result), PGRES_TUPLES_OK) << PQerrorMessage(connection) << sql;
        for (int r = 0; r < PQntuples(result); ++r) {
            rows.emplace_back();
            for (int c = 0; c < PQnfields(result); ++c) {
                rows.back().emplace_back(PQgetvalue(result, r, c));
            }
        }
        PQclear(result);
        PQfinish(connection);
        return rows;
    }
    sqlite3* db = nullptr;
    sqlite3_open_v2(location.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db) << sql;
    while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
        rows.emplace_back();
        for (int c = 0; c < sqlite3_column_count(statement); ++c) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
            rows.back().emplace_back(text != nullptr ? text : "");
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

int64_t Int(const std::string& text) {
    return std::strtoll(text.c_str(), nullptr, 10);
}

// The numbers (data-n) of a table of the page, row by row; text cells give their text.
Rows TableOf(const std::string& page, const std::string& id) {
    Rows rows;
    const size_t start = page.find("<table class=\"figures\" id=\"" + id + "\"");
    if (start == std::string::npos) {
        ADD_FAILURE() << "no table " << id;
        return rows;
    }
    const std::string table = page.substr(start, page.find("</table>", start) - start);
    const std::regex row("<tr>(.*?)</tr>");
    const std::regex cell("<td( class=\"n\" data-n=\"([^\"]*)\")?[^>]*>([^<]*)</td>");
    for (auto r = std::sregex_iterator(table.begin(), table.end(), row);
         r != std::sregex_iterator(); ++r) {
        const std::string cells = (*r)[1];
        std::vector<std::string> values;
        for (auto c = std::sregex_iterator(cells.begin(), cells.end(), cell);
             c != std::sregex_iterator(); ++c) {
            values.push_back((*c)[1].matched ? std::string((*c)[2]) : std::string((*c)[3]));
        }
        if (!values.empty()) {
            rows.push_back(values);
        }
    }
    return rows;
}

constexpr int64_t kStartMs = 1796000400000;  // 2026-11-30T01:00Z

// A launch of known shape: jobs over six hours, both paths, four hosts, speeds spread over
// three decades, a few failures of each kind, two engine versions.
std::vector<ReportMessage> SeededReports(int count) {
    std::mt19937_64 random(34);
    const char* hosts[] = {"http://cdn-a.example/game/", "http://CDN-B.example:8080/game/",
                           "https://mirror.example/g/", "http://10.0.0.7/g/"};
    // Texts an SQL statement could trip over: quotes, a backslash, a semicolon.
    const char* failures[] = {"HTTP status 404", "timed out (connect); it's \\ 'quoted'",
                              "size mismatch: the server has 9 bytes, the list says 10"};
    std::vector<ReportMessage> messages;
    for (int i = 0; i < count; ++i) {
        ReportMessage message;
        message.peerAddress = "127.0.0.1";
        message.peerPort = static_cast<uint16_t>(40000 + i % 1000);
        message.receivedAtMs = kStartMs + static_cast<int64_t>(random() % (6 * kHourMs));
        message.isJob = true;
        JobReport& job = message.job;
        job.path = random() % 4 == 0 ? JobPath::Direct : JobPath::Engine;
        const uint64_t roll = random() % 20;
        job.outcome = roll < 15   ? JobOutcome::Completed
                      : roll < 18 ? JobOutcome::Failed
                      : roll < 19 ? JobOutcome::Stopped
                                  : JobOutcome::Moved;
        job.files = 1 + static_cast<uint32_t>(random() % 5);
        job.filesCompleted = job.outcome == JobOutcome::Completed ? job.files : 0;
        job.connections = 1 + static_cast<uint32_t>(random() % 4);
        job.durationMs = 500 + random() % 600000;
        job.bytesFromServers = static_cast<int64_t>(random() % (int64_t{1} << 32));
        job.bytesFromPeers =
            job.path == JobPath::Engine ? static_cast<int64_t>(random() % 1000) : 0;
        job.totalBytes = job.bytesFromServers + job.bytesFromPeers;
        job.serviceId = "svc-" + std::to_string(random() % 3);
        const std::string base = hosts[random() % 4];
        job.url = base + "pack" + std::to_string(random() % 3) + ".bin";
        if (random() % 3 == 0) {
            job.mirror = hosts[random() % 4];
        }
        job.engineVersion =
            job.path == JobPath::Engine ? (random() % 3 == 0 ? "1.4.2" : "1.5.0") : "";
        if (job.outcome == JobOutcome::Failed) {
            job.failure = job.url + ": " + failures[random() % 3];
        }
        messages.push_back(std::move(message));
    }
    return messages;
}

// The nearest-rank percentile of sorted values.
double Percentile(const std::vector<double>& sorted, double p) {
    const size_t rank =
        std::max<size_t>(1, static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size()))));
    return sorted[rank - 1];
}

void ExpectNear(double page, double exact, const std::string& what) {
    EXPECT_LE(std::fabs(page / exact - 1), kSpeedPercentileError)
        << what << ": page " << page << ", SQL " << exact;
}

// Checks every figure of the page for [sinceMs, untilMs) against SQL over the table "jobs".
void ExpectPageMatchesSql(const std::string& location, int64_t sinceMs, int64_t untilMs) {
    PageFigures figures;
    std::string error;
    ASSERT_TRUE(ReadPageFigures(location, {sinceMs, untilMs}, &figures, &error)) << error;
    const std::string page = RenderReportPage(figures, "test");
    const std::string window = " received_at_ms >= " + std::to_string(sinceMs) +
                               " AND received_at_ms < " + std::to_string(untilMs);

    // Downloads per hour: the page's table against GROUP BY over the rows.
    std::map<int64_t, std::map<std::string, int64_t>> perHour;
    for (const auto& row : Sql(location,
                               "SELECT received_at_ms - received_at_ms % 3600000,"
                               " outcome, COUNT(*) FROM jobs WHERE" +
                                   window + " GROUP BY 1, 2")) {
        perHour[Int(row[0])][row[1]] = Int(row[2]);
    }
    const Rows hourly = TableOf(page, "t-hourly");
    ASSERT_EQ(hourly.size(), perHour.size());
    ASSERT_FALSE(hourly.empty());
    size_t i = 0;
    for (auto& [hour, outcomes] : perHour) {
        EXPECT_EQ(figures.hours[i].hourMs, hour);
        const int64_t all =
            outcomes["completed"] + outcomes["failed"] + outcomes["stopped"] + outcomes["moved"];
        EXPECT_EQ(hourly[i],
                  (std::vector<std::string>{
                      hourly[i][0], std::to_string(all), std::to_string(outcomes["completed"]),
                      std::to_string(outcomes["failed"]),
                      std::to_string(outcomes["stopped"] + outcomes["moved"])}))
            << "hour " << hour;
        ++i;
    }

    // Completed and failed by path.
    std::map<std::string, std::map<std::string, int64_t>> byPath;
    for (const auto& row : Sql(location, "SELECT path, outcome, COUNT(*) FROM jobs WHERE" + window +
                                             " GROUP BY 1, 2")) {
        byPath[row[0]][row[1]] = Int(row[2]);
    }
    const Rows outcomes = TableOf(page, "t-outcomes");
    ASSERT_EQ(outcomes.size(), byPath.size());
    for (const auto& row : outcomes) {
        EXPECT_EQ(Int(row[1]), byPath[row[0]]["completed"]) << row[0];
        EXPECT_EQ(Int(row[2]), byPath[row[0]]["failed"]) << row[0];
        EXPECT_EQ(Int(row[3]), byPath[row[0]]["stopped"]) << row[0];
        EXPECT_EQ(Int(row[4]), byPath[row[0]]["moved"]) << row[0];
    }

    // Speeds: the exact nearest-rank percentiles over the rows, by path and by host.
    for (const auto& [table, column] :
         {std::pair<std::string, std::string>{"t-speed-path", "path"},
          std::pair<std::string, std::string>{"t-speed-host", "server_host"}}) {
        std::map<std::string, std::vector<double>> speeds;
        for (const auto& row :
             Sql(location, "SELECT " + column +
                               ", (bytes_server + bytes_peers) * 1000.0 / duration_ms FROM jobs"
                               " WHERE" +
                               window +
                               " AND outcome = 'completed' AND bytes_server + bytes_peers > 0"
                               " AND duration_ms > 0")) {
            speeds[row[0]].push_back(std::strtod(row[1].c_str(), nullptr));
        }
        const Rows rows = TableOf(page, table);
        ASSERT_EQ(rows.size(), speeds.size()) << table;
        for (const auto& row : rows) {
            std::vector<double>& values = speeds[row[0]];
            ASSERT_FALSE(values.empty()) << table << " " << row[0];
            std::sort(values.begin(), values.end());
            EXPECT_EQ(Int(row[1]), static_cast<int64_t>(values.size())) << row[0];
            ExpectNear(std::strtod(row[2].c_str(), nullptr), Percentile(values, 0.5),
                       table + " median " + row[0]);
            ExpectNear(std::strtod(row[3].c_str(), nullptr), Percentile(values, 0.1),
                       table + " p10 " + row[0]);
        }
    }

    // Offload: the last row of its table is the window's total.
    const Rows sums = Sql(location,
                          "SELECT COALESCE(SUM(bytes_server), 0),"
                          " COALESCE(SUM(bytes_peers), 0) FROM jobs WHERE" +
                              window);
    const Rows offload = TableOf(page, "t-offload");
    ASSERT_FALSE(offload.empty());
    EXPECT_EQ(offload.back()[1], sums[0][0]);
    EXPECT_EQ(offload.back()[2], sums[0][1]);

    // The ten most frequent failures with their URLs, in order.
    const Rows failures =
        Sql(location, "SELECT failure, url, COUNT(*) FROM jobs WHERE" + window +
                          " AND outcome = 'failed' GROUP BY 1, 2 ORDER BY 3 DESC, 1, 2 LIMIT 10");
    const Rows failureTable = TableOf(page, "t-failures");
    ASSERT_EQ(failureTable.size(), failures.size());
    for (size_t k = 0; k < failures.size(); ++k) {
        EXPECT_EQ(failureTable[k][1], failures[k][2]);
        EXPECT_EQ(figures.failures[k].failure, failures[k][0]);
        EXPECT_EQ(figures.failures[k].url, failures[k][1]);
    }

    // Engine versions.
    std::map<std::string, int64_t> versions;
    for (const auto& row : Sql(location, "SELECT engine_version, COUNT(*) FROM jobs WHERE" +
                                             window + " AND path = 'engine' GROUP BY 1")) {
        versions[row[0].empty() ? "(unknown)" : row[0]] = Int(row[1]);
    }
    std::map<std::string, int64_t> shown;
    for (const auto& row : TableOf(page, "t-versions")) {
        shown[row[0]] = Int(row[1]);
    }
    EXPECT_EQ(shown, versions);
}

class ReportPageTest : public ::testing::TestWithParam<StoreKind>, public TestStoreLocation {
  protected:
    void SetUp() override { PrepareStore(GetParam()); }
};

TEST_P(ReportPageTest, ASeededStoreGivesThePageTheFiguresOfItsRows) {
    if (IsSkipped()) {
        return;
    }
    std::string error;
    std::unique_ptr<ReportStore> store = OpenReportStore(location_, &error);
    ASSERT_NE(store, nullptr) << error;
    // In several transactions, so the roll-ups add up across commits as well as within one.
    const std::vector<ReportMessage> reports = SeededReports(3000);
    for (size_t at = 0; at < reports.size(); at += 700) {
        const std::vector<ReportMessage> group(
            reports.begin() + static_cast<long>(at),
            reports.begin() + static_cast<long>(std::min(at + 700, reports.size())));
        ASSERT_TRUE(store->Insert(group, &error)) << error;
    }
    ASSERT_EQ(store->ReadJobs(&error).size(), reports.size()) << error;
    // The whole store, and a window of whole hours in its middle.
    ExpectPageMatchesSql(location_, 0, kStartMs + 7 * kHourMs);
    ExpectPageMatchesSql(location_, kStartMs + kHourMs, kStartMs + 4 * kHourMs);
    // A window with nothing in it gives a page without rows, not an error.
    PageFigures empty;
    ASSERT_TRUE(ReadPageFigures(location_, {kStartMs + 10 * kHourMs, 0}, &empty, &error)) << error;
    EXPECT_TRUE(empty.hours.empty());
    EXPECT_NE(RenderReportPage(empty, "x").find("no data in this window"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Stores, ReportPageTest,
                         ::testing::Values(StoreKind::Sqlite, StoreKind::Postgres), StoreKindName);

TEST(ReportPage, PercentilesAndServerHostsFollowTheirRules) {
    // A histogram read back lands within the stated error of every speed it holds.
    for (double speed : {1.0, 1.5, 999.0, 1048576.0, 123456789.0, 3.3e10}) {
        const double read = SpeedOfBucket(SpeedBucket(speed));
        EXPECT_LE(std::fabs(read / speed - 1), kSpeedPercentileError) << speed;
    }
    EXPECT_EQ(HistogramPercentile({{10, 9}, {20, 1}}, 0.5), SpeedOfBucket(10));
    EXPECT_EQ(HistogramPercentile({{10, 1}, {20, 9}}, 0.1), SpeedOfBucket(10));
    EXPECT_EQ(HistogramPercentile({{10, 1}, {20, 9}}, 0.11), SpeedOfBucket(20));
    const std::pair<const char*, const char*> hosts[] = {
        {"http://User:pw@Mirror.Example:8080/a.bin|http://other/a.bin", "mirror.example"},
        {"https://[::1]:443/x", "[::1]"},
        {"cdn.example", "cdn.example"},
        {"http://host?q=1", "host"},
        {"", ""},
    };
    for (const auto& [url, host] : hosts) {
        EXPECT_EQ(ServerHostOf(url), host) << url;
    }
    int64_t ms = 0;
    EXPECT_TRUE(ParseUtcTime("2026-11-30T01:00Z", &ms));
    EXPECT_EQ(ms, kStartMs);
    EXPECT_TRUE(ParseUtcTime("2026-11-30T01", &ms));
    EXPECT_EQ(ms, kStartMs);
    for (const char* bad : {"yesterday", "2026-13-01", "2026-11-30T25", "2026-11-30 09:00",
                            "2026-11-30T09:00:00+02"}) {
        EXPECT_FALSE(ParseUtcTime(bad, &ms)) << bad;
    }
}

// Texts a page must not run: a failure text or URL from a client is shown, never executed.
TEST(ReportPage, TextsFromClientsAreEscaped) {
    PageFigures figures;
    figures.failures.push_back({"<script>window.bad=1</script>", "http://h/\"><img src=x>", 3});
    figures.versions.push_back({"1.0<b>", 2});
    const std::string page = RenderReportPage(figures, "<store>");
    EXPECT_EQ(page.find("<script>window.bad"), std::string::npos);
    EXPECT_EQ(page.find("<img"), std::string::npos);
    EXPECT_EQ(page.find("1.0<b>"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;window.bad=1&lt;/script&gt;"), std::string::npos);
    // Nothing from outside the page: no scripts, styles, fonts or images by address.
    EXPECT_EQ(page.find("src=\""), std::string::npos);
    EXPECT_EQ(page.find("href=\""), std::string::npos);
    EXPECT_EQ(page.find("@import"), std::string::npos);
    EXPECT_EQ(page.find("url("), std::string::npos);
}

}  // namespace

namespace {

std::string Chromium() {
    for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
        if (access(path, X_OK) == 0) {
            return path;
        }
    }
    return "";
}

// Runs headless chromium on a page file with a profile of the test's own; returns the DOM after
// the page's scripts ran (and saves a screenshot when screenshot is given).
ProcessResult RunChromium(const std::string& page, const std::string& profile,
                          const std::string& screenshot = "") {
    std::vector<std::string> arguments = {Chromium(),
                                          "--headless",
                                          "--no-sandbox",
                                          "--disable-gpu",
                                          "--disable-background-networking",
                                          "--disable-component-update",
                                          "--no-first-run",
                                          "--user-data-dir=" + profile,
                                          "--window-size=1280,3000"};
    arguments.push_back(screenshot.empty() ? "--dump-dom" : "--screenshot=" + screenshot);
    arguments.push_back("file://" + page);
    // Its own HOME too: chromium writes caches there.
    ProcessOptions options;
    options.environment = {{"HOME", profile}};
    options.timeoutMs = 60000;
    return RunProcess(arguments, options);
}

void WritePage(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

TEST(ReportPageBrowser, ThePageDrawsEveryChartWithoutAScriptError) {
    if (Chromium().empty()) {
        GTEST_SKIP() << "chromium is not installed (scripts/install-deps.sh installs it)";
    }
    const std::string root = std::getenv("TEV_TEST_ROOT");
    const std::string location = root + "/browser.db";
    std::string error;
    {
        std::unique_ptr<ReportStore> store = OpenReportStore(location, &error);
        ASSERT_NE(store, nullptr) << error;
        ASSERT_TRUE(store->Insert(SeededReports(400), &error)) << error;
    }
    PageFigures figures;
    ASSERT_TRUE(ReadPageFigures(location, {}, &figures, &error)) << error;
    const std::string page = RenderReportPage(figures, location);

    // The check itself must catch what it is for: a script error, and a chart without points.
    std::string broken = page;
    broken.insert(broken.find("</body>"), "<script>notAFunction();</script>");
    WritePage(root + "/broken.html", broken);
    ProcessResult run = RunChromium(root + "/broken.html", root + "/profile");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("id=\"script-error\""), std::string::npos);
    PageFigures noFailures = figures;
    noFailures.failures.clear();
    WritePage(root + "/empty.html", RenderReportPage(noFailures, location));
    run = RunChromium(root + "/empty.html", root + "/profile");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("data-empty=\"chart-failures\""), std::string::npos) << run.out;

    WritePage(root + "/report.html", page);
    run = RunChromium(root + "/report.html", root + "/profile");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.find("id=\"script-error\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("id=\"page-check\""), std::string::npos) << "the check never ran";
    EXPECT_NE(run.out.find("data-charts=\"7\""), std::string::npos);
    EXPECT_NE(run.out.find("data-empty=\"\""), std::string::npos) << "a chart without data";

    // The screenshot is kept with the build's test artifacts.
    const std::string artifacts = TEV_TEST_ARTIFACT_DIR;
    fs::create_directories(artifacts);
    const std::string shot = artifacts + "/report_page.png";
    fs::remove(shot);
    run = RunChromium(root + "/report.html", root + "/profile", shot);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_GT(fs::file_size(shot), 10000u);
    fs::copy_file(root + "/report.html", artifacts + "/report_page.html",
                  fs::copy_options::overwrite_existing);
}

// What a demo run leaves: the engine carries the game (a job report with its bytes), the second
// run finds it whole (a report without bytes), a direct job sends its file records and its
// report; all over loopback to a running collector. The tev-report program's page shows
// the figures SQL finds in the rows.
TEST(ReportPageProgram, TheRecordsOfADemoRunGiveThePageTheirFigures) {
    const std::string root = std::getenv("TEV_TEST_ROOT");
    const std::string database = root + "/demo.db";
    ReportCollector collector(ReportCollector::Options{.port = 0, .database = database});
    ASSERT_TRUE(collector.Ok()) << collector.Error();

    JobReport first;
    first.path = JobPath::Engine;
    first.outcome = JobOutcome::Completed;
    first.files = 4;
    first.filesCompleted = 4;
    first.connections = 2;
    first.durationMs = 2400;
    first.bytesFromServers = 40 * 1024 * 1024 + 200;
    first.totalBytes = first.bytesFromServers;
    first.serviceId = "QK";
    first.url = "https://127.0.0.1:4443/game/QK_Data1.pak";
    first.engineVersion = "1.0.0.1";
    JobReport second = first;
    second.durationMs = 300;
    second.bytesFromServers = 0;
    JobReport direct;
    direct.path = JobPath::Direct;
    direct.outcome = JobOutcome::Failed;
    direct.files = 1;
    direct.durationMs = 9000;
    direct.bytesFromServers = 1000;
    direct.url = "https://127.0.0.1:4443/game/missing.bin";
    direct.failure = direct.url;
    const std::string stream = BuildJobReportMessage(first) + BuildJobReportMessage(second) +
                               BuildReportMessage({{"QK", direct.url, 1000, 1}}) +
                               BuildJobReportMessage(direct);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(collector.Port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::send(fd, stream.data(), stream.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(stream.size()));
    const std::string acks =
        BuildReportAck() + BuildReportAck() + BuildReportAck() + BuildReportAck();
    std::string answered;
    char buffer[256];
    while (answered.size() < acks.size()) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            break;
        }
        answered.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    ASSERT_EQ(answered, acks) << "every message stored and answered";
    collector.Stop();

    const std::string page = root + "/demo.html";
    ProcessOptions options;
    options.timeoutMs = 60000;
    const ProcessResult run = RunProcess(
        {TEV_REPORT_PROGRAM, "--store", database, "--out", page, "--since", "2000-01-01"}, options);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::ifstream file(page);
    const std::string html((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    ExpectPageMatchesSql(database, 0, INT64_MAX);
    // The offload table's total, the failure and the version, as the rows hold them.
    const Rows offload = TableOf(html, "t-offload");
    ASSERT_FALSE(offload.empty());
    EXPECT_EQ(offload.back()[1], std::to_string(first.bytesFromServers + 1000));
    EXPECT_EQ(TableOf(html, "t-failures").at(0).at(3), direct.url);
    EXPECT_EQ(TableOf(html, "t-versions").at(0), (std::vector<std::string>{"1.0.0.1", "2"}));
    // Only the completed job that moved bytes has a speed: 40 MiB in 2.4 s.
    const Rows speeds = TableOf(html, "t-speed-path");
    ASSERT_EQ(speeds.size(), 1u);
    EXPECT_EQ(speeds[0][0], "engine");
    EXPECT_EQ(speeds[0][1], "1");
    ExpectNear(std::strtod(speeds[0][2].c_str(), nullptr),
               static_cast<double>(first.bytesFromServers) / 2.4, "demo median");

    // Bad input: a clear error and no page.
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{TEV_REPORT_PROGRAM, "--store", database, "--out",
                                   root + "/x.html", "--since", "noon"},
          std::vector<std::string>{TEV_REPORT_PROGRAM, "--store", root + "/none/missing.db",
                                   "--out", root + "/x.html"},
          std::vector<std::string>{TEV_REPORT_PROGRAM, "--store", database, "--out",
                                   root + "/x.html", "--since", "2026-12-02", "--until",
                                   "2026-12-01"}}) {
        const ProcessResult refused = RunProcess(bad, options);
        EXPECT_EQ(refused.exitCode, 2) << bad[bad.size() - 1];
        EXPECT_NE(refused.err.find("tev-report: "), std::string::npos);
        EXPECT_FALSE(fs::exists(root + "/x.html"));
    }
}
