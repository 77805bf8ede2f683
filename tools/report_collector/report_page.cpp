#include "report_collector/report_page.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>

#include "report_collector/report_rollup.h"
#include "report_collector/report_store.h"

namespace tev::tools {

namespace {

using Rows = std::vector<std::vector<std::string>>;

// Runs read-only queries on either store; the roll-up queries are the same SQL for both.
class Reader {
  public:
    virtual ~Reader() = default;
    virtual bool Query(const std::string& sql, Rows* rows, std::string* error) = 0;
};

class SqliteReader final : public Reader {
  public:
    ~SqliteReader() override { sqlite3_close(db_); }
    bool Open(const std::string& path, std::string* error) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            *error = "cannot open " + path + ": " + (db_ ? sqlite3_errmsg(db_) : "no memory");
            return false;
        }
        sqlite3_busy_timeout(db_, 5000);
        return true;
    }
    bool Query(const std::string& sql, Rows* rows, std::string* error) override {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            *error = sqlite3_errmsg(db_);
            return false;
        }
        int step = SQLITE_ROW;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int c = 0; c < sqlite3_column_count(statement); ++c) {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
                row.emplace_back(text ? std::string(text, static_cast<size_t>(
                                                              sqlite3_column_bytes(statement, c)))
                                      : std::string());
            }
            rows->push_back(std::move(row));
        }
        if (step != SQLITE_DONE) {
            *error = sqlite3_errmsg(db_);
        }
        sqlite3_finalize(statement);
        return step == SQLITE_DONE;
    }

  private:
    sqlite3* db_ = nullptr;
};

class PostgresReader final : public Reader {
  public:
    ~PostgresReader() override { PQfinish(connection_); }
    bool Open(const std::string& location, std::string* error) {
        const char* keywords[] = {"connect_timeout", "application_name", "dbname", nullptr};
        const char* values[] = {"10", "tev-report", location.c_str(), nullptr};
        connection_ = PQconnectdbParams(keywords, values, 1);
        if (connection_ == nullptr || PQstatus(connection_) != CONNECTION_OK) {
            *error = std::string("cannot reach the database: ") +
                     (connection_ ? PQerrorMessage(connection_) : "no memory");
            return false;
        }
        return true;
    }
    bool Query(const std::string& sql, Rows* rows, std::string* error) override {
        PGresult* result = PQexec(connection_, sql.c_str());
        const bool ok = PQresultStatus(result) == PGRES_TUPLES_OK;
        if (!ok) {
            *error = PQerrorMessage(connection_);
        } else {
            for (int r = 0; r < PQntuples(result); ++r) {
                std::vector<std::string> row;
                for (int c = 0; c < PQnfields(result); ++c) {
                    row.emplace_back(PQgetvalue(result, r, c),
                                     static_cast<size_t>(PQgetlength(result, r, c)));
                }
                rows->push_back(std::move(row));
            }
        }
        PQclear(result);
        return ok;
    }

  private:
    PGconn* connection_ = nullptr;
};

int64_t Int(const std::string& text) {
    return std::strtoll(text.c_str(), nullptr, 10);
}

std::string Escape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string HourLabel(int64_t ms) {
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:00", &tm);
    return text;
}

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Bytes per second or bytes, with a binary unit.
std::string Human(double value, const char* suffix) {
    const char* units[] = {"", "Ki", "Mi", "Gi", "Ti", "Pi"};
    int unit = 0;
    while (std::fabs(value) >= 1024 && unit < 5) {
        value /= 1024;
        ++unit;
    }
    return Fixed(value, unit == 0 ? 0 : 1) + " " + units[unit] + suffix;
}

struct Series {
    std::string name;
    std::string color;
    std::vector<double> values;
};

