// Reading the updater descriptor and the decisions made from it: what is out of date and which
// downloads that asks for.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "foundation/log.h"
#include "support/test_host.h"
#include "update/descriptor.h"
#include "update/download_file.h"
#include "update/downloader.h"
#include "xml/xml_parser.h"

namespace {

constexpr char kDescriptor[] = R"(<?xml version="1.0"?>
<TevDownload>
  <All><all url="http://u/all/TEVDownloadV32.zip" hash="http://u/all/TEVDownloadV32.zip.hash"/></All>
  <FILE>
    <TEVDownloadV32 ver="3.0.0.2" url="http://u/file/TEVDownloadV32.zip" hash="http://u/file/TEVDownloadV32.zip.hash"/>
    <LICENSE.txt URL="http://u/file/LICENSE.zip" hash="http://u/file/LICENSE.zip.hash"/>
  </FILE>
</TevDownload>)";

TEST(Descriptor, ReadsElementsWithoutRegardToCaseAndAttributesExactly) {
    CXMLParserVelmor parser;
    parser.Load(kDescriptor);
    const CXMLElement* root = parser.Root();
    EXPECT_EQ(ReadEngineVersion(root, "TEVDownloadV32"), "3.0.0.2");
    EXPECT_EQ(ReadEngineVersion(root, "tevdownloadv32"), "3.0.0.2");
    EXPECT_EQ(ReadEngineVersion(root, "LICENSE.txt"), "");
    std::string url;
    std::string hash;
    ReadPackage(root, &url, &hash);
    EXPECT_EQ(url, "http://u/all/TEVDownloadV32.zip");
    EXPECT_EQ(hash, "http://u/all/TEVDownloadV32.zip.hash");
    ReadFileEntry(root, "LICENSE.txt", &url, &hash);
    EXPECT_EQ(url, "") << "\"URL\" is not \"url\"";
    EXPECT_EQ(hash, "http://u/file/LICENSE.zip.hash");
    ReadFileEntry(root, "missing", &url, &hash);
    EXPECT_EQ(url + hash, "");
    EXPECT_EQ(CountFiles(root), 2u);

    parser.Load("<r><file/></r>");
    EXPECT_EQ(CountFiles(parser.Root()), 0u);
    parser.Load("<r/>");
    EXPECT_EQ(CountFiles(parser.Root()), 0u);
}

TEST(Descriptor, AttributeValuesAreCutToTheirBuffers) {
    const std::string longUrl = "http://u/" + std::string(400, 'a') + ".zip";
    const std::string text = "<r><file><TEVDownloadV32 ver=\"" + std::string(200, '9') +
                             "\" url=\"" + longUrl + "\"/></file></r>";
    CXMLParserVelmor parser;
    parser.Load(text.c_str());
    std::string url;
    std::string hash;
    ReadFileEntry(parser.Root(), "TEVDownloadV32", &url, &hash);
    EXPECT_EQ(url, longUrl.substr(0, 255));
    EXPECT_EQ(ReadEngineVersion(parser.Root(), "TEVDownloadV32"), std::string(127, '9'));
}

struct ListCase {
    const char* name;
    const char* current;
    const char* offered;
    bool enginePresent;
    std::vector<std::string> expected;  // "E" stands for the engine path
};

void PrintTo(const ListCase& c, std::ostream* out) {
    *out << c.name;
}

class UpdateListTest : public ::testing::TestWithParam<ListCase> {};

TEST_P(UpdateListTest, NamesWhatIsOutOfDate) {
    const ListCase& c = GetParam();
    ResetLog();
    const std::string folder = std::string(std::getenv("HOME")) + "/engine/";
    std::filesystem::create_directories(folder);
    const std::string engine = folder + "TEVDownloadV32";
    if (c.enginePresent) {
        std::ofstream(engine) << "program";
    }
    const CEngineEnvironment environment{[&] { return folder; }, [&] { return engine; },
                                         [] { return std::string(); },
                                         [&] { return std::string(c.current); }, nullptr};
    std::vector<std::string> expected;
    for (const std::string& entry : c.expected) {
        expected.push_back(entry == "E" ? engine : entry);
    }
    EXPECT_EQ(BuildUpdateList(c.offered, environment), expected);
    EXPECT_TRUE(TestHost::LogContains(std::string("[TessloadLib] Current Version: ") + c.current +
                                      " / New Version: " + c.offered));
    EXPECT_TRUE(TestHost::LogContains(
        "[TessloadLib] Update File (Count: " + std::to_string(expected.size()) + ")"));
}

INSTANTIATE_TEST_SUITE_P(
    Versions, UpdateListTest,
    ::testing::Values(ListCase{"UpToDate", "3.0.0.2", "3.0.0.2", true, {}},
                      ListCase{"UpToDateButMissing", "3.0.0.2", "3.0.0.2", false, {"E"}},
                      ListCase{"Newer", "3.0.0.1", "3.0.0.2", true, {"E", ""}},
                      // Any difference counts: an older offer is installed too.
                      ListCase{"Older", "3.0.0.2", "3.0.0.1", true, {"E", ""}},
                      ListCase{"NoneInstalled", "", "3.0.0.2", false, {"E", ""}}),
    [](const ::testing::TestParamInfo<ListCase>& info) { return info.param.name; });

