// tev-publish as a release script runs it: from an engine build to the files the update server
// serves, read back with the updater's own reader, hash check and extraction.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <libtorrent/torrent_info.hpp>

#include "archive/extract_action.h"
#include "support/subprocess.h"
#include "support/test_data.h"
#include "update/descriptor.h"
#include "update/hash_document.h"
#include "update/trust.h"
#include "xml/xml_parser.h"

namespace fs = std::filesystem;

namespace {

const std::string kUpdate = "/velmor/tevdownload/update/v3_32";

std::string Home() {
    return std::getenv("HOME");
}

ProcessResult Publish(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{TEV_PUBLISH_PROGRAM};
    command.insert(command.end(), arguments.begin(), arguments.end());
    ProcessOptions options;
    options.timeoutMs = 30000;
    return RunProcess(command, options);
}

// The archive at path checks against its hash document and unpacks into folder.
void ExpectCheckedAndUnpacked(const std::string& path, const std::string& folder) {
    const std::string archive = ReadWholeFile(path);
    const std::string hash = ReadWholeFile(path + ".hash");
    ASSERT_FALSE(archive.empty()) << path;
    EXPECT_TRUE(VerifyWithHashDocument(reinterpret_cast<const uint8_t*>(hash.data()), hash.size(),
                                       reinterpret_cast<const uint8_t*>(archive.data()),
                                       archive.size()))
        << path;
    EXPECT_EQ(ExtractArchive(ArchiveTypeOfFileName(path.c_str()), archive.data(),
                             static_cast<uint32_t>(archive.size()), 0, folder.c_str()),
              0)
        << path;
}

class PublishTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(build_);
        fs::copy_file(TEV_VERSIONED_PROGRAM, build_ + "/TEVDownloadV32");
        std::ofstream(build_ + "/LICENSE.txt") << "licence text\n";
        std::ofstream(build_ + "/libhelper.so.1") << TestBytes(300'000, 5);
    }

    std::string build_ = Home() + "/build";
    std::string out_ = Home() + "/out";
};

TEST_F(PublishTest, WritesTheDescriptorPackagesAndHashDocuments) {
    for (const std::string format : {"zip", "7z"}) {
        SCOPED_TRACE(format);
        fs::remove_all(out_);
        const ProcessResult result =
            Publish({"--out", out_, "--base-url", "http://updates.example:8080/", "--for-test",
                     "--format", format, build_ + "/TEVDownloadV32", build_ + "/LICENSE.txt",
                     build_ + "/libhelper.so.1"});
        ASSERT_EQ(result.exitCode, 0) << result.err;

        const std::string text = ReadWholeFile(out_ + kUpdate + "/tevdownload_updater.xml");
        CXMLParserVelmor parser;
        parser.Load(text.c_str());
        const CXMLElement* root = parser.Root();
        EXPECT_EQ(ReadEngineVersion(root, "TEVDownloadV32"), TEV_PROJECT_VERSION);
        EXPECT_EQ(CountFiles(root), 3u);
        std::string url;
        std::string hash;
        ReadPackage(root, &url, &hash);
        const std::string base = "http://updates.example:8080" + kUpdate;
        EXPECT_EQ(url, base + "/all/TEVDownloadV32." + format);
        EXPECT_EQ(hash, url + ".hash");
        ReadFileEntry(root, "libhelper.so.1", &url, &hash);
        EXPECT_EQ(url, base + "/file/libhelper.so.1." + format);
        EXPECT_EQ(hash, url + ".hash");
        EXPECT_EQ(ReadEngineVersion(root, "LICENSE.txt"), "") << "only the program has a version";

        const std::string all = Home() + "/all-" + format + "/";
        ExpectCheckedAndUnpacked(out_ + kUpdate + "/all/TEVDownloadV32." + format, all);
        for (const char* name : {"TEVDownloadV32", "LICENSE.txt", "libhelper.so.1"}) {
            EXPECT_EQ(ReadWholeFile(all + name), ReadWholeFile(build_ + "/" + name)) << name;
            const std::string single = Home() + "/single-" + format + "-" + name + "/";
            ExpectCheckedAndUnpacked(out_ + kUpdate + "/file/" + name + "." + format, single);
            EXPECT_EQ(ReadWholeFile(single + name), ReadWholeFile(build_ + "/" + name)) << name;
        }
        struct stat st {};
        ASSERT_EQ(stat((all + "TEVDownloadV32").c_str(), &st), 0);
        EXPECT_NE(st.st_mode & S_IXUSR, 0u) << "the program stays executable";
    }
}