// A bar chart: one group of bars per label, the series side by side (or stacked). Every bar
// carries its value (data-v) and a tooltip.
std::string BarChart(const std::string& id, const std::vector<std::string>& labels,
                     const std::vector<Series>& series, bool stacked,
                     const std::function<std::string(double)>& format) {
    const double width = 720, height = 260, left = 70, bottom = 60, top = 24;
    double most = 0;
    for (size_t i = 0; i < labels.size(); ++i) {
        double sum = 0;
        for (const Series& s : series) {
            const double v = i < s.values.size() ? s.values[i] : 0;
            most = stacked ? most : std::max(most, v);
            sum += v;
        }
        most = stacked ? std::max(most, sum) : most;
    }
    std::string svg = "<svg class=\"chart\" id=\"" + id + "\" viewBox=\"0 0 " + Fixed(width, 0) +
                      " " + Fixed(height, 0) + "\" role=\"img\" aria-labelledby=\"" + id +
                      "-title\"><title id=\"" + id + "-title\">" + Escape(id) + "</title>";
    const double plotWidth = width - left - 10, plotHeight = height - top - bottom;
    svg += "<line x1=\"" + Fixed(left, 0) + "\" y1=\"" + Fixed(top + plotHeight, 0) + "\" x2=\"" +
           Fixed(width - 10, 0) + "\" y2=\"" + Fixed(top + plotHeight, 0) + "\" class=\"axis\"/>";
    if (labels.empty() || most <= 0) {
        svg += "<text x=\"" + Fixed(width / 2, 0) + "\" y=\"" + Fixed(height / 2, 0) +
               "\" text-anchor=\"middle\" class=\"none\">no data in this window</text></svg>";
        return svg;
    }
    for (int tick = 0; tick <= 4; ++tick) {
        const double v = most * tick / 4;
        const double y = top + plotHeight - plotHeight * tick / 4;
        svg += "<line x1=\"" + Fixed(left - 4, 0) + "\" y1=\"" + Fixed(y, 1) + "\" x2=\"" +
               Fixed(width - 10, 0) + "\" y2=\"" + Fixed(y, 1) + "\" class=\"grid\"/>";
        svg += "<text x=\"" + Fixed(left - 6, 0) + "\" y=\"" + Fixed(y + 4, 1) +
               "\" text-anchor=\"end\" class=\"tick\">" + Escape(format(v)) + "</text>";
    }
    const double slot = plotWidth / static_cast<double>(labels.size());
    const double barGroup = slot * 0.8;
    const double bar = stacked ? barGroup : barGroup / static_cast<double>(series.size());
    const size_t labelEvery = std::max<size_t>(1, labels.size() / 12);
    for (size_t i = 0; i < labels.size(); ++i) {
        const double x0 = left + slot * static_cast<double>(i) + slot * 0.1;
        double stackBase = 0;
        for (size_t s = 0; s < series.size(); ++s) {
            const double v = i < series[s].values.size() ? series[s].values[i] : 0;
            const double h = plotHeight * v / most;
            const double x = stacked ? x0 : x0 + bar * static_cast<double>(s);
            const double y = top + plotHeight - h - (stacked ? plotHeight * stackBase / most : 0);
            stackBase += stacked ? v : 0;
            svg += "<rect class=\"bar\" data-v=\"" + Fixed(v, 3) + "\" x=\"" + Fixed(x, 2) +
                   "\" y=\"" + Fixed(y, 2) + "\" width=\"" + Fixed(std::max(bar - 1, 1.0), 2) +
                   "\" height=\"" + Fixed(h, 2) + "\" fill=\"" + series[s].color + "\"><title>" +
                   Escape(labels[i] + ", " + series[s].name + ": " + format(v)) + "</title></rect>";
        }
        if (i % labelEvery == 0) {
            const double x = x0 + barGroup / 2;
            svg += "<text x=\"" + Fixed(x, 1) + "\" y=\"" + Fixed(top + plotHeight + 14, 0) +
                   "\" transform=\"rotate(30 " + Fixed(x, 1) + " " +
                   Fixed(top + plotHeight + 14, 0) + ")\" class=\"tick\">" + Escape(labels[i]) +
                   "</text>";
        }
    }
    double legendX = left;
    for (const Series& s : series) {
        svg += "<rect x=\"" + Fixed(legendX, 0) + "\" y=\"6\" width=\"10\" height=\"10\" fill=\"" +
               s.color + "\"/><text x=\"" + Fixed(legendX + 14, 0) + "\" y=\"15\" class=\"tick\">" +
               Escape(s.name) + "</text>";
        legendX += 24 + 7 * static_cast<double>(s.name.size());
    }
    return svg + "</svg>";
}

// A table: a header row, then rows of cells; a cell's raw number (data-n) next to its text.
struct Cell {
    std::string text;
    std::string number;  // empty for a text cell
};

