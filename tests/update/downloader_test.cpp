// Update runs end to end: tev-publish's output served by the project's test server over loopback,
// the updater fetching, checking and unpacking it into the engine folder, and the engine start.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "../archive/archive_builders.h"
#include "engine/binary_execute.h"
#include "engine/engine_paths.h"
#include "foundation/clock.h"
#include "foundation/host_cache.h"
#include "foundation/log.h"
#include "foundation/platform/connectivity.h"
#include "publish/publisher.h"
#include "support/loop_thread.h"
#include "support/stand_in.h"
#include "support/test_certificates.h"
#include "support/test_data.h"
#include "support/test_host.h"
#include "support/update_signing.h"
#include "test_server/test_http_server.h"
#include "update/downloader.h"
#include "update/hash_document.h"
#include "update/trust.h"
#include "update/version_text.h"

using tev::tools::HttpRule;
using tev::tools::PackageFormat;
using tev::tools::TestHttpServer;

namespace fs = std::filesystem;

namespace {

// Engine programs of two versions, each carrying its version block.
constexpr char kOldVersion[] = "3.0.0.1";
constexpr char kNewVersion[] = "3.0.0.2";
const std::string kOldEngine = TEV_ENGINE_OLD;
const std::string kNewEngine = TEV_ENGINE_NEW;

const std::string kFolder = std::string("/") + tev::tools::kUpdateFolder;

std::string Home() {
    return std::getenv("HOME");
}

// The folder tev-publish writes to and the server serves, made before the server starts.
fs::path SiteFolder() {
    fs::create_directories(Home() + "/site");
    return Home() + "/site";
}

class Recorder : public IDownloaderEventListener {
  public:
    void OnNetworkLost() override { events.emplace_back("network lost"); }
    void OnUpdateFile(const std::string& url, int64_t size) override {
        events.push_back("file " + url + " " + std::to_string(size));
    }
    void OnUpdateProgress(const std::string&, int64_t) override {
        ++progress;
        if (onProgress) {
            onProgress();
        }
    }
    void OnUpdateFinished(int32_t started, int32_t succeeded, const std::string& version) override {
        events.push_back("finished " + std::to_string(started) + " " + std::to_string(succeeded) +
                         " " + version);
        ++ends;
    }
    void OnUpdateError(int32_t kind) override {
        events.push_back("error " + std::to_string(kind));
        ++ends;
    }

    std::vector<std::string> events;
    int ends = 0;
    int progress = 0;
    std::function<void()> onProgress;
};

TestPki gPki;

class UpdaterTest : public ::testing::Test {
  public:
    static void SetUpTestSuite() {
        gPki = MakeTestPki(Home() + "/pki");
        TrustTestCa(gPki);  // before the library starts its network runtime
    }
    void SetUp() override {
        ASSERT_TRUE(server_.Ok()) << server_.Error();
        TestUpdateKey();
        ResetLog();
        fs::create_directories(Home() + "/build");
        fs::copy_file(kNewEngine, Home() + "/build/TEVDownloadV32",
                      fs::copy_options::overwrite_existing);
        std::ofstream(Home() + "/build/LICENSE.txt") << "licence text\n";
    }
    void TearDown() override {
        loop_.Run([&] { updater_.reset(); });
        cpSetResolver({});
        cpSetConnectivityProbe({});
    }

    // From here on the site is served over https (a server of its own with the test CA's
    // certificate) and published with https addresses.
    void UseHttps() {
        https_ = std::make_unique<TestHttpServer>(
            TestHttpServer::Options{.root = SiteFolder(),
                                    .tlsCertificate = gPki.server.certificateFile,
                                    .tlsKey = gPki.server.keyFile});
        ASSERT_TRUE(https_->Ok()) << https_->Error();
    }
    TestHttpServer& Server() { return https_ ? *https_ : server_; }

