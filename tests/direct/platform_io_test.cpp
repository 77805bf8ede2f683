// The platform pieces the direct download writes through: free space, files and connectivity,
// with their seams.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "foundation/platform/connectivity.h"
#include "foundation/platform/disk.h"
#include "foundation/platform/file.h"

namespace fs = std::filesystem;

namespace {

std::string Root() {
    return std::getenv("TEV_TEST_ROOT");
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(FreeSpace, NearestExistingFolderAndSeam) {
    struct statvfs st {};
    ASSERT_EQ(statvfs(Root().c_str(), &st), 0);
    const auto expected = static_cast<int64_t>(st.f_bavail * st.f_frsize);
    // A folder not yet created is measured on the file system that will hold it. Free space
    // moves while other tests write, so only the order of magnitude is compared.
    const int64_t nested = cpFreeBytesOfDrive(Root() + "/not/yet/there/");
    EXPECT_GT(nested, 0);
    EXPECT_NEAR(static_cast<double>(nested), static_cast<double>(expected), 64.0 * 1024 * 1024);
    EXPECT_EQ(cpFreeBytesOfDrive("relative/path"), 0);

    cpSetFreeSpaceProbe([](const std::string& path) { return path == "/x/" ? 99 : 7; });
    EXPECT_EQ(cpFreeBytesOfDrive("/x/"), 99);
    EXPECT_EQ(cpFreeBytesOfDrive("/y/"), 7);
    cpSetFreeSpaceProbe(nullptr);
    EXPECT_GT(cpFreeBytesOfDrive(Root()), 0);
}

TEST(File, KeepsContentTruncatesAndReportsErrors) {
    const std::string path = Root() + "/file.bin";
    { std::ofstream(path, std::ios::binary) << "hello"; }
    cpCFile file;
    ASSERT_EQ(file.Open(path), 0);
    EXPECT_EQ(file.SeekToEnd(), 5) << "opening keeps what is there";
    size_t written = 0;
    ASSERT_EQ(file.Write(" world", 6, &written), 0);
    EXPECT_EQ(written, 6u);
    EXPECT_EQ(cpFileSize(path), 11);
    ASSERT_EQ(file.Truncate(0), 0);
    ASSERT_EQ(file.Write("x", 1, &written), 0);
    file.Close();
    EXPECT_EQ(Slurp(path), "x") << "after a truncate, writing starts at 0";

    EXPECT_EQ(file.Open(Root() + "/no/such/folder/f"), ENOENT);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.Open(Root()), EISDIR);
    EXPECT_EQ(cpFileSize(Root()), -1) << "a folder is not a file";
    EXPECT_EQ(cpFileSize(Root() + "/missing"), -1);

    EXPECT_TRUE(cpIsDiskFullError(ENOSPC));
    EXPECT_TRUE(cpIsDiskFullError(EDQUOT));
    EXPECT_TRUE(cpIsDiskFullError(EFBIG));
    EXPECT_FALSE(cpIsDiskFullError(EIO));
}

TEST(File, WriteFailureSeamLeavesACorrectPrefix) {
    const std::string path = Root() + "/seam.bin";
    cpCFile file;
    ASSERT_EQ(file.Open(path), 0);
    cpTestWriteFailure::FailAfter(10, ENOSPC);
    size_t written = 0;
    EXPECT_EQ(file.Write("0123456", 7, &written), 0);
    EXPECT_EQ(file.Write("789abcdef", 9, &written), ENOSPC);
    EXPECT_EQ(written, 3u) << "the bytes that fitted are on disk";
    EXPECT_EQ(file.Write("z", 1, &written), ENOSPC) << "the disk stays full";
    EXPECT_EQ(written, 0u);
    cpTestWriteFailure::Clear();
    EXPECT_EQ(file.Write("!", 1, &written), 0);
    file.Close();
    EXPECT_EQ(Slurp(path), "0123456789!");
}

TEST(Connectivity, SeamOverridesTheInterfaces) {
    cpSetConnectivityProbe([] { return false; });
    EXPECT_FALSE(cpInternetConnected());
    cpSetConnectivityProbe([] { return true; });
    EXPECT_TRUE(cpInternetConnected());
    cpSetConnectivityProbe(nullptr);
    (void)cpInternetConnected();  // the real answer depends on the machine; it must not fail
}

}  // namespace