std::string Table(const std::string& id, const std::vector<std::string>& header,
                  const std::vector<std::vector<Cell>>& rows) {
    std::string html = "<table class=\"figures\" id=\"" + id + "\"><thead><tr>";
    for (const std::string& h : header) {
        html += "<th>" + Escape(h) + "</th>";
    }
    html += "</tr></thead><tbody>";
    for (const auto& row : rows) {
        html += "<tr>";
        for (const Cell& cell : row) {
            html += cell.number.empty() ? "<td>" + Escape(cell.text) + "</td>"
                                        : "<td class=\"n\" data-n=\"" + cell.number + "\">" +
                                              Escape(cell.text) + "</td>";
        }
        html += "</tr>";
    }
    if (rows.empty()) {
        html += "<tr><td colspan=\"" + std::to_string(header.size()) +
                "\">none in this window</td></tr>";
    }
    return html + "</tbody></table>";
}

Cell Count(int64_t n) {
    return {std::to_string(n), std::to_string(n)};
}

Cell Speed(double bytesPerSecond) {
    return {Human(bytesPerSecond, "B/s"), Fixed(bytesPerSecond, 1)};
}

std::string Section(const std::string& title, const std::string& note, const std::string& chart,
                    const std::string& table) {
    return "<section><h2>" + Escape(title) + "</h2>" +
           (note.empty() ? "" : "<p class=\"note\">" + Escape(note) + "</p>") +
           "<div class=\"pair\"><div class=\"plot\">" + chart + "</div><div class=\"numbers\">" +
           table + "</div></div></section>";
}

std::vector<PageFigures::Speed> Percentiles(const Rows& rows) {
    std::map<std::string, std::vector<std::pair<int, int64_t>>> histograms;
    for (const auto& row : rows) {
        histograms[row[0]].emplace_back(static_cast<int>(Int(row[1])), Int(row[2]));
    }
    std::vector<PageFigures::Speed> speeds;
    for (auto& [key, histogram] : histograms) {
        std::sort(histogram.begin(), histogram.end());
        PageFigures::Speed speed;
        speed.key = key;
        for (const auto& entry : histogram) {
            speed.jobs += entry.second;
        }
        speed.median = HistogramPercentile(histogram, 0.5);
        speed.p10 = HistogramPercentile(histogram, 0.1);
        speeds.push_back(std::move(speed));
    }
    std::sort(speeds.begin(), speeds.end(), [](const auto& a, const auto& b) {
        return a.jobs > b.jobs || (a.jobs == b.jobs && a.key < b.key);
    });
    return speeds;
}

}  // namespace

double HistogramPercentile(const std::vector<std::pair<int, int64_t>>& histogram, double p) {
    int64_t total = 0;
    for (const auto& entry : histogram) {
        total += entry.second;
    }
    if (total == 0) {
        return 0;
    }
    const int64_t rank =
        std::max<int64_t>(1, static_cast<int64_t>(std::ceil(p * static_cast<double>(total))));
    int64_t seen = 0;
    for (const auto& [bucket, jobs] : histogram) {
        seen += jobs;
        if (seen >= rank) {
            return SpeedOfBucket(bucket);
        }
    }
    return SpeedOfBucket(histogram.back().first);
}

bool ParseUtcTime(const std::string& text, int64_t* ms) {
    std::string t = text;
    if (!t.empty() && (t.back() == 'Z' || t.back() == 'z')) {
        t.pop_back();
    }
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char tail = 0;
    const int n = std::sscanf(t.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &year, &month, &day, &hour,
                              &minute, &second, &tail);
    const bool shapes[] = {false,          false,          false,         t.size() == 10,
                           t.size() == 13, t.size() == 16, t.size() == 19};
    if (n < 3 || n > 6 || !shapes[n] || month < 1 || month > 12 || day < 1 || day > 31 ||
        hour > 23 || minute > 59 || second > 60 || year < 1970) {
        return false;
    }
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    *ms = static_cast<int64_t>(timegm(&tm)) * 1000;
    return true;
}

