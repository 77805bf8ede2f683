#include <gtest/gtest.h>

#include <string>

#include "http/response_parser.h"

TEST(nwCHttpResponseParser, CutsLinesAtLineFeedsAndNamesAtTheFirstSpace) {
    nwCHttpResponseParser parser;
    parser.Parse(
        "HTTP/1.1 206 Partial Content\r\n"
        "Content-Length: 42\r\n"
        "Content-Range: bytes 10-51/52\r\n"
        "NoSpaceLine\r\n"
        "Location: /a%20b\r\n"
        "Bare-LF: x\n"
        "\r\n");
    ASSERT_TRUE(parser.HasHead());
    EXPECT_EQ(parser.StatusCode(), 206);
    EXPECT_EQ(parser.ContentLength(), 42);
    ASSERT_EQ(parser.Entries().size(), 5u);
    EXPECT_EQ(parser.Entries()[0].name, "HTTP/1.1");
    EXPECT_EQ(parser.Entries()[0].value, "206 Partial Content");
    EXPECT_EQ(parser.Find("content-range")->value, "bytes 10-51/52");
    EXPECT_EQ(parser.Find("Location:")->value, "/a b");
    EXPECT_EQ(parser.Find("Bare-LF")->value, "x");
    EXPECT_EQ(parser.Find("Missing"), nullptr);
}

TEST(nwCHttpResponseParser, NumbersAreLeadingDigitsOnly) {
    const std::pair<const char*, int64_t> lengths[] = {
        {"Content-Length: 12abc\r\n", 12},
        {"Content-Length: abc\r\n", 0},
        {"Content-Length: -5\r\n", 0},
        {"Content-Length: 99999999999999999999999\r\n", INT64_MAX},  // saturates
        {"", 0},
    };
    for (const auto& [line, expected] : lengths) {
        nwCHttpResponseParser parser;
        parser.Parse(std::string("HTTP/1.1 200 OK\r\n") + line + "\r\n");
        EXPECT_EQ(parser.ContentLength(), expected) << line;
    }
    nwCHttpResponseParser empty;
    EXPECT_EQ(empty.StatusCode(), 0);
    empty.Parse("garbage\r\n\r\n");
    EXPECT_EQ(empty.StatusCode(), 0);
}

TEST(HttpHeadLength, FindsTheFirstBlankLine) {
    EXPECT_EQ(HttpHeadLength("HTTP/1.1 200 OK\r\n\r\nbody"), 19u);
    EXPECT_EQ(HttpHeadLength("HTTP/1.1 200 OK\r\n\r"), 0u);
    EXPECT_EQ(HttpHeadLength("\r\n\r\n"), 4u);
}
