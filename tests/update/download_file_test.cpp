// The update files and their list: the order of URLs, tries, what a delivered body leads to
// (checked, unpacked, refused) and what the descriptor adds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../archive/archive_builders.h"
#include "foundation/log.h"
#include "support/test_host.h"
#include "update/download_file.h"
#include "update/hash_document.h"

namespace {

std::string Home() {
    return std::getenv("HOME");
}

class UpdateFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(engineFolder_);
        ResetLog();
    }

    CEngineEnvironment Environment() {
        return {[this] { return engineFolder_; },
                [this] { return engineFolder_ + "TEVDownloadV32"; }, [] { return std::string(); },
                [this] { return currentVersion_; }, nullptr};
    }
    int32_t Deliver(CDownloadFile* file, const std::string& url, const Bytes& data, int32_t* kind) {
        return file->Deliver(url, data.data(), static_cast<int64_t>(data.size()), kind);
    }
    int32_t Deliver(CDownloadFile* file, const std::string& url, const std::string& data,
                    int32_t* kind) {
        return Deliver(file, url, Bytes(data.begin(), data.end()), kind);
    }

    std::string engineFolder_ = Home() + "/engine/";
    std::string currentVersion_;
    CDownloadFileList list_{Environment()};
};

TEST_F(UpdateFilesTest, GivesTheHashDocumentFirstThenTheArchive) {
    ASSERT_TRUE(list_.AddFile("http://u/e.zip", "http://u/e.hash", "TEVDownloadV32", "/x/"));
    CDownloadFile* file = list_.NextFile();
    ASSERT_NE(file, nullptr);
    std::string url;
    ASSERT_TRUE(file->NextUrl(&url));
    EXPECT_EQ(url, "http://u/e.hash");
    EXPECT_EQ(file->UrlKind("http://u/e.hash"), kUrlKindHash);
    EXPECT_EQ(file->UrlKind("http://u/e.zip"), kUrlKindMain);
    EXPECT_EQ(file->UrlKind("http://u/other"), kUrlKindNone);
    EXPECT_EQ(file->UrlKind(""), kUrlKindNone);

    const Bytes archive = BuildZip({{.name = "TEVDownloadV32", .data = "program"}});
    const std::vector<uint8_t> hash = BuildHashDocument(archive.data(), archive.size());
    int32_t kind = -1;
    EXPECT_EQ(Deliver(file, "http://u/e.hash", Bytes(hash.begin(), hash.end()), &kind), kFileOk);
    EXPECT_EQ(kind, kUrlKindHash);
    EXPECT_FALSE(file->IsFinished()) << "the archive is still to come";
    ASSERT_TRUE(file->NextUrl(&url));
    EXPECT_EQ(url, "http://u/e.zip");
    EXPECT_EQ(file->UrlKind("http://u/e.zip"), kUrlKindMain);
    EXPECT_EQ(Deliver(file, "http://u/other", "x", &kind), kFileUnknownUrl);
    EXPECT_EQ(Deliver(file, "http://u/e.zip", "", &kind), kFileBadArguments);
    EXPECT_EQ(file->Deliver("http://u/e.zip", nullptr, 5, &kind), kFileBadArguments);
}