bool ReadPageFigures(const std::string& location, const PageWindow& window, PageFigures* figures,
                     std::string* error) {
    std::unique_ptr<Reader> reader;
    if (IsPostgresLocation(location)) {
        auto postgres = std::make_unique<PostgresReader>();
        if (!postgres->Open(location, error)) {
            return false;
        }
        reader = std::move(postgres);
    } else {
        auto sqlite = std::make_unique<SqliteReader>();
        if (!sqlite->Open(location, error)) {
            return false;
        }
        reader = std::move(sqlite);
    }
    PageFigures f;
    f.firstHourMs = HourOf(window.sinceMs);
    f.endHourMs = window.untilMs == 0 || window.untilMs > INT64_MAX - kHourMs
                      ? INT64_MAX
                      : HourOf(window.untilMs - 1) + kHourMs;
    const std::string where = " WHERE hour_ms >= " + std::to_string(f.firstHourMs) +
                              " AND hour_ms < " + std::to_string(f.endHourMs);
    Rows rows;
    if (!reader->Query("SELECT hour_ms, outcome, SUM(jobs), SUM(bytes_server), SUM(bytes_peers)"
                       " FROM rollup_hourly" +
                           where + " GROUP BY hour_ms, outcome ORDER BY hour_ms",
                       &rows, error)) {
        return false;
    }
    for (const auto& row : rows) {
        const int64_t hour = Int(row[0]);
        if (f.hours.empty() || f.hours.back().hourMs != hour) {
            f.hours.push_back({});
            f.hours.back().hourMs = hour;
        }
        PageFigures::Hour& h = f.hours.back();
        const int64_t jobs = Int(row[2]);
        (row[1] == "completed" ? h.completed
         : row[1] == "failed"  ? h.failed
         : row[1] == "stopped" ? h.stopped
                               : h.moved) += jobs;
        h.bytesServer += Int(row[3]);
        h.bytesPeers += Int(row[4]);
        f.bytesServer += Int(row[3]);
        f.bytesPeers += Int(row[4]);
    }
    rows.clear();
    if (!reader->Query("SELECT path, outcome, SUM(jobs) FROM rollup_hourly" + where +
                           " GROUP BY path, outcome ORDER BY path",
                       &rows, error)) {
        return false;
    }
    for (const auto& row : rows) {
        if (f.outcomes.empty() || f.outcomes.back().path != row[0]) {
            f.outcomes.push_back({});
            f.outcomes.back().path = row[0];
        }
        PageFigures::Outcomes& o = f.outcomes.back();
        (row[1] == "completed" ? o.completed
         : row[1] == "failed"  ? o.failed
         : row[1] == "stopped" ? o.stopped
                               : o.moved) += Int(row[2]);
    }
    rows.clear();
    if (!reader->Query(
            "SELECT path, bucket, SUM(jobs) FROM rollup_speed" + where + " GROUP BY path, bucket",
            &rows, error)) {
        return false;
    }
    f.speedByPath = Percentiles(rows);
    rows.clear();
    if (!reader->Query("SELECT server_host, bucket, SUM(jobs) FROM rollup_speed" + where +
                           " GROUP BY server_host, bucket",
                       &rows, error)) {
        return false;
    }
    f.speedByHost = Percentiles(rows);
    rows.clear();
    if (!reader->Query("SELECT failure, url, SUM(jobs) AS n FROM rollup_failures" + where +
                           " GROUP BY failure, url ORDER BY n DESC, failure, url LIMIT 10",
                       &rows, error)) {
        return false;
    }
    for (const auto& row : rows) {
        f.failures.push_back({row[0], row[1], Int(row[2])});
    }
    rows.clear();
    if (!reader->Query("SELECT engine_version, SUM(jobs) AS n FROM rollup_versions" + where +
                           " AND path = 'engine' GROUP BY engine_version"
                           " ORDER BY n DESC, engine_version",
                       &rows, error)) {
        return false;
    }
    for (const auto& row : rows) {
        f.versions.push_back({row[0], Int(row[1])});
    }
    *figures = std::move(f);
    return true;
}