struct FormCase {
    const char* name;
    const char* descriptor;
    std::vector<std::string> list;
    bool formed;
    std::vector<std::string> urls;  // of the downloads, in order
};

void PrintTo(const FormCase& c, std::ostream* out) {
    *out << c.name;
}

class FormDownloadsTest : public ::testing::TestWithParam<FormCase> {};

TEST_P(FormDownloadsTest, AsksForThePackageOrSingleFiles) {
    const FormCase& c = GetParam();
    CXMLParserVelmor parser;
    parser.Load(c.descriptor);
    std::vector<CUpdateDownload> downloads;
    EXPECT_EQ(FormDownloads(parser.Root(), c.list, "/e/TEVDownloadV32", &downloads), c.formed);
    std::vector<std::string> urls;
    for (const CUpdateDownload& d : downloads) {
        urls.push_back(d.url);
        EXPECT_EQ(d.folder, "/e/");
    }
    EXPECT_EQ(urls, c.urls);
    if (!downloads.empty() && c.formed) {
        EXPECT_EQ(downloads[0].name, "TEVDownloadV32");
    }
}

constexpr char kTwoFiles[] = R"(<r>
  <all><all url="http://u/all.zip" hash="http://u/all.zip.hash"/></all>
  <file><TEVDownloadV32 ver="2" url="http://u/engine.zip" hash="http://u/engine.hash"/><b/></file>
</r>)";
constexpr char kOneFile[] = R"(<r>
  <all><all url="http://u/all.zip" hash="http://u/all.zip.hash"/></all>
  <file><TEVDownloadV32 ver="2" url="http://u/engine.7z" hash="http://u/engine.hash"/></file>
</r>)";
constexpr char kNoPackageUrl[] = R"(<r><all><all url=""/></all>
  <file><TEVDownloadV32 ver="2" url="http://u/engine.zip" hash="h"/><b/></file></r>)";
constexpr char kNoHashOverHttp[] = R"(<r>
  <file><TEVDownloadV32 ver="2" url="http://u/engine.zip"/></file></r>)";
constexpr char kNoHashOverHttps[] = R"(<r>
  <file><TEVDownloadV32 ver="2" url="https://u/engine.zip"/></file></r>)";

INSTANTIATE_TEST_SUITE_P(
    Lists, FormDownloadsTest,
    ::testing::Values(
        // The outdated engine gives two entries (the second empty): as many as "file" children.
        FormCase{"PackageForTwoChildren",
                 kTwoFiles,
                 {"/e/TEVDownloadV32", ""},
                 true,
                 {"http://u/all.zip"}},
        FormCase{"SingleFileOtherwise",
                 kOneFile,
                 {"/e/TEVDownloadV32", ""},
                 true,
                 {"http://u/engine.7z"}},
        FormCase{
            "MissingEngineOnly", kTwoFiles, {"/e/TEVDownloadV32"}, true, {"http://u/engine.zip"}},
        FormCase{"NothingOutOfDate", kTwoFiles, {}, true, {}},
        FormCase{"PackageWithoutUrl", kNoPackageUrl, {"/e/TEVDownloadV32", ""}, false, {}},
        FormCase{"FileWithoutUrl", kTwoFiles, {"/e/b"}, false, {}},
        // Over plain http nothing else could check the archive.
        FormCase{"NoHashOverHttp", kNoHashOverHttp, {"/e/TEVDownloadV32", ""}, false, {}},
        FormCase{"NoHashOverHttps",
                 kNoHashOverHttps,
                 {"/e/TEVDownloadV32", ""},
                 true,
                 {"https://u/engine.zip"}}),
    [](const ::testing::TestParamInfo<FormCase>& info) { return info.param.name; });

TEST(ArchiveKindOfUrl, TakesTheTextAfterTheLastDotIgnoringCase) {
    const std::pair<const char*, int> cases[] = {
        {"http://u/a.zip", 2},     {"http://u/a.ZIP", 2},
        {"http://u/a.7Z", 1},      {"http://u/a.tar.gz", 0},
        {"http://u/zip", 0},       {".zip", 0},
        {"http://u/a.zip?x=1", 0}, {"", 0},
    };
    for (const auto& [url, kind] : cases) {
        EXPECT_EQ(ArchiveKindOfUrl(url), kind) << url;
    }
}

}  // namespace

namespace {

// The deployment value names the download server; an "https://" value makes the address https.
TEST(UpdateDescriptorUrl, IsBuiltFromTheDownloadServer) {
    const std::pair<const char*, const char*> cases[] = {
        {"downloads.example:8080",
         "http://downloads.example:8080/velmor/tevdownload/update/v3_32/tevdownload_updater.xml"},
        {"https://downloads.example/",
         "https://downloads.example/velmor/tevdownload/update/v3_32/tevdownload_updater.xml"},
        {"http://127.0.0.1:5",
         "http://127.0.0.1:5/velmor/tevdownload/update/v3_32/tevdownload_updater.xml"},
    };
    for (const auto& [server, url] : cases) {
        setenv("TEV_DOWNLOAD_SERVER", server, 1);
        EXPECT_EQ(UpdateDescriptorUrl(), url);
    }
}

}  // namespace