    // Publishes the new engine (and the given further files) the way the update server serves it,
    // signed with the test's key unless key names another (empty: unsigned).
    void Publish(const std::vector<std::string>& extras = {},
                 PackageFormat format = PackageFormat::kZip,
                 std::optional<std::string> key = std::nullopt, uint64_t manifestVersion = 0) {
        tev::tools::PublishOptions options;
        options.outputFolder = Home() + "/site";
        options.baseUrl = Server().Url("");
        options.forTest = true;
        options.signingKey = key ? *key : TestUpdateKey().privateKey;
        options.manifestVersion = manifestVersion;
        options.format = format;
        options.program = Home() + "/build/TEVDownloadV32";
        ASSERT_TRUE(GetFileVersionText(options.program, &options.version));
        for (const std::string& extra : extras) {
            options.extras.push_back(Home() + "/build/" + extra);
        }
        std::string error;
        ASSERT_TRUE(tev::tools::Publish(options, &error)) << error;
    }
    static std::string Site(const std::string& path) { return Home() + "/site" + path; }
    // Replaces a published file's bytes in memory (the server prefers them to the file).
    void Serve(const std::string& path, const std::string& bytes) {
        Server().SetContent(path, bytes);
    }
    CUpdateManifest PublishedManifest() {
        CUpdateManifest manifest;
        std::string error;
        EXPECT_TRUE(ParseManifest(ReadWholeFile(Site(kManifest)), &manifest, &error)) << error;
        return manifest;
    }
    // Serves an edited descriptor with a manifest re-signed for it.
    void ServeSignedDescriptor(const std::string& descriptor,
                               const std::function<void(CUpdateManifest*)>& edit = {}) {
        Serve(kFolder + "/" + tev::tools::kDescriptorName, descriptor);
        CUpdateManifest manifest = PublishedManifest();
        if (edit) {
            edit(&manifest);
        }
        manifest.document.length = descriptor.size();
        manifest.document.sha256 = Sha256Hex(descriptor.data(), descriptor.size());
        ServeManifest(manifest, TestUpdateKey());
    }
    // Serves an archive (below the update folder) with its hash document, listed in a manifest
    // re-signed with the test's key: what a signing publisher would send.
    void ServeSignedArchive(const std::string& relative, const std::string& bytes) {
        const std::vector<uint8_t> hash =
            BuildHashDocument(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        Serve(kFolder + "/" + relative, bytes);
        Serve(kFolder + "/" + relative + ".hash", std::string(hash.begin(), hash.end()));
        CUpdateManifest manifest = PublishedManifest();
        for (CManifestEntry& entry : manifest.files) {
            if (entry.path == relative) {
                entry.length = bytes.size();
                entry.sha256 = Sha256Hex(bytes.data(), bytes.size());
            }
        }
        ServeManifest(manifest, TestUpdateKey());
    }
    // Serves a manifest of the test's making, signed with key.
    void ServeManifest(const CUpdateManifest& manifest, const TestSigningKey& key) {
        const std::string text = FormatManifest(manifest);
        std::string signature;
        std::string error;
        ASSERT_TRUE(SignData(ReadWholeFile(key.privateKey), text, &signature, &error)) << error;
        Serve(kManifest, text);
        Serve(kManifest + ".sig", signature);
    }
    void InstallEngine(const std::string& program) {
        fs::create_directories(engineFolder_);
        fs::copy_file(program, engineFolder_ + "TEVDownloadV32",
                      fs::copy_options::overwrite_existing);
    }

    CEngineEnvironment Environment() {
        return {[this] { return engineFolder_; },
                [this] { return engineFolder_ + "TEVDownloadV32"; }, [this] { return secondary_; },
                [this] {
                    std::string version;
                    GetFileVersionText(engineFolder_ + "TEVDownloadV32", &version);
                    return version;
                },
                [this](std::function<void(bool)> done) {
                    ++engineStarts_;
                    done(access((engineFolder_ + "TEVDownloadV32").c_str(), X_OK) == 0);
                    return std::shared_ptr<CEngineStartWatch>();
                }};
    }
    void Run(const std::string& descriptorUrl) {
        loop_.Run([&] {
            updater_ = std::make_unique<CDownloader>(vmSmartPtr<cpCMutex>(loop_.Mutex()),
                                                     Environment(), descriptorUrl);
            updater_->SetListener(&recorder_);
            updater_->Start();
        });
    }
    void Run() { Run(Server().Url(kFolder + "/" + tev::tools::kDescriptorName)); }
    // Waits for the run's end (stepping the test clock so that time-outs and retries happen),
    // then gives a second report the chance to show.
    bool WaitForEnd() {
        for (int i = 0; i < 1000; ++i) {
            if (loop_.Call([&] { return recorder_.ends; }) > 0) {
                loop_.StepClock(3000);
                loop_.WaitFor([] { return false; }, 50);
                return true;
            }
            loop_.WaitFor([&] { return recorder_.ends > 0; }, 20);
            loop_.StepClock(200);
        }
        return false;
    }
    std::vector<std::string> Events() {
        return loop_.Call([&] { return recorder_.events; });
    }
    std::string LastEvent() {
        const auto events = Events();
        return events.empty() ? "" : events.back();
    }
    std::string InstalledVersion() {
        std::string version;
        GetFileVersionText(engineFolder_ + "TEVDownloadV32", &version);
        return version;
    }
    uint64_t Requests(const std::string& path) { return Server().RequestCount(kFolder + path); }

    const std::string kManifest = kFolder + "/" + kUpdateManifestName;
    TestHttpServer server_{{.root = SiteFolder()}};
    std::unique_ptr<TestHttpServer> https_;
    std::string secondary_;
    LoopThread loop_;
    Recorder recorder_;
    std::unique_ptr<CDownloader> updater_;
    std::string engineFolder_ = GetEngineFolderPath();
    int engineStarts_ = 0;
};

TEST_F(UpdaterTest, AnUpToDateEngineIsStartedWithoutDownloads) {
    Publish();
    InstallEngine(kNewEngine);
    Run();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(Events(), std::vector<std::string>{std::string("finished 1 1 ") + kNewVersion});
    EXPECT_EQ(server_.Requests().size(), 3u) << "the manifest, its signature and the descriptor";
    EXPECT_EQ(engineStarts_, 1);
    EXPECT_TRUE(TestHost::LogContains(std::string("[TessloadLib] Current Version: ") + kNewVersion +
                                      " / New Version: " + kNewVersion));
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] Update File (Count: 0)"));
}

struct InstallCase {
    const char* name;
    const char* installed;  // the program in the engine folder first; null: none
    std::vector<std::string> extras;
    PackageFormat format;
    const char* fetched;  // the archive the run fetches, below the update folder
};

void PrintTo(const InstallCase& c, std::ostream* out) {
    *out << c.name;
}

class UpdaterInstallTest : public UpdaterTest, public ::testing::WithParamInterface<InstallCase> {};

TEST_P(UpdaterInstallTest, InstallsTheNewEngineAndStartsIt) {
    const InstallCase& c = GetParam();
    fs::copy_file(
        c.installed != nullptr && std::string(c.installed) == "new" ? kOldEngine : kNewEngine,
        Home() + "/build/TEVDownloadV32", fs::copy_options::overwrite_existing);
    Publish(c.extras, c.format);
    if (c.installed != nullptr) {
        InstallEngine(std::string(c.installed) == "new" ? kNewEngine : kOldEngine);
    }
    Run();
    ASSERT_TRUE(WaitForEnd());
    std::string offered;
    GetFileVersionText(Home() + "/build/TEVDownloadV32", &offered);
    EXPECT_EQ(LastEvent(), "finished 1 1 " + offered);
    EXPECT_EQ(Requests(c.fetched), 1u);
    EXPECT_EQ(Requests(std::string(c.fetched) + ".hash"), 1u) << "the hash document first";
    EXPECT_EQ(server_.Requests().size(), 5u);
    EXPECT_EQ(InstalledVersion(), offered);
    struct stat st {};
    ASSERT_EQ(stat((engineFolder_ + "TEVDownloadV32").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IXUSR, 0u) << "the program keeps its executable bit";
    for (const std::string& extra : c.extras) {
        EXPECT_EQ(ReadWholeFile(engineFolder_ + extra), ReadWholeFile(Home() + "/build/" + extra));
    }
    const auto events = Events();
    const std::string url = server_.Url(kFolder + c.fetched);
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&](const std::string& e) {
        return e.rfind("file " + url + " ", 0) == 0;
    }));
    EXPECT_GE(loop_.Call([&] { return recorder_.progress; }), 1);
    EXPECT_EQ(engineStarts_, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, UpdaterInstallTest,
    ::testing::Values(
        // The outdated engine is two update-list entries: with two "file" children, the package.
        InstallCase{"PackageForTwoFiles",
                    "old",
                    {"LICENSE.txt"},
                    PackageFormat::kZip,
                    "/all/TEVDownloadV32.zip"},
        InstallCase{
            "PackageFor7z", "old", {"LICENSE.txt"}, PackageFormat::k7z, "/all/TEVDownloadV32.7z"},
        InstallCase{"SingleFile", "old", {}, PackageFormat::kZip, "/file/TEVDownloadV32.zip"},
        InstallCase{"NoneInstalled", nullptr, {}, PackageFormat::k7z, "/file/TEVDownloadV32.7z"},
        // A publisher's deliberate rollback: a newer manifest offering an older engine.
        InstallCase{"OlderOffer", "new", {}, PackageFormat::kZip, "/file/TEVDownloadV32.zip"}),
    [](const ::testing::TestParamInfo<InstallCase>& info) { return info.param.name; });

