#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "archive/extract_action.h"
#include "archive/extract_target.h"

namespace {

struct SanitiseCase {
    const char* name;
    const char* expected;
};

class SanitiseZipName : public ::testing::TestWithParam<SanitiseCase> {};

TEST_P(SanitiseZipName, RemovesWhatAnchorsTheNameElsewhere) {
    EXPECT_EQ(SanitiseZipEntryName(GetParam().name), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, SanitiseZipName,
    ::testing::Values(SanitiseCase{"..\\..\\x.txt", "x.txt"}, SanitiseCase{"/etc/x", "etc/x"},
                      SanitiseCase{"C:\\x", "x"}, SanitiseCase{"//C:x", "x"},
                      SanitiseCase{"\xC3\xA9:x", "x"}, SanitiseCase{"a/../b", "b"},
                      // "\..\" is looked for first, wherever it is.
                      SanitiseCase{"a/../b\\..\\c", "c"}, SanitiseCase{"a\\..\\b/../c", "c"},
                      // A leading "../" is none of the four sequences and stays.
                      SanitiseCase{"../x", "../x"}, SanitiseCase{"..\\x", "..\\x"},
                      SanitiseCase{"a/b/c.txt", "a/b/c.txt"}, SanitiseCase{"", ""}));

struct TargetCase {
    const char* name;
    bool isFolder;
    std::optional<std::string> expected;  // below "/dest"; nullopt when refused
};

class EntryTargetTest : public ::testing::TestWithParam<TargetCase> {};

TEST_P(EntryTargetTest, StaysInsideTheDestination) {
    const TargetCase& c = GetParam();
    std::string target = "untouched";
    const bool ok = EntryTarget("/dest", c.name, c.isFolder, &target);
    EXPECT_EQ(ok ? std::optional<std::string>(target) : std::nullopt, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, EntryTargetTest,
    ::testing::Values(TargetCase{"a/b.txt", false, "/dest/a/b.txt"},
                      TargetCase{"a\\b.txt", false, "/dest/a/b.txt"},
                      TargetCase{"./a//./b.txt", false, "/dest/a/b.txt"},
                      TargetCase{"a/../b.txt", false, "/dest/b.txt"},
                      TargetCase{"a/..", true, "/dest"}, TargetCase{"a/..", false, {}},
                      TargetCase{"", false, {}}, TargetCase{"../x", false, {}},
                      TargetCase{"..\\x", false, {}}, TargetCase{"a/../../x", false, {}},
                      TargetCase{"..", true, {}}, TargetCase{"/etc/x", false, {}},
                      TargetCase{"\\x", false, {}}));

TEST(DestinationFolder, AcceptsEitherSeparatorAndDropsTrailingOnes) {
    EXPECT_EQ(DestinationFolder("C:\\dest\\"), "C:/dest");
    EXPECT_EQ(DestinationFolder("/a/b//"), "/a/b");
    EXPECT_EQ(DestinationFolder("/"), "/");
    EXPECT_EQ(DestinationFolder(""), "");
    EXPECT_EQ(DestinationFolder(nullptr), "");
    std::string target;
    ASSERT_TRUE(EntryTarget("/", "x", false, &target));
    EXPECT_EQ(target, "/x");
}

TEST(ArchiveTypeOfFileName, TakesTheTextAfterTheLastDotIgnoringCase) {
    EXPECT_EQ(ArchiveTypeOfFileName("engine.7z"), kArchiveType7z);
    EXPECT_EQ(ArchiveTypeOfFileName("ENGINE.7Z"), kArchiveType7z);
    EXPECT_EQ(ArchiveTypeOfFileName("pkg.v2.Zip"), kArchiveTypeZip);
    EXPECT_EQ(ArchiveTypeOfFileName("a.tar.gz"), 0);
    EXPECT_EQ(ArchiveTypeOfFileName("zip"), 0);
    EXPECT_EQ(ArchiveTypeOfFileName(nullptr), 0);
}

}  // namespace
