#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "foundation/clock.h"
#include "foundation/host_cache.h"

namespace {

uint32_t Ip(const char* text) {
    return inet_addr(text);
}

class HostCacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        cpTestClock::Install(1'700'000'000'000);
        cpSetResolver([this](const char* name, std::vector<uint32_t>* out) {
            ++lookups_[name];
            *out = answers_[name];
            return !out->empty();
        });
        cpCHostCache::Instance().Clear();
    }
    void TearDown() override {
        cpSetResolver(nullptr);
        cpCHostCache::Instance().Clear();
        cpTestClock::Uninstall();
    }
    uint32_t Resolve(const char* host) {
        uint32_t address = 0;
        EXPECT_TRUE(cpCHostCache::Instance().Resolve(host, 80, &address));
        return address;
    }

    std::map<std::string, std::vector<uint32_t>> answers_;
    std::map<std::string, int> lookups_;
};

}  // namespace

TEST_F(HostCacheTest, GoodFirstThenNeverTriedThenRecentlyFailed) {
    const uint32_t a = Ip("10.0.0.1"), b = Ip("10.0.0.2"), c = Ip("10.0.0.3");
    answers_["h"] = {a, b, c};
    auto& cache = cpCHostCache::Instance();
    EXPECT_EQ(Resolve("h"), a);
    cache.MarkBad("h", 80, a);
    EXPECT_EQ(Resolve("h"), b);
    cache.MarkGood("h", 80, c);
    EXPECT_EQ(Resolve("h"), c);
    cache.MarkBad("h", 80, c);
    EXPECT_EQ(Resolve("h"), b);
}

TEST_F(HostCacheTest, RefreshDropsFailuresOlderThanThirtySeconds) {
    const uint32_t a = Ip("10.0.0.1"), b = Ip("10.0.0.2");
    answers_["h"] = {a, b};
    auto& cache = cpCHostCache::Instance();
    EXPECT_EQ(Resolve("h"), a);
    cache.MarkBad("h", 80, a);
    cache.MarkBad("h", 80, b);  // order now a, b; both failed
    cpTestClock::Advance(31'000);
    answers_["h"] = {b, a};
    // a failed 31 s before this refresh: dropped, back as never tried; b as well. The resolver's
    // order decides again.
    EXPECT_EQ(Resolve("h"), b);
    EXPECT_EQ(lookups_["h"], 2);
}

TEST_F(HostCacheTest, RecentFailuresStayBehindFreshAddresses) {
    const uint32_t a = Ip("10.0.0.1"), b = Ip("10.0.0.2");
    answers_["h"] = {a};
    auto& cache = cpCHostCache::Instance();
    EXPECT_EQ(Resolve("h"), a);
    cache.MarkBad("h", 80, a);
    cpTestClock::Advance(5'000);  // more than 4 s: the next Resolve refreshes
    answers_["h"] = {a, b};
    EXPECT_EQ(Resolve("h"), b);  // a failed 5 s ago: kept, behind the new b
}

TEST_F(HostCacheTest, ResolvesOncePerHostAndPortWhileAnAddressIsGood) {
    answers_["h"] = {Ip("10.0.0.1")};
    auto& cache = cpCHostCache::Instance();
    Resolve("h");
    cache.MarkGood("h", 80, Ip("10.0.0.1"));
    cpTestClock::Advance(60'000);
    Resolve("h");
    EXPECT_EQ(lookups_["h"], 1);
    uint32_t address = 0;
    EXPECT_TRUE(cache.Resolve("h", 81, &address));  // another port is another entry
    EXPECT_EQ(lookups_["h"], 2);
}

TEST_F(HostCacheTest, UnknownHostFailsAndMarksOfUnknownKeysChangeNothing) {
    uint32_t address = 0;
    auto& cache = cpCHostCache::Instance();
    EXPECT_FALSE(cache.Resolve("nowhere", 80, &address));
    cache.MarkBad("never-seen", 80, Ip("1.2.3.4"));
    cache.MarkGood("never-seen", 80, Ip("1.2.3.4"));
    EXPECT_EQ(lookups_.count("never-seen"), 0u);
}

TEST(cpResolve, LoopbackThroughTheSystemResolver) {
    uint32_t address = 0;
    ASSERT_EQ(cpResolveFirst("127.0.0.1", &address), CP_OK);
    EXPECT_EQ(address, inet_addr("127.0.0.1"));
    EXPECT_EQ(cpResolveFirst("no-such-host.invalid", &address), CP_FAIL);
}