TEST_F(UpdaterTest, AnUpperCaseExtensionIsRecognised) {
    Publish();
    InstallEngine(kOldEngine);
    const std::string archive = ReadWholeFile(Site(kFolder + "/file/TEVDownloadV32.zip"));
    const std::string hash = ReadWholeFile(Site(kFolder + "/file/TEVDownloadV32.zip.hash"));
    Serve(kFolder + "/file/TEVDownloadV32.ZIP", archive);
    Serve(kFolder + "/file/TEVDownloadV32.ZIP.hash", hash);
    std::string descriptor = ReadWholeFile(Site(kFolder + "/tevdownload_updater.xml"));
    for (size_t at; (at = descriptor.find("TEVDownloadV32.zip")) != std::string::npos;) {
        descriptor.replace(at, 18, "TEVDownloadV32.ZIP");
    }
    ServeSignedDescriptor(descriptor, [](CUpdateManifest* manifest) {
        for (CManifestEntry& entry : manifest->files) {
            entry.path.replace(entry.path.size() - 3, 3, "ZIP");
        }
    });
    Run();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(LastEvent(), std::string("finished 1 1 ") + kNewVersion);
    EXPECT_EQ(InstalledVersion(), kNewVersion);
}

// A hash mismatch on the only data file: tried again up to its tries, never installed; the update
// reports the failure and the engine already present is started.
TEST_F(UpdaterTest, AHashMismatchIsRetriedThenTheOldEngineStarts) {
    Publish();
    InstallEngine(kOldEngine);
    std::string hash = ReadWholeFile(Site(kFolder + "/file/TEVDownloadV32.zip.hash"));
    hash[0] = static_cast<char>(hash[0] ^ 1);
    Serve(kFolder + "/file/TEVDownloadV32.zip.hash", hash);
    Run();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(LastEvent(), std::string("finished 1 0 ") + kNewVersion);
    EXPECT_EQ(Requests("/file/TEVDownloadV32.zip"), 3u);
    EXPECT_EQ(Requests("/file/TEVDownloadV32.zip.hash"), 1u) << "kept from the first try";
    EXPECT_EQ(InstalledVersion(), kOldVersion);
    EXPECT_EQ(engineStarts_, 1);
}

// A descriptor the run cannot use is tried three times; then the run ends, starting what is there.
struct DescriptorCase {
    const char* name;
    std::function<std::string(std::string)> edit;  // of the published descriptor
    const char* end;
};

void PrintTo(const DescriptorCase& c, std::ostream* out) {
    *out << c.name;
}

class UpdaterDescriptorTest : public UpdaterTest,
                              public ::testing::WithParamInterface<DescriptorCase> {};

