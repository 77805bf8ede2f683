// The job downloader's arithmetic and speed sampler, and download folders.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <limits>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/folder_path.h"
#include "core/job_downloader.h"
#include "foundation/clock.h"

namespace {

TEST(ProgressArithmetic, EdgesOfEachFormula) {
    EXPECT_EQ(CJobDownloader::Percentage(0, 5), 0);
    EXPECT_EQ(CJobDownloader::Percentage(100, 0), 0);
    EXPECT_EQ(CJobDownloader::Percentage(3, 1), 33);
    // Large totals must not overflow on the way.
    EXPECT_EQ(CJobDownloader::Percentage(int64_t{40} << 30, int64_t{30} << 30), 75);
    EXPECT_EQ(CJobDownloader::Remaining(100, 40, 0), 60);
    EXPECT_EQ(CJobDownloader::Remaining(1000, 400, 200), 3);
    EXPECT_EQ(CJobDownloader::Speed(1000, 200, 0), 0);
    EXPECT_EQ(CJobDownloader::Speed(-1, -5, 2), 0);
    EXPECT_EQ(CJobDownloader::Speed(100, 200, 2), 0);
    EXPECT_EQ(CJobDownloader::Speed(1000, 200, 4), 200);
    // Only what moved counts, in 64 bits; a speed beyond the 32-bit field is held at its top.
    const int64_t gib3 = int64_t{3} << 30;
    EXPECT_EQ(CJobDownloader::Speed(gib3 + 4096, gib3, 1), 4096);
    EXPECT_EQ(CJobDownloader::Speed(int64_t{5} << 30, 0, 1), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(CJobDownloader::Remaining(100, 140, 10), 0);
    EXPECT_EQ(CJobDownloader::Remaining(gib3, 0, -1), gib3);

    cpTestClock::Install(1'760'000'000'000);
    const int64_t start = cpGetSeconds();
    cpTestClock::Advance(2500);
    EXPECT_EQ(CJobDownloader::Elapsed(start), 2);
    cpTestClock::Uninstall();
}

struct SamplerCase {
    std::vector<std::pair<int64_t, uint32_t>> samples;
    uint32_t expected;
};

class SpeedSamplerTest : public ::testing::TestWithParam<SamplerCase> {};

TEST_P(SpeedSamplerTest, AveragesTheSamplesOfTheLastTenSeconds) {
    CSpeedSampler sampler;
    sampler.Clear();
    for (const auto& [stamp, value] : GetParam().samples) {
        sampler.Add(stamp, value);
    }
    EXPECT_EQ(sampler.Speed(), GetParam().expected);
}

std::vector<std::pair<int64_t, uint32_t>> Eleven() {
    std::vector<std::pair<int64_t, uint32_t>> samples;
    for (int64_t i = 1; i <= 11; ++i) {
        samples.emplace_back(i, i == 1 ? 1'000'000u : 10u);
    }
    return samples;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpeedSamplerTest,
    ::testing::Values(SamplerCase{{}, 0}, SamplerCase{{{1, 100}, {5, 200}, {20, 300}}, 300},
                      SamplerCase{{{10, 100}, {20, 300}}, 200},
                      // Stamp 0 is no sample.
                      SamplerCase{{{0, 900}, {1, 100}}, 100},
                      // A stamp newer than the newest (clock went back) still counts.
                      SamplerCase{{{30, 100}, {20, 300}}, 200},
                      // The eleventh sample overwrites the first, the oldest.
                      SamplerCase{Eleven(), 10},
                      // Large values do not overflow the sum.
                      SamplerCase{{{1, 4'000'000'000u}, {2, 4'000'000'000u}}, 4'000'000'000u}),
    [](const ::testing::TestParamInfo<SamplerCase>& info) {
        return "case" + std::to_string(info.index);
    });

TEST(FolderPath, NormalisedWithOneTrailingSlash) {
    EXPECT_EQ(NormaliseFolder("/data/games"), "/data/games/");
    EXPECT_EQ(NormaliseFolder("C:\\games\\QK"), "C:/games/QK/");
    EXPECT_EQ(NormaliseFolder("/data/games//"), "/data/games/");
    EXPECT_EQ(NormaliseFolder("/data\\games\\/"), "/data/games/");
    EXPECT_EQ(NormaliseFolder("/"), "/");
    EXPECT_EQ(LowerAscii("/Data/ÄB.EXE"), "/data/Äb.exe");
}

TEST(FolderPath, CreationWalksThePathAndStopsAtAFile) {
    const std::string root = std::string(std::getenv("TEV_TEST_ROOT")) + "/";
    EXPECT_TRUE(CreateFolderPath(root + "x/y//z/"));
    struct stat st {};
    EXPECT_EQ(stat((root + "x/y/z").c_str(), &st), 0);
    EXPECT_TRUE(CreateFolderPath(root + "x/y/z/"));  // already there
    std::ofstream(root + "file").put('x');
    EXPECT_FALSE(CreateFolderPath(root + "file/"));
    EXPECT_FALSE(CreateFolderPath(root + "file/below/"));
    EXPECT_FALSE(CreateFolderPath(""));
}

}  // namespace
