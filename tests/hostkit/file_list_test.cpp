#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostkit/file_list.h"

namespace {

struct ParseCase {
    const char* name;
    std::string data;
    FileListOutcome outcome;
    std::vector<std::string> urls;
};

}  // namespace

TEST(ParseFileList, LinesBreaksAndTails) {
    const std::string line1023(1023, 'u');
    const std::string line1024(1024, 'u');
    const ParseCase cases[] = {
        {"CR LF, LF and an unterminated line",
         "a\r\nb\nabc",
         FileListOutcome::Parsed,
         {"a", "b", "abc"}},
        {"a 2-byte tail is dropped", "a\r\nb\nab", FileListOutcome::Parsed, {"a", "b"}},
        {"a 3-byte tail counts", "a\r\nb\nabc", FileListOutcome::Parsed, {"a", "b", "abc"}},
        {"blanks and tabs are trimmed",
         " \thttp://h/1.zip \t\r\n\thttp://h/2.zip\n",
         FileListOutcome::Parsed,
         {"http://h/1.zip", "http://h/2.zip"}},
        {"an empty line between LF lines is skipped",
         "a1\n\nb2\n",
         FileListOutcome::Parsed,
         {"a1", "b2"}},
        {"an empty line between CR LF lines is an empty entry",
         "a1\r\n\r\nb2\r\n",
         FileListOutcome::Parsed,
         {"a1", "", "b2"}},
        {"a leading empty line joins the next one", "\nabc\n", FileListOutcome::Parsed, {"abc"}},
        {"a lone CR is no break", "a\rb\n", FileListOutcome::Parsed, {"a\rb"}},
        {"a line of blanks is an empty entry", "   \nabc\n", FileListOutcome::Parsed, {"", "abc"}},
        {"UTF-8 stays as it is",
         "http://h/\xE9\x81\x8A.exe\n",
         FileListOutcome::Parsed,
         {"http://h/\xE9\x81\x8A.exe"}},
        {"no data", "", FileListOutcome::Empty, {}},
        {"a single LF", "\n", FileListOutcome::Empty, {}},
        {"a single CR LF is an empty entry", "\r\n", FileListOutcome::Parsed, {""}},
        {"breaks alone still make an entry", "\r\n\n\n", FileListOutcome::Parsed, {""}},
        {"only a short tail", "ab", FileListOutcome::Empty, {}},
        {"1023 bytes are a URL", line1023 + "\n", FileListOutcome::Parsed, {line1023}},
        {"1024 bytes are not", "a\n" + line1024 + "\nb\n", FileListOutcome::LineTooLong, {"a"}},
        {"a 1023-byte tail is a URL", "a\n" + line1023, FileListOutcome::Parsed, {"a", line1023}},
        {"a 1024-byte tail is not", "a\n" + line1024, FileListOutcome::LineTooLong, {"a"}},
        // "\r\n\n": the LF after the break starts the next line and counts toward its length.
        {"a skipped LF counts toward the limit",
         "a\r\n\n" + line1023 + "\n",
         FileListOutcome::LineTooLong,
         {"a"}},
        {"a skipped LF and 1022 bytes fit",
         "a\r\n\n" + line1023.substr(1) + "\n",
         FileListOutcome::Parsed,
         {"a", line1023.substr(1)}},
    };
    for (const ParseCase& c : cases) {
        const CFileList list = ParseFileList(c.data);
        EXPECT_EQ(list.outcome, c.outcome) << c.name;
        EXPECT_EQ(list.urls, c.urls) << c.name;
    }
}

TEST(QualifiesAsInstaller, OneFileOrAnInstallerExtension) {
    struct Case {
        size_t files;
        const char* path;
        bool qualifies;
    };
    const Case cases[] = {
        {1, "/d/QK/readme.txt", true},  // the only file is the installer whatever its name
        {1, "/d/QK/noextension", true},
        {3, "/d/QK/Setup.EXE", true},
        {3, "/d/QK/setup.exe", true},
        {3, "/d/QK/install.sh", true},
        {3, "/d/QK/game.RUN", true},
        {3, "/d/QK/Game-x86_64.AppImage", true},
        {3, "/d/QK/game.appimage", true},
        {3, "/d/QK/data.bin", false},
        {3, "/d/QK/setup", false},
        {3, "/d/v1.exe/setup", false},  // the dot belongs to a folder
        {3, "/d/QK/setup.exe.part", false},
        {0, "/d/QK/setup.exe", true},
        {2, "", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QualifiesAsInstaller(c.files, c.path), c.qualifies) << c.files << " " << c.path;
    }
}

// Both hosts take a completed file's path from the library's "URL,path" message by one rule: what
// follows the file's own URL, so commas in the URL or the path do not cut it; a text that may have
// been cut at the field's end gives the job folder and the file's name instead.
TEST(LocalPathOfFileMessage, WhatFollowsTheFilesOwnUrl) {
    const std::vector<std::string> urls = {"http://h/a,b/readme.txt", "http://h/inst,1.sh"};
    const std::string longUrl = "http://h/" + std::string(900, 'd') + "/setup.sh";
    const std::string longText = longUrl + "," + std::string(200, 'f');
    const struct {
        const char* name;
        std::string text;
        std::vector<std::string> urls;
        size_t index;
        std::string path;
    } cases[] = {
        {"commas in the URL", "http://h/inst,1.sh,/g/inst,1.sh", urls, 1, "/g/inst,1.sh"},
        {"out of order", "http://h/a,b/readme.txt,/g/readme.txt", urls, 1, "/g/readme.txt"},
        {"a comma in the path", "http://h/inst,1.sh,/g,x/inst,1.sh", urls, 0, "/g,x/inst,1.sh"},
        {"cut at the field's end", longText.substr(0, 1023), {longUrl}, 0, "/job/setup.sh"},
        {"a URL not listed", "http://h/other,/g/other", urls, 5, "/g/other"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = LocalPathOfFileMessage(c.text, c.urls, c.index, "/job");
        EXPECT_EQ(path, c.path);
    }
    EXPECT_EQ(UrlOfFileMessage("http://h/inst,1.sh,/g/inst,1.sh", "/g/inst,1.sh"),
              "http://h/inst,1.sh");
}