std::string Without(std::string text, const std::string& attribute) {
    const size_t at = text.find(" " + attribute + "=\"");
    const size_t end = text.find('"', at + attribute.size() + 3);
    return text.erase(at, end + 1 - at);
}

TEST_P(UpdaterDescriptorTest, EndsTheRunAfterItsTries) {
    const DescriptorCase& c = GetParam();
    Publish();
    InstallEngine(kOldEngine);
    const std::string path = kFolder + "/tevdownload_updater.xml";
    // Signed as it is: the descriptor's own faults are what is under test.
    ServeSignedDescriptor(c.edit(ReadWholeFile(Site(path))));
    Run();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(LastEvent(), c.end);
    EXPECT_EQ(server_.RequestCount(path), 3u);
    EXPECT_EQ(server_.Requests().size(), 5u) << "nothing else is fetched";
    EXPECT_EQ(InstalledVersion(), kOldVersion);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, UpdaterDescriptorTest,
    ::testing::Values(DescriptorCase{"WithoutVersion",
                                     [](std::string d) { return Without(d, "ver"); },
                                     "finished 1 0 "},
                      DescriptorCase{"EmptyUrl",
                                     [](std::string d) {
                                         const size_t at =
                                             d.find("url=\"", d.find("<TEVDownloadV32"));
                                         return d.erase(at + 5, d.find('"', at + 5) - (at + 5));
                                     },
                                     "finished 1 0 3.0.0.2"}),
    [](const ::testing::TestParamInfo<DescriptorCase>& info) { return info.param.name; });

// The attacks on an update, each through the real run against the test server: every one ends
// with the old engine started, the update reported as failed, and the line that names the refusal.
struct AttackCase {
    const char* name;
    bool https;
    std::function<void(UpdaterTest&)> attack;
    const char* logged;  // the start of a log line that must be there
};

void PrintTo(const AttackCase& c, std::ostream* out) {
    *out << c.name;
}

class UpdaterAttackTest : public UpdaterTest, public ::testing::WithParamInterface<AttackCase> {};

const char kArchive[] = "file/TEVDownloadV32.zip";

std::string Flipped(std::string bytes) {
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x20);
    return bytes;
}

// Serves bytes as the archive with a hash document that matches them (anyone can make one).
void ServeWithHashDocument(UpdaterTest& t, const std::string& bytes) {
    const std::vector<uint8_t> hash =
        BuildHashDocument(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    t.Serve(kFolder + "/" + kArchive, bytes);
    t.Serve(kFolder + "/" + kArchive + ".hash", std::string(hash.begin(), hash.end()));
}

TEST_P(UpdaterAttackTest, KeepsTheOldEngine) {
    const AttackCase& c = GetParam();
    if (c.https) {
        UseHttps();
    }
    Publish();
    InstallEngine(kOldEngine);
    c.attack(*this);
    Run();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(LastEvent().rfind("finished 1 0", 0), 0u) << LastEvent();
    EXPECT_EQ(InstalledVersion(), kOldVersion);
    EXPECT_EQ(engineStarts_, 1);
    const auto lines = TestHost::LogMessages();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.rfind(c.logged, 0) == 0;
    })) << c.logged;
}

