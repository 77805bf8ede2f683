#include <gtest/gtest.h>

#include <string>

#include "http/response_parser.h"

TEST(nwCHttpResponseParser, CutsLinesAtLineFeedsAndHeadersAtTheirColon) {
    nwCHttpResponseParser parser;
    parser.Parse(
        "HTTP/1.1 206 Partial Content\r\n"
        "Content-Length: 42\r\n"
        "Content-Range:bytes 10-51/52\r\n"
        "NoColonLine\r\n"
        "Bad Name: x\r\n"
        " folded: y\r\n"
        "Location: /a%20b \r\n"
        "Bare-LF: x\n"
        "\r\n");
    ASSERT_TRUE(parser.HasHead());
    EXPECT_EQ(parser.StatusCode(), 206);
    EXPECT_EQ(parser.ContentLength(), 42);
    ASSERT_EQ(parser.Entries().size(), 5u);
    EXPECT_EQ(parser.Entries()[0].name, "HTTP/1.1");
    EXPECT_EQ(parser.Entries()[0].value, "206 Partial Content");
    EXPECT_EQ(parser.Entries()[1].name, "Content-Length");
    EXPECT_EQ(parser.Find("content-range")->value, "bytes 10-51/52");
    // Values are never percent-decoded.
    EXPECT_EQ(parser.Find("Location:")->value, "/a%20b");
    EXPECT_EQ(parser.Find("Bare-LF")->value, "x");
    EXPECT_EQ(parser.Find("Missing"), nullptr);
    EXPECT_EQ(parser.Find("Content"), nullptr) << "whole names only";
    EXPECT_EQ(parser.Find("HTTP/1.1"), nullptr) << "the status line is no header";
    EXPECT_EQ(parser.Defect(), "");
}

TEST(nwCHttpResponseParser, ContentLengthIsPlainDigitsAndOneValue) {
    using eLength = nwCHttpResponseParser::eLength;
    struct Case {
        const char* headers;
        eLength state;
        int64_t length;
    };
    const Case cases[] = {
        {"Content-Length: 195000\r\n", eLength::kValid, 195000},
        {"content-length:7\r\n", eLength::kValid, 7},
        {"Content-Length: 0\r\n", eLength::kValid, 0},
        {"", eLength::kNone, 0},
        // A longer name is another header, whatever it starts with.
        {"Content-Length-Hint: 5\r\nContent-Length: 195000\r\n", eLength::kValid, 195000},
        {"Content-Length-Hint: 5\r\n", eLength::kNone, 0},
        {"Content-Length: 5\r\nCONTENT-LENGTH: 5\r\n", eLength::kValid, 5},
        {"Content-Length: 5\r\nContent-Length: 195000\r\n", eLength::kInvalid, 0},
        {"Content-Length: %35\r\n", eLength::kInvalid, 0},
        {"Content-Length: 12abc\r\n", eLength::kInvalid, 0},
        {"Content-Length: abc\r\n", eLength::kInvalid, 0},
        {"Content-Length: -5\r\n", eLength::kInvalid, 0},
        {"Content-Length: +5\r\n", eLength::kInvalid, 0},
        {"Content-Length: 5, 5\r\n", eLength::kInvalid, 0},
        {"Content-Length: \r\n", eLength::kInvalid, 0},
        {"Content-Length: 99999999999999999999999\r\n", eLength::kInvalid, 0},
    };
    for (const Case& c : cases) {
        nwCHttpResponseParser parser;
        parser.Parse(std::string("HTTP/1.1 200 OK\r\n") + c.headers + "\r\n");
        EXPECT_EQ(parser.LengthState(), c.state) << c.headers;
        EXPECT_EQ(parser.ContentLength(), c.length) << c.headers;
        EXPECT_EQ(parser.Defect().empty(), c.state != eLength::kInvalid) << c.headers;
    }
    nwCHttpResponseParser chunked;
    chunked.Parse("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n");
    EXPECT_NE(chunked.Defect(), "") << "a length beside a transfer coding";
    chunked.Parse("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    EXPECT_EQ(chunked.Defect(), "");

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