TEST_F(PublishTest, AProgramWithOneFileMakesADescriptorWithOneChild) {
    const ProcessResult result = Publish(
        {"--out", out_, "--base-url", "https://updates.example", build_ + "/TEVDownloadV32"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::string text = ReadWholeFile(out_ + kUpdate + "/tevdownload_updater.xml");
    CXMLParserVelmor parser;
    parser.Load(text.c_str());
    EXPECT_EQ(CountFiles(parser.Root()), 1u);
    std::string url;
    std::string hash;
    ReadFileEntry(parser.Root(), "TEVDownloadV32", &url, &hash);
    EXPECT_EQ(url, "https://updates.example" + kUpdate + "/file/TEVDownloadV32.zip");
}

TEST_F(PublishTest, RefusesWhatCannotBePublished) {
    fs::copy_file("/bin/true", build_ + "/unversioned");
    std::ofstream(build_ + "/1 bad name") << "x";
    const std::vector<std::vector<std::string>> refused = {
        // A program without a version block.
        {"--out", out_, "--base-url", "http://u", build_ + "/unversioned"},
        {"--out", out_, "--base-url", "http://u", build_ + "/missing"},
        // A file name that cannot name a descriptor element.
        {"--out", out_, "--base-url", "http://u", build_ + "/TEVDownloadV32",
         build_ + "/1 bad name"},
        {"--out", out_, "--base-url", "ftp://u", build_ + "/TEVDownloadV32"},
        {"--out", out_, "--base-url", "http://" + std::string(250, 'h'),
         build_ + "/TEVDownloadV32"},
        {"--out", out_, "--base-url", "http://u", "--format", "rar", build_ + "/TEVDownloadV32"},
        {"--out", out_, build_ + "/TEVDownloadV32"},
        // Plain http outside a test, a key that is not one, an expiry out of range.
        {"--out", out_, "--base-url", "http://updates.example", build_ + "/TEVDownloadV32"},
        {"--out", out_, "--base-url", "https://u", "--key", build_ + "/LICENSE.txt",
         build_ + "/TEVDownloadV32"},
        {"--out", out_, "--base-url", "https://u", "--expires", "0", build_ + "/TEVDownloadV32"},
    };
    for (const auto& arguments : refused) {
        const ProcessResult result = Publish(arguments);
        EXPECT_EQ(result.exitCode, 2) << arguments.back() << ": " << result.out;
        EXPECT_FALSE(result.err.empty());
        EXPECT_FALSE(fs::exists(out_)) << "nothing is written";
    }
}

// keygen, then signed publishing: a manifest listing the descriptor and every archive, signed by
// the key, its version one more than the manifest already in the output folder.
TEST_F(PublishTest, SignsTheManifestWithTheKeyItMade) {
    const std::string key = Home() + "/release.key";
    const std::string pub = Home() + "/release.pub";
    ProcessResult result = Publish({"keygen", key, pub});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    struct stat st {};
    ASSERT_EQ(stat(key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(Publish({"keygen", key, pub}).exitCode, 2) << "an existing key is never replaced";

    setenv(kTrustFileVariable, pub.c_str(), 1);
    const CTrustRoots roots = LoadTrustRoots();
    unsetenv(kTrustFileVariable);
    for (uint64_t expected : {1u, 2u}) {
        result = Publish({"--out", out_, "--base-url", "https://updates.example", "--key", key,
                          "--expires", "7", build_ + "/TEVDownloadV32", build_ + "/LICENSE.txt"});
        ASSERT_EQ(result.exitCode, 0) << result.err;
        const std::string text = ReadWholeFile(out_ + kUpdate + "/tevdownload_updater.manifest");
        EXPECT_FALSE(
            VerifySignatures(
                roots, ReadWholeFile(out_ + kUpdate + "/tevdownload_updater.manifest.sig"), text)
                .empty());
        CUpdateManifest manifest;
        std::string error;
        ASSERT_TRUE(ParseManifest(text, &manifest, &error)) << error;
        EXPECT_EQ(manifest.version, expected);
        EXPECT_EQ(manifest.offer, TEV_PROJECT_VERSION);
        const int64_t days = (manifest.expires - static_cast<int64_t>(time(nullptr))) / 86400;
        EXPECT_TRUE(days == 6 || days == 7) << days;
        const std::string descriptor = ReadWholeFile(out_ + kUpdate + "/tevdownload_updater.xml");
        EXPECT_EQ(manifest.document.path, "tevdownload_updater.xml");
        EXPECT_EQ(manifest.document.sha256, Sha256Hex(descriptor.data(), descriptor.size()));
        ASSERT_EQ(manifest.files.size(), 3u) << "the package and one archive per file";
        for (const CManifestEntry& entry : manifest.files) {
            const std::string archive = ReadWholeFile(out_ + kUpdate + "/" + entry.path);
            EXPECT_EQ(entry.length, archive.size()) << entry.path;
            EXPECT_EQ(entry.sha256, Sha256Hex(archive.data(), archive.size())) << entry.path;
        }
    }
}

// Torrents for a game's files, written beside each file as a web server serves them.
class PublishTorrentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(games_);
        std::ofstream(games_ + "/part1.bin", std::ios::binary) << TestBytes(600 * 1024, 1);
        std::ofstream(games_ + "/setup.exe", std::ios::binary) << TestBytes(5000, 2);
        WriteList({"https://cdn.example/game/part1.bin", "https://cdn.example/game/setup.exe"});
    }

    void WriteList(const std::vector<std::string>& entries) {
        std::ofstream out(list_, std::ios::trunc);
        for (const std::string& entry : entries) {
            out << entry << "\r\n";
        }
    }

    static std::unique_ptr<lt::torrent_info> ReadTorrent(const std::string& path) {
        lt::error_code ec;
        auto info = std::make_unique<lt::torrent_info>(path, ec);
        EXPECT_FALSE(ec) << path << ": " << ec.message();
        return ec ? nullptr : std::move(info);
    }

    // No torrent, and nothing half-written, beside any file.
    void ExpectNoTorrents() {
        for (const auto& entry : fs::directory_iterator(games_)) {
            EXPECT_EQ(entry.path().string().find(".torrent"), std::string::npos) << entry.path();
        }
    }

    std::string games_ = Home() + "/games";
    std::string list_ = Home() + "/games/list.txt";
};

TEST_F(PublishTorrentTest, WritesATorrentBesideEachFileWithItsAddressAsWebSeed) {
    const std::vector<std::string> files{games_ + "/setup.exe", games_ + "/part1.bin"};
    ProcessResult result =
        Publish({"torrent", "--tracker", "http://tracker.example:6969/announce", "--tracker",
                 "udp://tracker.example:6969", list_, files[0], files[1]});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const struct {
        std::string name;
        int64_t size;
        int pieces;
    } expected[] = {{"part1.bin", 600 * 1024, 3}, {"setup.exe", 5000, 1}};
    for (const auto& file : expected) {
        SCOPED_TRACE(file.name);
        const std::string path = games_ + "/" + file.name + ".torrent";
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u) << "a web server running as another user serves it";
        const auto info = ReadTorrent(path);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->total_size(), file.size);
        EXPECT_EQ(info->num_pieces(), file.pieces);
        EXPECT_EQ(info->name(), file.name);
        EXPECT_TRUE(info->priv());
        std::ostringstream hash;
        hash << info->info_hashes().v1;
        EXPECT_NE(result.out.find("wrote " + path + " (info hash " + hash.str() + ")\n"),
                  std::string::npos)
            << result.out;
        ASSERT_EQ(info->web_seeds().size(), 1u);
        EXPECT_EQ(info->web_seeds()[0].url, "https://cdn.example/game/" + file.name);
        ASSERT_EQ(info->trackers().size(), 2u);
        EXPECT_EQ(info->trackers()[0].url, "http://tracker.example:6969/announce");
        EXPECT_EQ(info->trackers()[1].url, "udp://tracker.example:6969");
    }

    // A file published again after it changed: its torrent is replaced, with another info hash.
    const auto before = ReadTorrent(games_ + "/part1.bin.torrent");
    ASSERT_NE(before, nullptr);
    std::ofstream(games_ + "/part1.bin", std::ios::binary) << TestBytes(700 * 1024, 9);
    result = Publish({"torrent", list_, files[0], files[1]});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find("no --tracker"), std::string::npos) << result.err;
    const auto after = ReadTorrent(games_ + "/part1.bin.torrent");
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(after->total_size(), 700 * 1024);
    EXPECT_NE(after->info_hashes().v1, before->info_hashes().v1);
    EXPECT_TRUE(after->trackers().empty());
}