INSTANTIATE_TEST_SUITE_P(
    Attacks, UpdaterAttackTest,
    ::testing::Values(
        AttackCase{"Unsigned", false, [](UpdaterTest& t) { t.Serve(t.kManifest + ".sig", "\n"); },
                   "[TessloadLib] Manifest Signature Refused"},
        AttackCase{"UntrustedKey", false,
                   [](UpdaterTest& t) {
                       t.ServeManifest(t.PublishedManifest(), MakeSigningKey("stranger"));
                   },
                   "[TessloadLib] Manifest Signature Refused"},
        AttackCase{"DescriptorChanged", false,
                   [](UpdaterTest& t) {
                       const std::string path = kFolder + "/" + tev::tools::kDescriptorName;
                       t.Serve(path, Flipped(ReadWholeFile(UpdaterTest::Site(path))));
                   },
                   "[TessloadLib] Descriptor Digest Mismatch"},
        AttackCase{"ArchiveChangedWithItsHashDocument", false,
                   [](UpdaterTest& t) {
                       ServeWithHashDocument(
                           t, Flipped(ReadWholeFile(UpdaterTest::Site(kFolder + "/" + kArchive))));
                   },
                   "[TessloadLib] Digest Mismatch"},
        // A hash document that covers only the leading chunk (no digest of digests) is no
        // check of the whole archive: the archive is refused, though its bytes are the signed ones.
        AttackCase{"PartialHashDocument", false,
                   [](UpdaterTest& t) {
                       const std::string bytes =
                           ReadWholeFile(UpdaterTest::Site(kFolder + "/" + kArchive));
                       const std::vector<uint8_t> hash = BuildHashDocument(
                           reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
                       t.Serve(kFolder + "/" + kArchive + ".hash",
                               std::string(hash.begin(), hash.begin() + 16));
                   },
                   "[TessloadLib] Hash Mismatch"},
        AttackCase{"ReplayedOlderManifest", false,
                   [](UpdaterTest& t) {
                       fs::create_directories(t.engineFolder_);
                       WriteAcceptedManifestVersion(t.engineFolder_,
                                                    t.PublishedManifest().version + 1);
                   },
                   "[TessloadLib] Manifest Rollback"},
        AttackCase{"ExpiredManifest", false,
                   [](UpdaterTest& t) {
                       CUpdateManifest manifest = t.PublishedManifest();
                       manifest.expires = t.loop_.Call([] { return cpGetSeconds(); }) - 1;
                       t.ServeManifest(manifest, TestUpdateKey());
                   },
                   "[TessloadLib] Manifest Expired"},
        // The answer announces more than the manifest lists: not a byte of it is taken.
        AttackCase{"ArchiveLongerThanListed", false,
                   [](UpdaterTest& t) {
                       ServeWithHashDocument(
                           t, ReadWholeFile(UpdaterTest::Site(kFolder + "/" + kArchive)) + "x");
                   },
                   "[TessloadLib] Session Error (URL: http://127.0.0.1"},
        // The archive of another signed release (the old engine's) in this one's place: its
        // length differs from the one listed, so not a byte of it is taken.
        AttackCase{"MixAndMatch", false,
                   [](UpdaterTest& t) {
                       tev::tools::PublishOptions options;
                       options.outputFolder = Home() + "/other-release";
                       options.baseUrl = t.Server().Url("");
                       options.forTest = true;
                       options.signingKey = TestUpdateKey().privateKey;
                       options.program = kOldEngine;
                       options.version = kOldVersion;
                       std::string error;
                       ASSERT_TRUE(tev::tools::Publish(options, &error)) << error;
                       ServeWithHashDocument(
                           t, ReadWholeFile(options.outputFolder + kFolder + "/file/" +
                                            fs::path(kOldEngine).filename().string() + ".zip"));
                   },
                   "[TessloadLib] Session Error (URL: http://127.0.0.1"},
        AttackCase{"HttpAddressInAnHttpsDescriptor", true,
                   [](UpdaterTest& t) {
                       std::string descriptor = ReadWholeFile(
                           UpdaterTest::Site(kFolder + "/" + tev::tools::kDescriptorName));
                       const size_t at = descriptor.find("https://", descriptor.find("<file>"));
                       descriptor.replace(at, 8, "http://");
                       t.ServeSignedDescriptor(descriptor);
                   },
                   "[TessloadLib] Insecure Address Refused"}),
    [](const ::testing::TestParamInfo<AttackCase>& info) { return info.param.name; });

// The happy path over https, signed.
TEST_F(UpdaterTest, InstallsASignedUpdateOverHttps) {
    UseHttps();
    Publish();
    InstallEngine(kOldEngine);
    Run();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(LastEvent(), std::string("finished 1 1 ") + kNewVersion);
    EXPECT_EQ(InstalledVersion(), kNewVersion);
    const auto lines = TestHost::LogMessages();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("[TessloadLib] Manifest Verified (Version: 1)(Key: ", 0) == 0;
    }));
    EXPECT_EQ(ReadAcceptedManifestVersion(engineFolder_), 1u);
}

// Key rotation: two keys trusted side by side; a manifest signed by the new key alone, with a
// signature by a key nobody trusts before it, is accepted.
TEST_F(UpdaterTest, EitherOfTwoTrustedKeysSuffices) {
    const TestSigningKey rotated = MakeSigningKey("rotated");
    TrustUpdateKeys({TestUpdateKey(), rotated});
    Publish({}, PackageFormat::kZip, rotated.privateKey);
    InstallEngine(kOldEngine);
    const std::string text = ReadWholeFile(Site(kManifest));
    std::string stranger;
    std::string error;
    ASSERT_TRUE(
        SignData(ReadWholeFile(MakeSigningKey("stranger").privateKey), text, &stranger, &error));
    Serve(kManifest + ".sig", stranger + ReadWholeFile(Site(kManifest + ".sig")));
    Run();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(LastEvent(), std::string("finished 1 1 ") + kNewVersion);
    EXPECT_EQ(InstalledVersion(), kNewVersion);
}

// A key built into the library (the CI build's test key) is trusted without the variable.
TEST_F(UpdaterTest, ABuiltInKeyIsTrusted) {
    if (BuiltInTrustKeys().empty()) {
        GTEST_SKIP() << "this build has no key built in";
    }
    TrustNoUpdateKey();
    Publish({}, PackageFormat::kZip, std::string(TEV_CI_UPDATE_KEY));
    InstallEngine(kOldEngine);
    Run();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(LastEvent(), std::string("finished 1 1 ") + kNewVersion);
}

// Without any trusted key: nothing over plain http, and over https only a newer version.
TEST_F(UpdaterTest, WithoutAKeyPlainHttpIsRefused) {
    if (!BuiltInTrustKeys().empty()) {
        GTEST_SKIP() << "this build has a key built in";
    }
    TrustNoUpdateKey();
    Publish({}, PackageFormat::kZip, "");
    InstallEngine(kOldEngine);
    Run();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(LastEvent(), "finished 1 0 ");
    EXPECT_EQ(server_.Requests().size(), 0u);
    EXPECT_TRUE(
        TestHost::LogContains("[TessloadLib] Update Refused (no trusted key and not https)(URL: " +
                              server_.Url(kFolder + "/" + tev::tools::kDescriptorName) + ")"));
    EXPECT_EQ(InstalledVersion(), kOldVersion);
}