std::string RenderReportPage(const PageFigures& f, const std::string& storeName) {
    std::string body;
    // Downloads per hour, completed against failed.
    std::vector<std::string> hourLabels;
    Series completed{"completed", "#2e7d32", {}}, failed{"failed", "#c62828", {}};
    Series other{"stopped or moved", "#9e9e9e", {}};
    Series fromServers{"from servers", "#1565c0", {}}, fromPeers{"from peers", "#f9a825", {}};
    std::vector<std::vector<Cell>> hourRows, offloadRows;
    for (const PageFigures::Hour& h : f.hours) {
        hourLabels.push_back(HourLabel(h.hourMs));
        completed.values.push_back(static_cast<double>(h.completed));
        failed.values.push_back(static_cast<double>(h.failed));
        other.values.push_back(static_cast<double>(h.stopped + h.moved));
        fromServers.values.push_back(static_cast<double>(h.bytesServer));
        fromPeers.values.push_back(static_cast<double>(h.bytesPeers));
        hourRows.push_back({{HourLabel(h.hourMs), ""},
                            Count(h.completed + h.failed + h.stopped + h.moved),
                            Count(h.completed),
                            Count(h.failed),
                            Count(h.stopped + h.moved)});
        offloadRows.push_back(
            {{HourLabel(h.hourMs), ""},
             {Human(static_cast<double>(h.bytesServer), "B"), std::to_string(h.bytesServer)},
             {Human(static_cast<double>(h.bytesPeers), "B"), std::to_string(h.bytesPeers)}});
    }
    const auto count = [](double v) { return Fixed(v, 0); };
    body += Section(
        "Downloads per hour", "Jobs by the hour their report arrived (UTC).",
        BarChart("chart-hourly", hourLabels, {completed, failed, other}, true, count),
        Table("t-hourly", {"hour", "jobs", "completed", "failed", "stopped/moved"}, hourRows));
    // Completed against failed, by path.
    std::vector<std::string> pathLabels;
    Series pc{"completed", "#2e7d32", {}}, pf{"failed", "#c62828", {}};
    std::vector<std::vector<Cell>> outcomeRows;
    for (const auto& o : f.outcomes) {
        pathLabels.push_back(o.path);
        pc.values.push_back(static_cast<double>(o.completed));
        pf.values.push_back(static_cast<double>(o.failed));
        const int64_t ended = o.completed + o.failed;
        outcomeRows.push_back(
            {{o.path, ""},
             Count(o.completed),
             Count(o.failed),
             Count(o.stopped),
             Count(o.moved),
             {ended == 0
                  ? "-"
                  : Fixed(100.0 * static_cast<double>(o.failed) / static_cast<double>(ended), 1) +
                        " %",
              ended == 0
                  ? ""
                  : Fixed(100.0 * static_cast<double>(o.failed) / static_cast<double>(ended), 3)}});
    }
    body += Section(
        "Completed and failed", "By the path that carried the job.",
        BarChart("chart-outcomes", pathLabels, {pc, pf}, false, count),
        Table("t-outcomes",
              {"path", "completed", "failed", "stopped", "moved to direct", "failed of ended"},
              outcomeRows));
    // Speeds.
    const auto speedSection = [&](const std::string& title, const std::string& id,
                                  const std::string& tableId, const std::string& keyName,
                                  const std::vector<PageFigures::Speed>& speeds) {
        std::vector<std::string> labels;
        Series median{"median", "#1565c0", {}}, p10{"10th percentile", "#90caf9", {}};
        std::vector<std::vector<Cell>> rows;
        for (const auto& s : speeds) {
            labels.push_back(s.key.empty() ? "(none)" : s.key);
            median.values.push_back(s.median);
            p10.values.push_back(s.p10);
            rows.push_back({{s.key.empty() ? "(none)" : s.key, ""},
                            Count(s.jobs),
                            Speed(s.median),
                            Speed(s.p10)});
        }
        return Section(
            title,
            "Completed jobs that moved bytes: bytes over the time from start to end. "
            "Within 2.2 % (log-scale roll-up, 16 steps per doubling).",
            BarChart(id, labels, {median, p10}, false, [](double v) { return Human(v, "B/s"); }),
            Table(tableId, {keyName, "jobs", "median", "10th percentile"}, rows));
    };
    body +=
        speedSection("Speed by path", "chart-speed-path", "t-speed-path", "path", f.speedByPath);
    body += speedSection("Speed by server host", "chart-speed-host", "t-speed-host", "server host",
                         f.speedByHost);
    // Offload.
    const int64_t total = f.bytesServer + f.bytesPeers;
    offloadRows.push_back(
        {{"all hours", ""},
         {Human(static_cast<double>(f.bytesServer), "B"), std::to_string(f.bytesServer)},
         {Human(static_cast<double>(f.bytesPeers), "B"), std::to_string(f.bytesPeers)}});
    body += Section("Offload: bytes from peers and from our servers",
                    "Peers carried " +
                        (total == 0 ? std::string("nothing")
                                    : Fixed(100.0 * static_cast<double>(f.bytesPeers) /
                                                static_cast<double>(total),
                                            1) +
                                          " %") +
                        " of the bytes in this window.",
                    BarChart("chart-offload", hourLabels, {fromServers, fromPeers}, true,
                             [](double v) { return Human(v, "B"); }),
                    Table("t-offload", {"hour", "from servers", "from peers"}, offloadRows));
    // Failures.
    std::vector<std::string> failureLabels;
    Series failureCounts{"failed jobs", "#c62828", {}};
    std::vector<std::vector<Cell>> failureRows;
    for (size_t i = 0; i < f.failures.size(); ++i) {
        failureLabels.push_back("#" + std::to_string(i + 1));
        failureCounts.values.push_back(static_cast<double>(f.failures[i].jobs));
        failureRows.push_back({{"#" + std::to_string(i + 1), ""},
                               Count(f.failures[i].jobs),
                               {f.failures[i].failure, ""},
                               {f.failures[i].url, ""}});
    }
    body += Section("The ten most frequent failures", "",
                    BarChart("chart-failures", failureLabels, {failureCounts}, false, count),
                    Table("t-failures", {"", "jobs", "failure", "URL"}, failureRows));
    // Engine versions.
    std::vector<std::string> versionLabels;
    Series versionCounts{"jobs", "#6a1b9a", {}};
    std::vector<std::vector<Cell>> versionRows;
    for (const auto& v : f.versions) {
        const std::string name = v.version.empty() ? "(unknown)" : v.version;
        versionLabels.push_back(name);
        versionCounts.values.push_back(static_cast<double>(v.jobs));
        versionRows.push_back({{name, ""}, Count(v.jobs)});
    }
    body += Section("Engine versions in use", "Jobs the engine carried, by its version.",
                    BarChart("chart-versions", versionLabels, {versionCounts}, false, count),
                    Table("t-versions", {"engine version", "jobs"}, versionRows));

    const std::string window = f.hours.empty()
                                   ? std::string("no reports in the window")
                                   : HourLabel(f.hours.front().hourMs) + " to " +
                                         HourLabel(f.hours.back().hourMs + kHourMs) + " UTC";
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
        "<title>Download reports</title>"
        // First thing on the page: a script error anywhere leaves a marker a reader can find.
        "<script>window.onerror=function(m,s,l){var d=document.getElementById('script-error')||"
        "document.createElement('div');d.id='script-error';d.textContent=String(m)+' line '+l;"
        "(document.body||document.documentElement).appendChild(d);};</script>"
        "<style>body{font:14px/1.4 sans-serif;margin:24px;color:#222}h1{font-size:22px}"
        "h2{font-size:17px;margin-top:28px}.pair{display:flex;flex-wrap:wrap;gap:24px;"
        "align-items:flex-start}.plot{flex:1 1 560px;max-width:760px}.numbers{flex:1 1 320px;"
        "max-height:300px;overflow:auto}svg.chart{width:100%;height:auto;background:#fafafa}"
        ".axis{stroke:#555}.grid{stroke:#e0e0e0}.tick{font-size:10px;fill:#444}"
        ".none{font-size:14px;fill:#777}table.figures{border-collapse:collapse;font-size:12px}"
        "table.figures td,table.figures th{border:1px solid #ddd;padding:2px 6px;"
        "text-align:left}td.n{text-align:right}.note{color:#555;margin:4px 0}</style></head>"
        "<body><h1>Download reports</h1><p class=\"note\">" +
        Escape(storeName) + ": " + Escape(window) + "</p>" + body +
        // Each chart must hold data points; what the check finds is written into the page.
        "<script>(function(){var c=document.querySelectorAll('svg.chart'),e=[];"
        "for(var i=0;i<c.length;i++){if(!c[i].querySelector('[data-v]'))e.push(c[i].id);}"
        "var d=document.createElement('div');d.id='page-check';d.hidden=true;"
        "d.setAttribute('data-charts',String(c.length));d.setAttribute('data-empty',e.join(' '));"
        "document.body.appendChild(d);})();</script></body></html>\n";
    return page;
}

}  // namespace tev::tools