TEST_F(UpdateFilesTest, DeliveredArchivesAreCheckedThenUnpacked) {
    const std::string folder = Home() + "/out/";
    const Bytes archive = BuildZip({{.name = "TEVDownloadV32", .data = "program"}});
    const std::vector<uint8_t> good = BuildHashDocument(archive.data(), archive.size());
    std::vector<uint8_t> bad = good;
    bad[3] ^= 1;
    const Bytes garbage = {'n', 'o', 't', ' ', 'z', 'i', 'p'};

    struct Case {
        const char* url;
        const std::vector<uint8_t>* hash;  // null: no hash document
        const Bytes* data;
        int32_t code;
        bool written;
    };
    const Case cases[] = {
        {"https://u/a.zip", &bad, &archive, kFileHashMismatch, false},
        {"https://u/b.ZIP", &good, &archive, kFileOk, true},  // extension in upper case
        {"https://u/c.tar", &good, &archive, kFileUnpackFailed, false},
        {"https://u/d.7z", &good, &archive, kFileUnpackFailed, false},  // not a 7z archive
        // Without a key nothing vouches for an archive over plain http, hash document or not.
        {"http://u/e.zip", &good, &archive, kFileRefused, false},
        {"https://u/f.zip", nullptr, &archive, kFileOk, true},
    };
    // A build without any key: archives only over https, checked by their hash documents.
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        std::filesystem::remove_all(folder);
        CDownloadFile file(&list_, c.url, "", "TEVDownloadV32", folder);
        EXPECT_EQ(list_.OnFileDelivered(&file, c.hash, c.data->data(),
                                        static_cast<int64_t>(c.data->size())),
                  c.code);
        EXPECT_EQ(std::filesystem::exists(folder + "TEVDownloadV32"), c.written);
    }
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] Unchecked File (URL: https://u/f.zip)"));
    CDownloadFile file(&list_, "https://u/g.zip", "", "n", folder);
    EXPECT_EQ(list_.OnFileDelivered(&file, &good, garbage.data(), 0), kFileBadArguments);
    EXPECT_EQ(list_.OnFileDelivered(nullptr, &good, garbage.data(), 7), kFileBadArguments);
}

TEST_F(UpdateFilesTest, AFileHasThreeTriesUnlessPersistent) {
    ASSERT_TRUE(list_.AddFile("http://u/e.zip", "http://u/e.hash", "n", "/x/"));
    EXPECT_FALSE(list_.AddFile("http://u/e.zip", "", "n", "/x/")) << "one file per address";
    // A file without an address could never be fetched, and the run would never end.
    EXPECT_FALSE(list_.AddFile("", "", "n", "/x/"));

    CDownloadFile* file = list_.NextFile();
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(list_.NextFile(), nullptr) << "a busy file is not given twice";
    // While the network is waited for, attempts use no tries.
    list_.Finish("http://u/e.hash", false);
    list_.SetAllPersistent(true);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(list_.NextFile(), file);
        list_.Finish("http://u/e.hash", false);
    }
    list_.SetAllPersistent(false);
    EXPECT_EQ(file->TriesLeft(), 2);
    ASSERT_EQ(list_.NextFile(), file);
    list_.Finish("http://u/e.hash", false);
    ASSERT_EQ(list_.NextFile(), file);
    list_.Finish("http://u/e.hash", false);
    EXPECT_FALSE(list_.HasFiles()) << "out of tries, the file leaves the list";
    EXPECT_EQ(list_.NextFile(), nullptr);
}

// A hash document that did not arrive: over https the next attempt fetches the archive alone;
// over http the hash document is fetched again every time.
TEST_F(UpdateFilesTest, AFailedHashDocumentIsSkippedOnlyOverHttps) {
    for (const std::string scheme : {"http", "https"}) {
        SCOPED_TRACE(scheme);
        const std::string url = scheme + "://u/e.zip";
        const std::string hash = scheme + "://u/e.hash";
        ASSERT_TRUE(list_.AddFile(url, hash, "n", "/x/"));
        CDownloadFile* file = list_.NextFile();
        list_.Finish(hash, false);
        ASSERT_EQ(list_.NextFile(), file);
        std::string next;
        file->NextUrl(&next);
        EXPECT_EQ(next, scheme == "https" ? url : hash);
        list_.Finish(next, false);
        ASSERT_EQ(list_.NextFile(), file);
        list_.Finish(next, false);
        EXPECT_FALSE(list_.HasFiles());
    }
}

