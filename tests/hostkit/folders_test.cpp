#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "foundation/paths.h"
#include "hostkit/folders.h"

namespace {

std::string Home() {
    return std::getenv("HOME");
}

bool IsFolder(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

TEST(Folders, DefaultFolderAndEngineFolder) {
    EXPECT_EQ(DefaultDownloadFolder(), Home() + "/orvix9/QK/");

    const std::string engine = WindowEnginePath();
    EXPECT_EQ(engine.rfind(EngineFolder(), 0), 0u) << engine;
    EXPECT_TRUE(IsEngineFolder(engine, EngineFolder()));

    struct Case {
        const char* enginePath;
        const char* folder;
        bool same;
    };
    const Case cases[] = {
        {"/h/.local/share/Velmor/tevDownloadV32/TEVDownloaderEngine",
         "/h/.local/share/Velmor/tevDownloadV32/", true},
        {"/h/.local/share/Velmor/tevDownloadV32/TEVDownloaderEngine",
         "/h/.local/share/Velmor/tevDownloadV32", false},  // compared exactly
        {"/h/.local/share/Velmor/tevDownloadV32/TEVDownloaderEngine",
         "/h/.local/share/velmor/tevDownloadV32/", false},  // letter case counts
        {"/h/.local/share/Velmor/tevDownloadV32/TEVDownloaderEngine", "/h/orvix9/QK/", false},
        {"C:\\Program Files\\Velmor\\TEVDownloader\\TEVDownloaderEngine.exe",
         "C:\\Program Files\\Velmor\\TEVDownloader\\", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsEngineFolder(c.enginePath, c.folder), c.same) << c.folder;
    }

    EXPECT_EQ(WithTrailingSeparator("/a/b"), "/a/b/");
    EXPECT_EQ(WithTrailingSeparator("/a/b/"), "/a/b/");
    EXPECT_EQ(WithTrailingSeparator("C:\\a\\"), "C:\\a\\");
    EXPECT_EQ(WithTrailingSeparator("/"), "/");
}

TEST(Folders, CreateFolderOneLevelOnly) {
    const std::string one = Home() + "/one/";
    CreateFolderOneLevel(one);
    EXPECT_TRUE(IsFolder(one));

    const std::string two = Home() + "/two/levels/";
    CreateFolderOneLevel(two);
    EXPECT_FALSE(IsFolder(Home() + "/two"));

    // A file in the way stays a file.
    const std::string file = Home() + "/file";
    std::ofstream(file) << "x";
    CreateFolderOneLevel(file);
    EXPECT_FALSE(IsFolder(file));
}

TEST(Folders, SaveDownloadFolderForOtherPrograms) {
    const std::string settingsFile = DownloadPathSettingsFile();
    EXPECT_EQ(settingsFile, std::string(std::getenv("TEV_SETTINGS_DIR")) + "/DownloadPath.ini");

    SaveDownloadFolder("QK", "/home/u/orvix9/QK/");
    const std::string text = ReadFile(settingsFile);
    EXPECT_NE(text.find("[DownloadPath]"), std::string::npos) << text;
    EXPECT_NE(text.find("QK=/home/u/orvix9/QK/"), std::string::npos) << text;

    // A later choice replaces the value, quoted where a comma would split it for an INI reader
    // (the window's tests read it back with Qt's); what else the file holds stays.
    std::ofstream(settingsFile, std::ios::app) << "[Other]\nkey=value\n";
    SaveDownloadFolder("QK", "/home/u/遊戲, new/QK/");
    SaveDownloadFolder("QK2", "/a \"quoted\" \\ name/");
    EXPECT_EQ(ReadFile(settingsFile),
              "[DownloadPath]\n"
              "QK=\"/home/u/遊戲, new/QK/\"\n"
              "QK2=\"/a \\\"quoted\\\" \\\\ name/\"\n"
              "[Other]\n"
              "key=value\n");
}

TEST(Folders, SaveDownloadFolderIgnoresAnUnwritableLocation) {
    // A regular file where the settings folder should be: the write fails quietly.
    const std::string blocker = Home() + "/blocked";
    std::ofstream(blocker) << "x";
    setenv("TEV_SETTINGS_DIR", (blocker + "/settings").c_str(), 1);
    SaveDownloadFolder("QK", "/somewhere/");
    EXPECT_EQ(ReadFile(blocker), "x");
}

TEST(Folders, FreeBytesOfTheNearestExistingFolder) {
    struct statvfs info {};
    ASSERT_EQ(statvfs(Home().c_str(), &info), 0);
    const uint64_t expected = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
    // Free space moves as other tests write: compare within a margin.
    const auto near = [expected](uint64_t value) {
        const uint64_t margin = 64ull * 1024 * 1024;
        return value + margin >= expected && value <= expected + margin;
    };
    EXPECT_TRUE(near(FreeBytesOfDrive(Home())));
    EXPECT_TRUE(near(FreeBytesOfDrive(Home() + "/not/yet/there/")));
    EXPECT_GT(FreeBytesOfDrive("/"), 0u);
    EXPECT_EQ(FreeBytesOfDrive(""), 0u);
}

// What a job still needs is its total less what the folder already holds of the listed files;
// a link or a folder of that name holds nothing.
TEST(Folders, BytesStillNeededCountWhatIsThere) {
    const std::string folder = std::string(std::getenv("TEV_TEST_ROOT")) + "/present/";
    std::filesystem::create_directories(folder + "dir.bin");
    std::ofstream(folder + "a.bin") << std::string(300, 'a');
    std::ofstream(folder + "elsewhere") << std::string(5000, 'e');
    std::filesystem::create_symlink(folder + "elsewhere", folder + "link.bin");
    const std::vector<std::string> urls = {"http://h/a.bin", "http://h/b.bin", "http://h/dir.bin",
                                           "http://h/link.bin", "http://h/"};
    const std::vector<CPresentFile> present = FilesPresentInFolder(folder, urls);
    ASSERT_EQ(present.size(), 1u);
    EXPECT_EQ(present[0].name, "a.bin");
    EXPECT_EQ(present[0].bytes, 300u);
    EXPECT_EQ(BytesStillNeeded(1000, present), 700u);
    EXPECT_EQ(BytesStillNeeded(200, present), 0u);
}
