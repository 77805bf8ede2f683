#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "foundation/log.h"
#include "foundation/paths.h"

namespace {

std::string ReadLog() {
    std::ifstream in(LogFilePath());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

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