TEST_F(UpdateFilesTest, TheDescriptorAddsWhatIsOutOfDate) {
    const std::string descriptor = R"(<r>
  <all><all url="http://u/all.zip" hash="http://u/all.hash"/></all>
  <file><TEVDownloadV32 ver="3.0.0.2" url="http://u/e.zip" hash="http://u/e.hash"/></file>
</r>)";
    ASSERT_TRUE(list_.AddFile("http://u/updater.xml", "", "", ""));
    CDownloadFile* file = list_.NextFile();
    EXPECT_EQ(file->UrlKind("http://u/updater.xml"), kUrlKindDescriptor);
    int32_t kind = -1;
    EXPECT_EQ(Deliver(file, "http://u/updater.xml", descriptor, &kind), kFileOk);
    EXPECT_EQ(kind, kUrlKindDescriptor);
    EXPECT_TRUE(file->IsFinished());
    EXPECT_EQ(list_.NewVersion(), "3.0.0.2");
    list_.Finish("http://u/updater.xml", true);
    ASSERT_EQ(list_.FileCount(), 1u);
    CDownloadFile* engine = list_.NextFile();
    EXPECT_EQ(engine->Url(), "http://u/e.zip");
    EXPECT_EQ(engine->HashUrl(), "http://u/e.hash");
    EXPECT_EQ(engine->Folder(), engineFolder_);
    EXPECT_EQ(engine->Name(), "TEVDownloadV32");
}

struct DescriptorCase {
    const char* name;
    std::string descriptor;
    std::string currentVersion;
    bool engineFolderBlocked;
    int32_t code;
    size_t added;
};

class DescriptorDelivered : public UpdateFilesTest,
                            public ::testing::WithParamInterface<DescriptorCase> {};

TEST_P(DescriptorDelivered, AnswersItsCode) {
    const DescriptorCase& c = GetParam();
    currentVersion_ = c.currentVersion;
    std::ofstream(engineFolder_ + "TEVDownloadV32") << "installed";
    if (c.engineFolderBlocked) {
        std::filesystem::remove_all(engineFolder_);
        engineFolder_ = Home() + "/blocked/engine/";
        std::ofstream(Home() + "/blocked") << "a file where the folder should be";
    }
    const uint8_t* data = reinterpret_cast<const uint8_t*>(c.descriptor.data());
    EXPECT_EQ(list_.OnDescriptorDelivered(nullptr, data, c.descriptor.size()), c.code);
    EXPECT_EQ(list_.FileCount(), c.added);
    EXPECT_EQ(list_.OnDescriptorDelivered(nullptr, nullptr, 5), kFileBadArguments);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, DescriptorDelivered,
    ::testing::Values(
        DescriptorCase{
            "UpToDate",
            R"(<r><file><TEVDownloadV32 ver="1" url="http://u/e.zip" hash="h"/></file></r>)", "1",
            false, kFileOk, 0},
        DescriptorCase{
            "Outdated",
            R"(<r><file><TEVDownloadV32 ver="2" url="http://u/e.zip" hash="h"/></file></r>)", "1",
            false, kFileOk, 1},
        DescriptorCase{"WithoutVersion",
                       R"(<r><file><TEVDownloadV32 url="http://u/e.zip" hash="h"/></file></r>)",
                       "1", false, kFileBadDescriptor, 0},
        DescriptorCase{"EmptyUrl",
                       R"(<r><file><TEVDownloadV32 ver="2" url="" hash="h"/></file></r>)", "1",
                       false, kFileBadDescriptor, 0},
        DescriptorCase{"NotXml", "garbage", "1", false, kFileBadDescriptor, 0},
        DescriptorCase{
            "EngineFolderCannotBeMade",
            R"(<r><file><TEVDownloadV32 ver="2" url="http://u/e.zip" hash="h"/></file></r>)", "1",
            true, kFileNoEngineFolder, 0}),
    [](const ::testing::TestParamInfo<DescriptorCase>& info) { return info.param.name; });

}  // namespace