TEST_F(PublishTorrentTest, PlainHttpOnlyForATest) {
    WriteList({"http://127.0.0.1:8080/game/part1.bin", "https://cdn.example/game/setup.exe"});
    const std::vector<std::string> arguments{
        "torrent", "--tracker",           "http://127.0.0.1:6969/announce",
        list_,     games_ + "/part1.bin", games_ + "/setup.exe"};
    ProcessResult result = Publish(arguments);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("plain http"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("--for-test"), std::string::npos) << result.err;
    ExpectNoTorrents();

    std::vector<std::string> forTest = arguments;
    forTest.insert(forTest.begin() + 1, "--for-test");
    result = Publish(forTest);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto info = ReadTorrent(games_ + "/part1.bin.torrent");
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->web_seeds()[0].url, "http://127.0.0.1:8080/game/part1.bin");
}

TEST_F(PublishTorrentTest, RefusesAnUnusableListFileOrTrackerAndWritesNothing) {
    std::ofstream(games_ + "/empty.bin");
    std::ofstream(games_ + "/empty.txt");
    std::ofstream(games_ + "/ftp.txt") << "ftp://cdn.example/game/part1.bin\n";
    std::ofstream(games_ + "/with-empty.txt")
        << "https://cdn.example/game/part1.bin\nhttps://cdn.example/game/empty.bin\n";
    const std::string part = games_ + "/part1.bin";
    const std::string setup = games_ + "/setup.exe";
    const struct {
        std::vector<std::string> arguments;
        std::string reason;
    } refused[] = {
        {{"torrent", list_, part}, "no file given"},
        {{"torrent", list_, part, setup, games_ + "/empty.bin"}, "not named by the file list"},
        {{"torrent", games_ + "/missing.txt", part}, "cannot read the file list"},
        {{"torrent", games_ + "/empty.txt", part}, "cannot read the file list"},
        {{"torrent", games_ + "/ftp.txt", part}, "not an http:// or https://"},
        {{"torrent", games_ + "/with-empty.txt", part, games_ + "/empty.bin"}, "is empty"},
        {{"torrent", "--tracker", "tracker.example:6969", list_, part, setup}, "tracker"},
        {{"torrent", "--tracker"}, "missing value"},
        {{"torrent", "--seed", list_, part, setup}, "unknown option"},
        {{"torrent", list_}, "the list and its files"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.reason);
        const ProcessResult result = Publish(c.arguments);
        EXPECT_EQ(result.exitCode, 2) << result.out;
        EXPECT_NE(result.err.find(c.reason), std::string::npos) << result.err;
        ExpectNoTorrents();
    }
}

}  // namespace
