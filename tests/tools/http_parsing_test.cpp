// The test server's request parsing, range arithmetic, path mapping and command-line rules.
#include <gtest/gtest.h>

#include <limits>

#include "test_server/http_parsing.h"
#include "test_server/rule_option.h"

using namespace tev::tools;

namespace {

struct RangeCase {
    const char* value;
    uint64_t size;
    ByteRange::Kind kind;
    uint64_t first;
    uint64_t last;
};

TEST(HttpParsingTest, ParsesSingleByteRanges) {
    const RangeCase cases[] = {
        {"bytes=0-", 100, ByteRange::Satisfiable, 0, 99},
        {"bytes=40-", 100, ByteRange::Satisfiable, 40, 99},
        {"bytes=40-49", 100, ByteRange::Satisfiable, 40, 49},
        {"bytes=40-4000", 100, ByteRange::Satisfiable, 40, 99},
        {"bytes=99-99", 100, ByteRange::Satisfiable, 99, 99},
        {"bytes=-10", 100, ByteRange::Satisfiable, 90, 99},
        {"bytes=-1000", 100, ByteRange::Satisfiable, 0, 99},
        {" Bytes = 1 - 2 ", 100, ByteRange::Satisfiable, 1, 2},
        {"bytes=100-", 100, ByteRange::Unsatisfiable, 0, 0},
        {"bytes=100-200", 100, ByteRange::Unsatisfiable, 0, 0},
        {"bytes=-0", 100, ByteRange::Unsatisfiable, 0, 0},
        {"bytes=0-", 0, ByteRange::Unsatisfiable, 0, 0},
        {"bytes=-5", 0, ByteRange::Unsatisfiable, 0, 0},
        {"bytes=99999999999999999999999-", 100, ByteRange::Unsatisfiable, 0, 0},
        {"bytes=5-4", 100, ByteRange::None, 0, 0},
        {"bytes=0-1,3-4", 100, ByteRange::None, 0, 0},
        {"items=0-1", 100, ByteRange::None, 0, 0},
        {"bytes=a-", 100, ByteRange::None, 0, 0},
        {"bytes=1", 100, ByteRange::None, 0, 0},
        {"bytes=-", 100, ByteRange::None, 0, 0},
        {"", 100, ByteRange::None, 0, 0},
    };
    for (const RangeCase& c : cases) {
        SCOPED_TRACE(c.value);
        const ByteRange range = ParseRange(c.value, c.size);
        EXPECT_EQ(range.kind, c.kind);
        if (c.kind == ByteRange::Satisfiable) {
            EXPECT_EQ(range.first, c.first);
            EXPECT_EQ(range.last, c.last);
        }
    }
}

TEST(HttpParsingTest, MapsTargetsToPaths) {
    struct Case {
        const char* target;
        std::optional<std::string> decoded;
        std::optional<std::string> normalized;
    };
    const Case cases[] = {
        {"/a/b.bin", "/a/b.bin", "/a/b.bin"},
        {"/a%20b.bin?x=%2e%2e#f", "/a b.bin", "/a b.bin"},
        {"/a/./b//c", "/a/./b//c", "/a/b/c"},
        {"/a/../b", "/a/../b", "/b"},
        {"/..", "/..", std::nullopt},
        {"/a/%2E%2E/%2e%2e/x", "/a/../../x", std::nullopt},
        {"/%2e%2e%2fx", "/../x", std::nullopt},
        {"/x%00y", std::string("/x\0y", 4), std::nullopt},
        {"/", "/", "/"},
        {"/bad%2", std::nullopt, std::nullopt},
        {"/bad%zz", std::nullopt, std::nullopt},
        {"http://host/a", std::nullopt, std::nullopt},
        {"*", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        const std::optional<std::string> decoded = DecodeTargetPath(c.target);
        EXPECT_EQ(decoded, c.decoded);
        if (decoded) {
            EXPECT_EQ(NormalizePath(*decoded), c.normalized);
        }
    }
}

TEST(HttpParsingTest, ParsesRequestHeads) {
    const std::string head =
        "GET /x?y HTTP/1.1\r\nHost: h:1\r\nRange:bytes=1-\r\nX-Empty:\r\nUser-Agent:  a b  "
        "\r\n\r\n";
    EXPECT_EQ(FindHeadEnd(head + "GET"), head.size());
    EXPECT_EQ(FindHeadEnd(head.substr(0, head.size() - 1)), 0u);
    EXPECT_EQ(FindHeadEnd("GET / HTTP/1.1\nHost: x\n\nrest"), 24u);

    const std::optional<HttpRequestHead> parsed = ParseRequestHead(head);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->method, "GET");
    EXPECT_EQ(parsed->target, "/x?y");
    EXPECT_EQ(parsed->version, "HTTP/1.1");
    ASSERT_EQ(parsed->headers.size(), 4u);
    EXPECT_EQ(FindHeader(parsed->headers, "range"), "bytes=1-");
    EXPECT_EQ(FindHeader(parsed->headers, "X-EMPTY"), "");
    EXPECT_EQ(FindHeader(parsed->headers, "User-Agent"), "a b");
    EXPECT_EQ(FindHeader(parsed->headers, "Referer"), std::nullopt);

    for (const char* bad :
         {"", "GET /\r\n\r\n", "GET / HTTP/2\r\n\r\n", "G T / x HTTP/1.1\r\n\r\n",
          "GET / HTTP/1.1\r\nNoColon\r\n\r\n", "GET / HTTP/1.1\r\nA: b\r\n folded\r\n\r\n",
          "GET / HTTP/1.1\r\n: empty name\r\n\r\n"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(ParseRequestHead(bad));
    }
    EXPECT_TRUE(HasToken("Upgrade, Keep-Alive", "keep-alive"));
    EXPECT_FALSE(HasToken("keep-alive-ish", "keep-alive"));
}

TEST(HttpParsingTest, ParsesCommandLineRules) {
    std::string error;
    auto parsed = ParseRuleOption("/a.bin:first=2,range-only,close-after=1000", &error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->first, "/a.bin");
    EXPECT_EQ(parsed->second.kind, HttpRule::CloseAfterBytes);
    EXPECT_EQ(parsed->second.bytes, 1000u);
    EXPECT_EQ(parsed->second.firstN, 2u);
    EXPECT_TRUE(parsed->second.onlyWithRange);

    parsed = ParseRuleOption("/a.bin:no-validators,close-after=10", &error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->second.kind, HttpRule::CloseAfterBytes);
    EXPECT_TRUE(parsed->second.noValidators);
    parsed = ParseRuleOption("/a.bin:no-validators", &error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->second.kind, HttpRule::AddHeaders);
    EXPECT_TRUE(parsed->second.noValidators);

    parsed = ParseRuleOption("/old:redirect=http://127.0.0.1:80/new?a=1,b", &error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->second.kind, HttpRule::Redirect);
    EXPECT_EQ(parsed->second.status, 302);
    EXPECT_EQ(parsed->second.location, "http://127.0.0.1:80/new?a=1,b");

    parsed = ParseRuleOption("*:see-other", &error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->first, "*");
    EXPECT_EQ(parsed->second.status, 303);
    EXPECT_FALSE(parsed->second.location);

    // The torrent link, alone (a normal answer) or before another kind.
    const std::string link =
        "Link: </g.bin.torrent>; rel=describedby; type=\"application/x-bittorrent\"";
    parsed = ParseRuleOption("/g.bin:link=/g.bin.torrent", &error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->second.kind, HttpRule::AddHeaders);
    EXPECT_EQ(parsed->second.headers, std::vector<std::string>{link});
    parsed = ParseRuleOption("/g.bin:first=1,link=/g.bin.torrent,rate=1000", &error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->second.kind, HttpRule::Rate);
    EXPECT_EQ(parsed->second.firstN, 1u);
    EXPECT_EQ(parsed->second.headers, std::vector<std::string>{link});

    const std::pair<const char*, HttpRule::Kind> kinds[] = {
        {"/x:status=503", HttpRule::Status},
        {"/x:close-before-head", HttpRule::CloseBeforeHead},
        {"/x:stall", HttpRule::Stall},
        {"/x:rate=100", HttpRule::Rate},
        {"/x:no-length", HttpRule::OmitContentLength},
        {"/x:ignore-range", HttpRule::IgnoreRange},
        {"/x:chunked", HttpRule::Chunked},
        {"/x:chunked=4096", HttpRule::Chunked},
    };
    for (const auto& [text, kind] : kinds) {
        SCOPED_TRACE(text);
        parsed = ParseRuleOption(text, &error);
        ASSERT_TRUE(parsed) << error;
        EXPECT_EQ(parsed->second.kind, kind);
    }

    for (const char* bad :
         {"/x", "x:stall", "/x:stall=1", "/x:close-after", "/x:close-after=a", "/x:rate=0",
          "/x:status=42", "/x:chunked=0", "/x:first=0,stall", "/x:first=2stall", "/x:explode",
          "/x:link", "/x:link=", "/x:link=,stall", "/x:link=/a b.torrent", "/x:link=/a>.torrent",
          "/x:link=/a.torrent\r\nX: y", "/x:link=/a,b.torrent"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(ParseRuleOption(bad, &error));
        EXPECT_NE(error.find("bad rule"), std::string::npos);
    }
}

}  // namespace
