#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>

#include "archive/extract_action.h"
#include "archive/seven_zip_extract_action.h"
#include "archive/zip_extract_action.h"
#include "archive_builders.h"
#include "foundation/platform/file.h"

namespace {

constexpr uint32_t kUnixMode(mode_t mode) {
    return static_cast<uint32_t>(mode) << 16;
}

uint32_t Low(const Bytes& b) {
    return static_cast<uint32_t>(b.size());
}

int Extract(int type, const Bytes& archive, const std::string& folder) {
    return CreateExtractAction(type)->Extract(archive.data(), Low(archive), 0, folder.c_str());
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::string Cwd() {
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
}

TEST(ExtractAction, FactoryAndEntryMapTheirResults) {
    EXPECT_NE(dynamic_cast<C7ZipExtractAction*>(CreateExtractAction(1).get()), nullptr);
    EXPECT_NE(dynamic_cast<CGZipExtractAction*>(CreateExtractAction(2).get()), nullptr);
    EXPECT_EQ(CreateExtractAction(0), nullptr);
    EXPECT_EQ(CreateExtractAction(3), nullptr);

    const std::string out = TestFolder("out");
    const Bytes zip = BuildZip({{.name = "a.txt", .data = "a"}});
    EXPECT_EQ(ExtractArchive(3, zip.data(), Low(zip), 0, out.c_str()), 5);
    EXPECT_TRUE(ListFolder(out).empty());
    EXPECT_EQ(ExtractArchive(2, zip.data(), Low(zip), 0, out.c_str()), 0);
    EXPECT_EQ(ReadFile(out + "/a.txt"), "a");
    const Bytes sevenZip = BuildSevenZip({{.name = "b.txt", .data = "b"}});
    EXPECT_EQ(ExtractArchive(1, sevenZip.data(), Low(sevenZip), 0, out.c_str()), 0);
    EXPECT_EQ(ReadFile(out + "/b.txt"), "b");

    const char garbage[] = "neither zip nor 7z";
    EXPECT_EQ(CreateExtractAction(2)->Extract(garbage, sizeof garbage, 0, out.c_str()), 4);
    EXPECT_EQ(CreateExtractAction(1)->Extract(garbage, sizeof garbage, 0, out.c_str()), 2);
    EXPECT_EQ(ExtractArchive(1, garbage, sizeof garbage, 0, out.c_str()), 5);
    EXPECT_EQ(ExtractArchive(2, garbage, sizeof garbage, 0, out.c_str()), 5);
}

TEST(ExtractAction, BadArgumentsAreRefusedByBothActions) {
    const std::string out = TestFolder("out");
    const Bytes archive = BuildZip({{.name = "a.txt", .data = "a"}});
    for (int type : {kArchiveType7z, kArchiveTypeZip}) {
        auto action = CreateExtractAction(type);
        EXPECT_EQ(action->Extract(nullptr, 10, 0, out.c_str()), 3);
        EXPECT_EQ(action->Extract(archive.data(), 0, 0, out.c_str()), 3);
        EXPECT_EQ(action->Extract(archive.data(), 10, 0x80000000u, out.c_str()), 3);  // < 0
        EXPECT_EQ(action->Extract(archive.data(), Low(archive), 0, nullptr), 3);
        EXPECT_EQ(action->Extract(archive.data(), Low(archive), 0, ""), 3);
        EXPECT_EQ(ExtractArchive(type, archive.data(), 0, 0, out.c_str()), 5);
    }
    EXPECT_TRUE(ListFolder(out).empty());
}

TEST(ZipExtractAction, EdgeNamesLandInsideTheDestination) {
    const std::string root = TestFolder("root");
    const std::string out = root + "/deep/out";
    const Bytes zip = BuildZip({{.name = "..\\..\\x.txt", .data = "1"},
                                {.name = "/etc/x", .data = "2"},
                                {.name = "C:\\x", .data = "3"}});
    ASSERT_EQ(Extract(kArchiveTypeZip, zip, out + "\\"), 0);
    EXPECT_EQ(ReadFile(out + "/x.txt"), "1");
    EXPECT_EQ(ReadFile(out + "/etc/x"), "2");
    EXPECT_EQ(ReadFile(out + "/x"), "3");
    EXPECT_EQ(ListFolder(root), std::vector<std::string>{"deep"});
    EXPECT_EQ(ListFolder(root + "/deep"), std::vector<std::string>{"out"});
}

TEST(ZipExtractAction, KeepsModesAndTimesAndOverwritesOnASecondRun) {
    umask(022);
    const std::string out = TestFolder("out");
    Bytes ut = {'U', 'T', 5, 0, 1};
    for (int i = 0; i < 4; ++i) {
        ut.push_back(static_cast<uint8_t>(1234567890u >> (8 * i)));
    }
    const Bytes zip = BuildZip({
        {.name = "bin/", .host = 3, .externalAttributes = kUnixMode(040755)},
        {.name = "bin/run.sh",
         .data = "#!/bin/sh\n",
         .host = 3,
         .externalAttributes = kUnixMode(0100755),
         .centralExtra = ut},
        {.name = "readonly.txt", .data = "ro", .host = 3, .externalAttributes = kUnixMode(0100444)},
        {.name = "dos-readonly.txt", .data = "dos", .externalAttributes = 0x21},
    });
    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(Extract(kArchiveTypeZip, zip, out), 0) << "run " << run;
        EXPECT_EQ(ModeOf(out + "/bin/run.sh"), 0755u);
        EXPECT_EQ(ModeOf(out + "/readonly.txt"), 0644u);  // ours, not the archive's
        EXPECT_EQ(ModeOf(out + "/dos-readonly.txt"), 0644u);
        struct stat st {};
        ASSERT_EQ(stat((out + "/bin/run.sh").c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime, 1234567890);
        EXPECT_EQ(ReadFile(out + "/readonly.txt"), "ro");
        EXPECT_EQ(ReadFile(out + "/dos-readonly.txt"), "dos");
        // Change what the first run wrote; the second run must put it back.
        WriteFile(out + "/readonly.txt", "changed");
        WriteFile(out + "/dos-readonly.txt", "changed");
    }
}

TEST(ZipExtractAction, ReplacesASymbolicLinkInsteadOfWritingThroughIt) {
    const std::string root = TestFolder("root");
    const std::string out = root + "/out";
    std::filesystem::create_directories(out);
    WriteFile(root + "/outside.txt", "keep");
    std::filesystem::create_symlink(root + "/outside.txt", out + "/a.txt");
    ASSERT_EQ(Extract(kArchiveTypeZip, BuildZip({{.name = "a.txt", .data = "new"}}), out), 0);
    EXPECT_EQ(ReadFile(root + "/outside.txt"), "keep");
    EXPECT_FALSE(std::filesystem::is_symlink(out + "/a.txt"));
    EXPECT_EQ(ReadFile(out + "/a.txt"), "new");
}

// A regular file where an entry's folder should be makes that entry fail.
struct StopCase {
    const char* label;
    int type;
    std::function<Bytes(const std::vector<std::pair<std::string, std::string>>&)> build;
};

class FirstFailureStops : public ::testing::TestWithParam<StopCase> {};

// A failure part-way through puts nothing in place: the entries written before it wait, whole,
// until all are, and go with the failed one.
TEST_P(FirstFailureStops, NothingIsPutInPlace) {
    const StopCase& c = GetParam();
    const std::string out = TestFolder("out");
    WriteFile(out + "/blocked", "not a folder");
    const Bytes archive = c.build({{"a.txt", "a"}, {"blocked/b.txt", "b"}, {"c.txt", "c"}});
    EXPECT_EQ(Extract(c.type, archive, out), 4);
    EXPECT_EQ(ListFolder(out), std::vector<std::string>{"blocked"});
    EXPECT_EQ(ExtractArchive(c.type, archive.data(), Low(archive), 0, out.c_str()), 5);

    // When the first file fails, nothing at all is extracted.
    const std::string first = TestFolder("first");
    WriteFile(first + "/blocked", "not a folder");
    EXPECT_EQ(Extract(c.type, c.build({{"blocked/b.txt", "b"}, {"c.txt", "c"}}), first), 4);
    EXPECT_EQ(ListFolder(first), std::vector<std::string>{"blocked"});
}

Bytes ZipOf(const std::vector<std::pair<std::string, std::string>>& files) {
    std::vector<ZipItem> items;
    for (const auto& [name, data] : files) {
        items.push_back({.name = name, .data = data});
    }
    return BuildZip(items);
}

Bytes SevenZipOf(const std::vector<std::pair<std::string, std::string>>& files) {
    std::vector<SevenZipItem> items;
    for (const auto& [name, data] : files) {
        items.push_back({.name = name, .data = data});
    }
    return BuildSevenZip(items);
}

INSTANTIATE_TEST_SUITE_P(Formats, FirstFailureStops,
                         ::testing::Values(StopCase{"Zip", kArchiveTypeZip, ZipOf},
                                           StopCase{"SevenZip", kArchiveType7z, SevenZipOf}),
                         [](const ::testing::TestParamInfo<StopCase>& info) {
                             return info.param.label;
                         });

// Archives that name a place outside the destination, or hold a link: refused as a whole,
// before anything is written, even the harmless entry that comes first.
struct RefusedCase {
    const char* label;
    int type;
    std::function<Bytes()> build;
};

class UnsafeArchive : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(UnsafeArchive, IsRefusedAndNothingIsWritten) {
    const RefusedCase& c = GetParam();
    const std::string root = TestFolder("root");
    const std::string out = root + "/a/out";
    const Bytes archive = c.build();
    EXPECT_EQ(Extract(c.type, archive, out), 4);
    EXPECT_EQ(ExtractArchive(c.type, archive.data(), Low(archive), 0, out.c_str()), 5);
    EXPECT_TRUE(ListFolder(root).empty());
    EXPECT_FALSE(std::filesystem::exists("/evil.txt"));
}

Bytes ZipWith(ZipItem unsafe) {
    return BuildZip({{.name = "fine.txt", .data = "fine"}, std::move(unsafe)});
}

Bytes SevenZipWith(SevenZipItem unsafe) {
    return BuildSevenZip({{.name = "fine.txt", .data = "fine"}, std::move(unsafe)});
}

INSTANTIATE_TEST_SUITE_P(
    Entries, UnsafeArchive,
    ::testing::Values(
        RefusedCase{"ZipParent", kArchiveTypeZip,
                    [] { return ZipWith({.name = "../evil.txt", .data = "x"}); }},
        RefusedCase{"ZipParentBackslash", kArchiveTypeZip,
                    [] { return ZipWith({.name = "..\\evil.txt", .data = "x"}); }},
        RefusedCase{"ZipClimbAfterFolder", kArchiveTypeZip,
                    [] { return ZipWith({.name = "a/../../evil.txt", .data = "x"}); }},
        RefusedCase{"ZipSymbolicLink", kArchiveTypeZip,
                    [] {
                        return ZipWith({.name = "link",
                                        .data = "/etc",
                                        .host = 3,
                                        .externalAttributes = kUnixMode(0120777)});
                    }},
        RefusedCase{"SevenZipParent", kArchiveType7z,
                    [] { return SevenZipWith({.name = "../evil.txt", .data = "x"}); }},
        RefusedCase{"SevenZipAbsolute", kArchiveType7z,
                    [] { return SevenZipWith({.name = "/evil.txt", .data = "x"}); }},
        RefusedCase{"SevenZipClimbAfterFolder", kArchiveType7z,
                    [] { return SevenZipWith({.name = "a/b/../../../evil.txt", .data = "x"}); }},
        RefusedCase{"SevenZipSymbolicLink", kArchiveType7z,
                    [] {
                        return SevenZipWith({.name = "link",
                                             .data = "/etc",
                                             .kind = SevenZipKind::kSymbolicLink,
                                             .perm = 0777});
                    }}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) { return info.param.label; });

TEST(SevenZipExtractAction, WritesFilesWithTheirModesAndSkipsEmptyFolders) {
    umask(022);
    const std::string out = TestFolder("out") + "/new/folder";
    const Bytes archive = BuildSevenZip({
        {.name = "empty", .kind = SevenZipKind::kFolder, .perm = 0755},
        {.name = "bin/run.sh", .data = "#!/bin/sh\n", .perm = 0755},
        {.name = "readonly.txt", .data = "ro", .perm = 0444},
        {.name = "sub\\deep\\data.txt", .data = std::string(100000, 'd')},
    });
    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(Extract(kArchiveType7z, archive, out), 0);
        EXPECT_EQ(ModeOf(out + "/bin/run.sh"), 0755u);
        EXPECT_EQ(ModeOf(out + "/readonly.txt"), 0644u);  // ours, not the archive's
        EXPECT_EQ(ReadFile(out + "/sub/deep/data.txt"), std::string(100000, 'd'));
        EXPECT_EQ(ReadFile(out + "/readonly.txt"), "ro");
        EXPECT_FALSE(std::filesystem::exists(out + "/empty"));
        WriteFile(out + "/readonly.txt", "changed");  // the second run must put it back
    }
}

// Archives made by the command-line tools from a real tree, unpacked from a relative folder
// name without the process's current folder changing.
TEST(ExtractAction, UnpacksWhatTheToolsPack) {
    umask(022);
    const std::string tree = TestFolder("tree");
    std::filesystem::create_directories(tree + "/bin");
    std::filesystem::create_directories(tree + "/sub/deep");
    WriteFile(tree + "/bin/run.sh", "#!/bin/sh\necho hi\n");
    chmod((tree + "/bin/run.sh").c_str(), 0755);
    WriteFile(tree + "/readonly.txt", "read only");
    chmod((tree + "/readonly.txt").c_str(), 0444);
    std::string data;
    for (int i = 0; i < 50000; ++i) {
        data += static_cast<char>(i * 7 % 251);
    }
    WriteFile(tree + "/sub/deep/data.bin", data);
    WriteFile(tree + "/h\xC3\xA9llo \xE2\x82\xAC.txt", "utf-8 name");

    const std::string home = std::getenv("HOME");
    ASSERT_TRUE(RunTool("cd '" + tree + "' && zip -qr '" + home + "/t.zip' ."));
    ASSERT_TRUE(
        RunTool("cd '" + tree + "' && " + SevenZipTool() + " a -bd -y '" + home + "/t.7z' ."));
    ASSERT_EQ(chdir(home.c_str()), 0);
    for (const auto& [type, file] :
         {std::pair{kArchiveTypeZip, "t.zip"}, std::pair{kArchiveType7z, "t.7z"}}) {
        SCOPED_TRACE(file);
        const std::string text = ReadFile(home + "/" + file);
        const Bytes archive(text.begin(), text.end());
        const std::string relative = std::string("out-") + file;
        const std::string cwd = Cwd();
        ASSERT_EQ(Extract(type, archive, relative + "/"), 0);
        EXPECT_EQ(Cwd(), cwd);
        const std::string out = home + "/" + relative;
        EXPECT_EQ(ReadFile(out + "/bin/run.sh"), "#!/bin/sh\necho hi\n");
        EXPECT_EQ(ModeOf(out + "/bin/run.sh"), 0755u);
        EXPECT_EQ(ModeOf(out + "/readonly.txt"), 0644u);  // ours, not the archive's
        EXPECT_EQ(ReadFile(out + "/sub/deep/data.bin"), data);
        EXPECT_EQ(ReadFile(out + "/h\xC3\xA9llo \xE2\x82\xAC.txt"), "utf-8 name");
    }
}

// An entry that cannot be written whole never replaces the file it updates: with writes failing
// after every possible number of bytes, the old file stays byte for byte and no temporary file is
// left beside it, until the budget is large enough and the new file replaces it.
struct FormatCase {
    const char* label;
    int type;
    std::function<Bytes(const std::vector<std::pair<std::string, std::string>>&)> build;
};

class FailingWrites : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FailingWrites, LeaveTheOldFileUntilTheNewOneIsWhole) {
    const FormatCase& c = GetParam();
    const std::string out = TestFolder("out");
    const std::string next = std::string(70000, 'n') + "end";
    const Bytes archive = c.build({{"program", next}});
    bool replaced = false;
    for (int64_t budget = 0; !replaced && budget <= 200000; budget += 16384) {
        SCOPED_TRACE(budget);
        WriteFile(out + "/program", "old program");
        cpTestWriteFailure::FailAfter(budget, ENOSPC);
        const int result = Extract(c.type, archive, out);
        cpTestWriteFailure::Clear();
        EXPECT_EQ(ListFolder(out), std::vector<std::string>{"program"});
        if (result == 0) {
            EXPECT_EQ(ReadFile(out + "/program"), next);
            replaced = true;
        } else {
            EXPECT_EQ(result, 4);
            EXPECT_EQ(ReadFile(out + "/program"), "old program");
        }
    }
    EXPECT_TRUE(replaced);
}

