#include <gtest/gtest.h>

#include <string>

#include "http/request_builder.h"

namespace {

std::string Build(const std::string& path,
                  const std::vector<std::pair<std::string, std::string>>& headers = {}) {
    auto builder = CreateHeaderBuilder(1);
    for (const auto& [name, value] : headers) {
        builder->SetHeader(name, value);
    }
    builder->SetHeader("GET", path);
    builder->SetContentLength(0);
    std::string out;
    builder->BuildHeader(&out);
    return out;
}

std::string RequestLine(const std::string& head) {
    return head.substr(0, head.find("\r\n"));
}

}  // namespace

TEST(nwCHttpGETHeaderBuilder, DefaultHeadByteForByte) {
    EXPECT_EQ(Build("/game/setup.exe", {{"Host", "example.com"}}),
              "GET /game/setup.exe HTTP/1.1\r\n"
              "Accept: */*\r\n"
              "Referer: " +
                  DefaultReferer() +
                  "\r\n"
                  "Accept-Language: ko\r\n"
                  "User-Agent: ZPeerClient\r\n"
                  "Host: example.com\r\n"
                  "Connection: Keep-Alive\r\n"
                  "\r\n");
    EXPECT_EQ(DefaultReferer().rfind("http://", 0), 0u);
}

TEST(nwCHttpGETHeaderBuilder, RequestTargets) {
    const std::pair<const char*, const char*> cases[] = {
        {"/a b/c.zip", "GET /a%20b/c.zip HTTP/1.1"},
        {"/dir//file/", "GET /dir/file HTTP/1.1"},
        {"/", "GET / HTTP/1.1"},
        {"", "GET / HTTP/1.1"},
        {"/f?x=1&y", "GET /f?x=1 HTTP/1.1"},
        {"/q?a=1&b=x y&c=", "GET /q?a=1&b=x%20y&c= HTTP/1.1"},
        {"/\xEA\xB2\x8C\xEC\x9E\x84.zip", "GET /%EA%B2%8C%EC%9E%84.zip HTTP/1.1"},
        {"/~user/a:b", "GET /%7Euser/a%3Ab HTTP/1.1"},
        // Escapes already there are kept: a Location "/a%20b" (no longer decoded) asks for
        // "a b", not for "a%20b" (%2520). A '%' that is no escape is still encoded.
        {"/a%20b/c%2Fd.zip", "GET /a%20b/c%2Fd.zip HTTP/1.1"},
        {"/100%.zip", "GET /100%25.zip HTTP/1.1"},
        {"/a%2", "GET /a%252 HTTP/1.1"},
        {"/a%zz", "GET /a%25zz HTTP/1.1"},
        {"/q?x=a%20b&y=c d", "GET /q?x=a%20b&y=c%20d HTTP/1.1"},
    };
    for (const auto& [path, line] : cases) {
        EXPECT_EQ(RequestLine(Build(path)), line) << path;
    }
}

TEST(nwCHttpGETHeaderBuilder, CallerHeadersKeepTheirPlaceOrComeLast) {
    const std::string head = Build("/f", {{"user-agent", "Tester"},
                                          {"Range", "bytes=100-"},
                                          {"X-Note", "two words"},
                                          {"Cookie", "a=b c"}});
    EXPECT_EQ(head,
              "GET /f HTTP/1.1\r\n"
              "Accept: */*\r\n"
              "Referer: " +
                  DefaultReferer() +
                  "\r\n"
                  "Accept-Language: ko\r\n"
                  "User-Agent: Tester\r\n"
                  "Range: bytes=100-\r\n"
                  "Connection: Keep-Alive\r\n"
                  "X-Note: two%20words\r\n"
                  "Cookie: a=b c\r\n"
                  "\r\n");
    EXPECT_EQ(head.find("Accept-Encoding"), std::string::npos);
}

TEST(nwCHttpGETHeaderBuilder, ParametersReplaceByNameIgnoringCase) {
    auto builder = CreateHeaderBuilder(1);
    builder->SetParam("Id", "1");
    builder->SetParam("id", "2");
    builder->SetParam("v", "a&b");
    builder->SetHeader("GET", "/p");
    std::string out;
    builder->BuildHeader(&out);
    EXPECT_EQ(RequestLine(out), "GET /p?Id=2&v=a%26b HTTP/1.1");
    EXPECT_EQ(CreateHeaderBuilder(2), nullptr);
}
