#include <gtest/gtest.h>

#include <string>

#include "http/redirect.h"

TEST(ResolveLocation, FollowsEveryLegalReference) {
    const std::string base = "http://files.example:8080/game/v2/list.txt?x=1";
    const std::pair<const char*, const char*> cases[] = {
        {"http://mirror.example/a.bin", "http://mirror.example/a.bin"},
        {"HTTPS://secure.example/a", "HTTPS://secure.example/a"},
        {"//cdn.example/a.bin", "http://cdn.example/a.bin"},
        {"/other/a.bin", "http://files.example:8080/other/a.bin"},
        {"a.bin", "http://files.example:8080/game/v2/a.bin"},
        {"../a.bin?k=v", "http://files.example:8080/game/a.bin?k=v"},
        {"../../../../a.bin", "http://files.example:8080/a.bin"},
        {"./", "http://files.example:8080/game/v2/"},
        {"a.bin#part", "http://files.example:8080/game/v2/a.bin"},
        {"?page=2", "http://files.example:8080/game/v2/list.txt?page=2"},
    };
    for (const auto& [location, expected] : cases) {
        std::string resolved;
        ASSERT_TRUE(ResolveLocation(base, location, &resolved)) << location;
        EXPECT_EQ(resolved, expected) << location;
    }
    std::string resolved;
    EXPECT_TRUE(ResolveLocation("http://host", "x", &resolved));
    EXPECT_EQ(resolved, "http://host/x");
    EXPECT_FALSE(ResolveLocation("ftp://host/a", "b", &resolved));
    EXPECT_FALSE(ResolveLocation(base, "", &resolved));
}

// What a verified server sent must not continue over plain http; the step up is fine.
TEST(JudgeRedirect, RefusesAStepDownFromHttps) {
    struct Case {
        const char* from;
        const char* location;
        eRedirectVerdict verdict;
        const char* next;
    };
    const Case cases[] = {
        {"https://a.example/x", "http://b.example/y", eRedirectVerdict::kRefused, ""},
        {"HTTPS://a.example/x", "HTTP://a.example/y", eRedirectVerdict::kRefused, ""},
        {"https://a.example/x", "ftp://a.example/y", eRedirectVerdict::kRefused, ""},
        {"https://a.example/x", "https://b.example/y", eRedirectVerdict::kFollow,
         "https://b.example/y"},
        {"https://a.example/x", "//b.example/y", eRedirectVerdict::kFollow, "https://b.example/y"},
        {"https://a.example/x", "y%20z", eRedirectVerdict::kFollow, "https://a.example/y%20z"},
        {"http://a.example/x", "https://b.example/y", eRedirectVerdict::kFollow,
         "https://b.example/y"},
        {"http://a.example/x", "http://b.example/y", eRedirectVerdict::kFollow,
         "http://b.example/y"},
        {"https://a.example/x", "", eRedirectVerdict::kUnusable, ""},
    };
    for (const Case& c : cases) {
        std::string next;
        EXPECT_EQ(JudgeRedirect(c.from, c.location, &next), c.verdict) << c.location;
        EXPECT_EQ(next, c.next) << c.location;
    }
}

TEST(CRedirectChain, AllowsTenRedirects) {
    CRedirectChain chain;
    for (int i = 0; i < CRedirectChain::kMaxRedirects; ++i) {
        EXPECT_TRUE(chain.Follow()) << i;
    }
    EXPECT_FALSE(chain.Follow());
    chain.Reset();
    EXPECT_TRUE(chain.Follow());
}