INSTANTIATE_TEST_SUITE_P(Formats, FailingWrites,
                         ::testing::Values(FormatCase{"Zip", kArchiveTypeZip, ZipOf},
                                           FormatCase{"SevenZip", kArchiveType7z, SevenZipOf}),
                         [](const ::testing::TestParamInfo<FormatCase>& info) {
                             return info.param.label;
                         });

// A stored entry whose bytes no longer match its CRC is found out only once all of it was read:
// the old file must still be there.
TEST(ZipExtractAction, BadCrcKeepsTheOldFile) {
    const std::string out = TestFolder("out");
    WriteFile(out + "/program", "old program");
    const std::string data(5000, 'p');
    Bytes zip = BuildZip({{.name = "program", .data = data, .stored = true}});
    const auto at = std::search(zip.begin(), zip.end(), data.begin(), data.end());
    ASSERT_NE(at, zip.end());
    at[2500] = 'q';
    EXPECT_EQ(Extract(kArchiveTypeZip, zip, out), 4);
    EXPECT_EQ(ReadFile(out + "/program"), "old program");
    EXPECT_EQ(ListFolder(out), std::vector<std::string>{"program"});
}

// An update of a program that is running: the running process keeps its old image, the name
// points at the new program, and both archive formats manage it.
TEST(ExtractAction, ReplacesAProgramWhileItRuns) {
    const std::string out = TestFolder("out");
    std::filesystem::copy_file("/bin/sleep", out + "/program");
    chmod((out + "/program").c_str(), 0755);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl((out + "/program").c_str(), "program", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    // The program runs once /proc shows its image under the folder's name.
    for (int i = 0; i < 500; ++i) {
        std::error_code error;
        if (std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error) ==
            std::filesystem::path(out + "/program")) {
            break;
        }
        usleep(10000);
    }
    EXPECT_EQ(Extract(kArchiveTypeZip, ZipOf({{"program", "new from zip"}}), out), 0);
    EXPECT_EQ(ReadFile(out + "/program"), "new from zip");
    EXPECT_EQ(Extract(kArchiveType7z, SevenZipOf({{"program", "new from 7z"}}), out), 0);
    EXPECT_EQ(ReadFile(out + "/program"), "new from 7z");
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "the running program was disturbed";
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

}  // namespace