TEST_F(UpdaterTest, WithoutAKeyOnlyANewerVersionIsInstalledOverHttps) {
    if (!BuiltInTrustKeys().empty()) {
        GTEST_SKIP() << "this build has a key built in";
    }
    TrustNoUpdateKey();
    UseHttps();
    struct Case {
        const char* installed;
        const char* offered;
        const char* after;
    };
    for (const Case& c : {Case{kOldEngine.c_str(), kNewEngine.c_str(), kNewVersion},
                          Case{kNewEngine.c_str(), kOldEngine.c_str(), kNewVersion},
                          Case{kNewEngine.c_str(), kNewEngine.c_str(), kNewVersion}}) {
        SCOPED_TRACE(std::string(c.installed) + " offered " + c.offered);
        fs::copy_file(c.offered, Home() + "/build/TEVDownloadV32",
                      fs::copy_options::overwrite_existing);
        Publish({}, PackageFormat::kZip, "");
        InstallEngine(c.installed);
        loop_.Run([&] { updater_.reset(); });
        recorder_ = Recorder();
        Run();
        ASSERT_TRUE(WaitForEnd());
        EXPECT_EQ(InstalledVersion(), c.after);
        EXPECT_EQ(LastEvent().rfind("finished 1 1", 0), 0u) << LastEvent();
    }
    EXPECT_TRUE(
        TestHost::LogContains("[TessloadLib] Not Newer (Current Version: 3.0.0.2 / New "
                              "Version: 3.0.0.1)"));
}

