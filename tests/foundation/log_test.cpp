#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "foundation/log.h"
#include "foundation/paths.h"
#include "support/subprocess.h"

namespace {

std::string ReadLog() {
    std::ifstream in(LogFilePath());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Switches the process to the window's locale, compiling it into the test's folder when the
// system has not got it. False when it cannot be had at all.
bool UseTraditionalChineseLocale() {
    if (std::setlocale(LC_ALL, "zh_TW.UTF-8") != nullptr) {
        return true;
    }
    const std::string folder = std::string(std::getenv("TEV_TEST_ROOT")) + "/locale";
    std::filesystem::create_directories(folder);
    RunProcess({"/usr/bin/localedef", "-i", "zh_TW", "-f", "UTF-8", folder + "/zh_TW.UTF-8"}, {});
    setenv("LOCPATH", folder.c_str(), 1);
    return std::setlocale(LC_ALL, "zh_TW.UTF-8") != nullptr;
}

}  // namespace

TEST(Log, TimeStampsAreTheEnglishCtimeFormWhateverTheLocale) {
    ASSERT_TRUE(UseTraditionalChineseLocale()) << "needs the locales package (zh_TW source)";
    struct Case {
        int year, month, day, weekday, hour, minute, second;
        const char* stamp;
    };
    const Case cases[] = {
        {2026, 11, 10, 4, 4, 20, 53, "Thu Dec 10 04:20:53 2026"},
        {2023, 0, 1, 0, 0, 0, 0, "Sun Jan  1 00:00:00 2023"},  // the day padded with a blank
        {2024, 8, 30, 1, 23, 59, 59, "Mon Sep 30 23:59:59 2024"},
    };
    for (const Case& c : cases) {
        tm time{};
        time.tm_year = c.year - 1900;
        time.tm_mon = c.month;
        time.tm_mday = c.day;
        time.tm_wday = c.weekday;
        time.tm_hour = c.hour;
        time.tm_min = c.minute;
        time.tm_sec = c.second;
        EXPECT_EQ(LogTimeStamp(time), c.stamp);
    }
    // A written line carries the same form, whole.
    ResetLog();
    WriteLogLine("[TessloadLib] Initialize");
    const std::string text = ReadLog();
    std::setlocale(LC_ALL, "C");
    const std::regex line(
        R"(^\[(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3][0-9] \d\d:\d\d:\d\d \d{4}\] \[TessloadLib\] Initialize\n$)");
    EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST(Log, LivesInTheEngineFolderOfThisUser) {
    EXPECT_EQ(LogFilePath(), std::string(std::getenv("XDG_DATA_HOME")) +
                                 "/Velmor/tevDownloadV32/config/service.log");
}

TEST(Log, LinesAreLostUntilTheFolderExistsThenAppended) {
    std::filesystem::remove_all(EngineFolder());
    WriteLogLine("[TessloadLib] lost");
    EXPECT_FALSE(std::filesystem::exists(LogFilePath()));
    ResetLog();
    EXPECT_TRUE(std::filesystem::exists(LogFilePath()));
    EXPECT_EQ(ReadLog(), "");
    WriteLogLine("[TessloadLib] Initialize");
    WriteLogLineF("[TessloadLib] Initialize Failed : %d", 517);
    const std::string text = ReadLog();
    const std::regex line(
        R"(\[(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ 1-3][0-9] \d\d:\d\d:\d\d \d{4}\] )");
    std::istringstream lines(text);
    std::string first, second;
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_TRUE(std::regex_search(first, line)) << first;
    EXPECT_EQ(first.substr(27), "[TessloadLib] Initialize");
    EXPECT_EQ(second.substr(27), "[TessloadLib] Initialize Failed : 517");
    ResetLog();
    EXPECT_EQ(ReadLog(), "");
}

TEST(Log, LongFormattedLinesAreWrittenWhole) {
    ResetLog();
    const std::string big(2000, 'x');
    WriteLogLineF("[TessloadLib] %s|%d", big.c_str(), 42);
    EXPECT_NE(ReadLog().find(big + "|42\n"), std::string::npos);
}

TEST(Log, DiagnosticsNeverReachTheFile) {
    ResetLog();
    std::string seen;
    SetDiagnosticObserver([&](const char* message) { seen = message; });
    WriteDiagnosticLine("[TessloadLib_D] 0x00A0");
    SetDiagnosticObserver(nullptr);
    EXPECT_EQ(seen, "[TessloadLib_D] 0x00A0");
    EXPECT_EQ(ReadLog(), "");
}

// A run's lines outlive the next start (its reader comes looking for the last failure); a file
// past the bound moves aside to service.log.1, at a start or while lines are written; a line is
// one line whatever its message holds; a link planted in the log's place is not followed.
TEST(Log, StartsKeepEarlierRunsAndTheFileIsBounded) {
    ResetLog();
    WriteLogLine("[TessloadLib] the first run failed: a reason");
    StartLog();
    WriteLogLine("[TessloadLib] second\nrun");
    std::string text = ReadLog();
    EXPECT_NE(text.find("] [TessloadLib] the first run failed: a reason\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("] [TessloadLib] second run\n"), std::string::npos) << text;

    const std::string older = LogFilePath() + ".1";
    const std::string big(kLogRotateBytes, 'x');
    for (const bool atStart : {true, false}) {
        SCOPED_TRACE(atStart ? "at a start" : "while writing");
        ResetLog();
        std::ofstream(LogFilePath(), std::ios::app) << big;
        if (atStart) {
            StartLog();
            EXPECT_EQ(ReadLog(), "");
        }
        WriteLogLine("[TessloadLib] after the move");
        EXPECT_EQ(std::filesystem::file_size(older), kLogRotateBytes);
        text = ReadLog();
        EXPECT_EQ(text.substr(27), "[TessloadLib] after the move\n");
    }

    ResetLog();
    std::filesystem::remove(LogFilePath());
    const std::string target = std::string(std::getenv("TEV_TEST_ROOT")) + "/elsewhere.txt";
    std::ofstream(target) << "";
    std::filesystem::create_symlink(target, LogFilePath());
    WriteLogLine("[TessloadLib] not through a link");
    StartLog();
    EXPECT_EQ(std::filesystem::file_size(target), 0u);
    std::filesystem::remove(LogFilePath());
    ResetLog();
}