// The installed files' modes are the library's, not the archive's or the umask's: the program
// 0755 whether its entry said 0777, 04755 or nothing at all; other files 0644.
TEST_F(UpdaterTest, InstalledModesAreOurs) {
    const mode_t umaskBefore = umask(0);
    for (const uint32_t mode : {0100777u, 0104755u, 0u}) {
        SCOPED_TRACE(mode);
        Publish({"LICENSE.txt"});
        InstallEngine(kOldEngine);
        fs::remove(engineFolder_ + "LICENSE.txt");
        const Bytes zip = BuildZip({{.name = "TEVDownloadV32",
                                     .data = ReadWholeFile(kNewEngine),
                                     .host = mode != 0 ? 3 : 0,
                                     .externalAttributes = mode << 16},
                                    {.name = "LICENSE.txt",
                                     .data = "licence\n",
                                     .host = 3,
                                     .externalAttributes = 0100666u << 16}});
        ServeSignedArchive("all/TEVDownloadV32.zip", std::string(zip.begin(), zip.end()));
        loop_.Run([&] { updater_.reset(); });
        recorder_ = Recorder();
        Run();
        ASSERT_TRUE(WaitForEnd());
        EXPECT_EQ(LastEvent(), std::string("finished 1 1 ") + kNewVersion);
        struct stat st {};
        ASSERT_EQ(stat((engineFolder_ + "TEVDownloadV32").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
        ASSERT_EQ(stat((engineFolder_ + "LICENSE.txt").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
    }
    umask(umaskBefore);
}

// Signed archives that cannot be unpacked whole: refused with nothing put in place, so the old
// engine stays as it was and no temporary file is left behind.
struct UnpackCase {
    const char* name;
    std::function<std::string()> archive;
};

void PrintTo(const UnpackCase& c, std::ostream* out) {
    *out << c.name;
}

class UpdaterUnpackTest : public UpdaterTest, public ::testing::WithParamInterface<UnpackCase> {};

TEST_P(UpdaterUnpackTest, NothingIsPutInPlace) {
    Publish({"LICENSE.txt"});
    InstallEngine(kOldEngine);
    ServeSignedArchive("all/TEVDownloadV32.zip", GetParam().archive());
    Run();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(LastEvent(), "error 1");
    EXPECT_EQ(InstalledVersion(), kOldVersion);
    EXPECT_FALSE(fs::exists(engineFolder_ + "LICENSE.txt"));
    for (const auto& entry : fs::directory_iterator(engineFolder_)) {
        EXPECT_EQ(entry.path().filename().string().find(".tev-"), std::string::npos)
            << entry.path();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Archives, UpdaterUnpackTest,
    ::testing::Values(
        // 65 MiB of zeros packs into a few dozen KiB: beyond the budget, refused unread.
        UnpackCase{"ZipBomb",
                   [] {
                       const Bytes zip =
                           BuildZip({{.name = "TEVDownloadV32", .data = ReadWholeFile(kNewEngine)},
                                     {.name = "LICENSE.txt", .data = std::string(65 << 20, '\0')}});
                       return std::string(zip.begin(), zip.end());
                   }},
        // The second entry's bytes do not match its CRC: the first, already written, waits and
        // goes with it.
        UnpackCase{"SecondEntryFails",
                   [] {
                       Bytes zip = BuildZip(
                           {{.name = "TEVDownloadV32", .data = ReadWholeFile(kNewEngine)},
                            {.name = "LICENSE.txt", .data = "SECOND-ENTRY-DATA", .stored = true}});
                       std::string bytes(zip.begin(), zip.end());
                       bytes[bytes.find("SECOND-ENTRY-DATA")] = 'X';
                       return bytes;
                   }}),
    [](const ::testing::TestParamInfo<UnpackCase>& info) { return info.param.name; });

// The engine is not started from a file or folder that others could have written.
TEST_F(UpdaterTest, AnEngineOthersCanWriteIsNotStarted) {
    InstallEngine(kOldEngine);
    const std::string program = GetEngineFilePath();
    ASSERT_EQ(program, engineFolder_ + "TEVDownloadV32");
    for (const auto& [file, folder] : {std::pair{0777, 0755}, std::pair{0755, 0777}}) {
        chmod(program.c_str(), static_cast<mode_t>(file));
        chmod(engineFolder_.c_str(), static_cast<mode_t>(folder));
        EXPECT_FALSE(RunEngine()) << file << " in " << folder;
    }
    chmod(engineFolder_.c_str(), 0755);
    EXPECT_TRUE(TestHost::LogContains(
        "[TessloadLib] Run Binary (not the user's own or writable by others) " + program));
    EXPECT_FALSE(TestHost::LogContains("[TessloadLib] Execute OK(0)"));
}

// An archive served at 50 bytes/s would hold the run for most of an hour: at the run's deadline
// the engine already present starts and the job goes on.
TEST_F(UpdaterTest, ASlowArchiveEndsAtTheDeadline) {
    Publish();
    InstallEngine(kOldEngine);
    server_.AddRule(kFolder + "/file/TEVDownloadV32.zip",
                    {.kind = HttpRule::Rate, .bytesPerSecond = 50});
    Run();
    ASSERT_TRUE(loop_.WaitFor([&] { return recorder_.progress > 0; }, 20000));
    EXPECT_EQ(loop_.Call([&] { return recorder_.ends; }), 0);
    // A second of the clock for every 150 ms of real time: a few bytes arrive in each, so the
    // connection never counts as idle and only the deadline can end the run.
    for (uint32_t ms = 0; ms + 1000 < CDownloader::kDeadlineMs; ms += 1000) {
        loop_.StepClock(1000);
        loop_.WaitFor([] { return false; }, 150);
    }
    EXPECT_EQ(loop_.Call([&] { return recorder_.ends; }), 0) << "still within the deadline";
    loop_.StepClock(2000);
    ASSERT_TRUE(loop_.WaitFor([&] { return recorder_.ends > 0; }, 5000));
    EXPECT_EQ(LastEvent(), std::string("finished 1 0 ") + kNewVersion);
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] Update Deadline (60000 ms)"));
    EXPECT_EQ(InstalledVersion(), kOldVersion);
    EXPECT_EQ(engineStarts_, 1);
}

// Files that cannot be placed end the run with an error (the engine is given up), logged in the
// words the log has always used.
TEST_F(UpdaterTest, AnArchiveLeavingTheEngineFolderEndsTheRunWithNothingWritten) {
    Publish();
    const Bytes evil = BuildZip({{.name = "TEVDownloadV32", .data = "fine"},
                                 {.name = "../outside.txt", .data = "escaped"}});
    ServeSignedArchive("file/TEVDownloadV32.zip", std::string(evil.begin(), evil.end()));
    Run();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(LastEvent(), "error 1");
    EXPECT_EQ(loop_.Call([&] { return recorder_.ends; }), 1);
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] 엔진 다운로드 실패 result : 5"));
    EXPECT_FALSE(fs::exists(engineFolder_ + "TEVDownloadV32"));
    EXPECT_FALSE(fs::exists(fs::path(engineFolder_).parent_path().parent_path() / "outside.txt"));
    EXPECT_EQ(engineStarts_, 0);
}

TEST_F(UpdaterTest, AnEngineFolderThatCannotBeMadeEndsTheRun) {
    Publish();
    std::ofstream(Home() + "/blocked") << "a file where the folder should be";
    engineFolder_ = Home() + "/blocked/tevDownloadV32/";
    Run();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(Events(), std::vector<std::string>{"error 1"});
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] 엔진 다운로드 실패 result : 7"));
    EXPECT_EQ(server_.Requests().size(), 2u) << "the manifest and its signature";
    EXPECT_EQ(engineStarts_, 0);
}

// The whole way with the library's own engine environment: the stand-in engine published as the
// engine program, installed over an older one, started for real, and read back as the new version.
TEST_F(UpdaterTest, InstallsAndStartsTheEngineProgram) {
    fs::copy_file(StandInEngineProgram(), Home() + "/build/TEVDownloadV32",
                  fs::copy_options::overwrite_existing);
    Publish();
    InstallEngine(kOldEngine);
    ASSERT_EQ(GetCurrentEngineVersion(), kOldVersion);
    loop_.Run([&] {
        updater_ = std::make_unique<CDownloader>(
            vmSmartPtr<cpCMutex>(loop_.Mutex()), DefaultEngineEnvironment(),
            server_.Url(kFolder + "/" + tev::tools::kDescriptorName));
        updater_->SetListener(&recorder_);
        updater_->Start();
    });
    ASSERT_TRUE(WaitForEnd());
    const pid_t engine = StandInPid(GetEngineFilePath());
    EXPECT_GT(engine, 0) << "the engine program was started";
    EndStandIn(engine);
    EXPECT_EQ(LastEvent(), std::string("finished 1 1 ") + TEV_PROJECT_VERSION);
    EXPECT_EQ(GetCurrentEngineVersion(), TEV_PROJECT_VERSION);
    struct stat st {};
    ASSERT_EQ(stat(GetEngineFilePath().c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IXUSR, 0u);
    EXPECT_TRUE(TestHost::LogContains("[TessloadLib] Begin Update"));
}

// Two out-of-date files of the engine (the program and a second file, of three the descriptor
// lists) are fetched side by side, each on a session of its own.
TEST_F(UpdaterTest, TwoFilesDownloadSideBySide) {
    const std::string big = TestBytes(600'000, 9);
    std::ofstream(Home() + "/build/data.bin") << big;
    Publish({"data.bin", "LICENSE.txt"});
    InstallEngine(kOldEngine);
    secondary_ = engineFolder_ + "data.bin";
    // Paced so that both are still arriving while the other one runs.
    server_.AddRule(kFolder + "/file/TEVDownloadV32.zip",
                    {.kind = HttpRule::Rate, .bytesPerSecond = 400'000});
    server_.AddRule(kFolder + "/file/data.bin.zip",
                    {.kind = HttpRule::Rate, .bytesPerSecond = 400'000});
    size_t mostBusy = 0;
    recorder_.onProgress = [&] { mostBusy = std::max(mostBusy, updater_->BusySessionCount()); };
    Run();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(LastEvent(), std::string("finished 1 1 ") + kNewVersion);
    EXPECT_EQ(loop_.Call([&] { return mostBusy; }), 2u);
    EXPECT_EQ(loop_.Call([&] { return updater_->SessionCount(); }), 0u);
    EXPECT_EQ(InstalledVersion(), kNewVersion);
    EXPECT_TRUE(ReadWholeFile(engineFolder_ + "data.bin") == big);
}

// The update server's name does not resolve. Offline, the run waits for the network: one
// attempt a second, no tries used up, and it recovers when the server can be reached again.
// Online, an unreachable server fails like any other, so the run ends after the tries.
TEST_F(UpdaterTest, WaitsForTheNetworkOnlyWhileOffline) {
    Publish();
    InstallEngine(kOldEngine);
    const std::string site = "update.tev.test";
    const std::string port = std::to_string(server_.Port());
    // The published addresses name the server by the unresolvable name too.
    const std::string path = kFolder + "/tevdownload_updater.xml";
    std::string descriptor = ReadWholeFile(Site(path));
    for (size_t at; (at = descriptor.find("127.0.0.1")) != std::string::npos;) {
        descriptor.replace(at, 9, site);
    }
    ServeSignedDescriptor(descriptor);
    std::atomic<bool> reachable{false};
    cpSetResolver([&](const char* name, std::vector<uint32_t>* addresses) {
        if (std::string(name) == "127.0.0.1" || (name == site && reachable)) {
            addresses->push_back(htonl(INADDR_LOOPBACK));
            return true;
        }
        return false;
    });
    std::atomic<bool> online{false};
    cpSetConnectivityProbe([&] { return online.load(); });

    Run("http://" + site + ":" + port + path);
    const auto attempts = [] {
        const auto lines = TestHost::LogMessages();
        return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
            return line.find("[TessloadLib] Session Error") == 0 &&
                   line.find("(Code: 7)") != std::string::npos;
        });
    };
    EXPECT_EQ(attempts(), 1);
    EXPECT_EQ(Events(), std::vector<std::string>{"network lost"});
    for (int second = 1; second <= 5; ++second) {
        loop_.StepClock(1000);
        EXPECT_EQ(attempts(), 1 + second);
    }
    EXPECT_EQ(Events(), std::vector<std::string>{"network lost"}) << "reported once";
    EXPECT_TRUE(loop_.Call([&] { return updater_->IsWaitingForNetwork(); }));

    // The server can be reached again (the host cache asks the resolver again within seconds):
    // the next attempt connects and the run goes on.
    reachable = true;
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(LastEvent(), std::string("finished 1 1 ") + kNewVersion);
    EXPECT_EQ(InstalledVersion(), kNewVersion);
    EXPECT_EQ(Events().front(), "network lost");
}

// Waiting ends when the machine is online again but the server still cannot be reached: the
// tries left count again and the run ends.
TEST_F(UpdaterTest, BackOnlineButUnreachableEndsTheWait) {
    InstallEngine(kOldEngine);
    cpSetResolver([](const char*, std::vector<uint32_t>*) { return false; });
    std::atomic<bool> online{false};
    cpSetConnectivityProbe([&] { return online.load(); });
    Run("http://update.tev.test/" + std::string(tev::tools::kUpdateFolder) + "/x.xml");
    loop_.StepClock(3000);
    EXPECT_EQ(Events(), std::vector<std::string>{"network lost"});
    online = true;
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(Events(), (std::vector<std::string>{"network lost", "finished 1 0 "}));
    EXPECT_FALSE(loop_.Call([&] { return updater_->IsWaitingForNetwork(); }));
}

TEST_F(UpdaterTest, AnUnreachableServerWhileOnlineEndsTheRunAfterItsTries) {
    Publish();
    InstallEngine(kOldEngine);
    cpSetResolver([](const char*, std::vector<uint32_t>*) { return false; });
    cpSetConnectivityProbe([] { return true; });
    Run("http://update.tev.test/" + std::string(tev::tools::kUpdateFolder) + "/x.xml");
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(Events(), std::vector<std::string>{"finished 1 0 "});
    EXPECT_EQ(InstalledVersion(), kOldVersion);

    // Without an engine to start, the run reports that nothing works: (0, 0).
    fs::remove(engineFolder_ + "TEVDownloadV32");
    loop_.Run([&] { updater_.reset(); });
    recorder_ = Recorder();
    Run("http://update.tev.test/" + std::string(tev::tools::kUpdateFolder) + "/x.xml");
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(Events(), std::vector<std::string>{"finished 0 0 "});
}

}  // namespace
