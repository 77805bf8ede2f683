// The engine's sharing settings file: what each line does, what a bad one leaves alone, and how
// the command-line host rewrites the sharing switch.
#include "peers/sharing_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace tev::localengine;

TEST(SharingSettingsTest, ReadsEachKeyAndKeepsDefaultsForBadLines) {
    struct Case {
        const char* text;
        bool sharing;
        double ratio;
        uint32_t minutes;
        uint64_t uploadKib;
        std::vector<std::string> listen;
        bool dht;
        size_t notes;
    };
    const std::vector<std::string> defaultListen = {"0.0.0.0:6881", "[::]:6881"};
    const std::vector<Case> cases = {
        {"", true, 1.0, 30, 1024, defaultListen, false, 0},
        {"# nothing\n\n   \n", true, 1.0, 30, 1024, defaultListen, false, 0},
        {"sharing=off\n", false, 1.0, 30, 1024, defaultListen, false, 0},
        {" sharing = off  # the user's choice\r\n", false, 1.0, 30, 1024, defaultListen, false, 0},
        {"ratio=2.5\nminutes=90\nupload_kib=0\n", true, 2.5, 90, 0, defaultListen, false, 0},
        {"listen=127.0.0.2:7000,[::1]:7001\n",
         true,
         1.0,
         30,
         1024,
         {"127.0.0.2:7000", "[::1]:7001"},
         false,
         0},
        {"dht=on\n", true, 1.0, 30, 1024, defaultListen, true, 0},
        // Refused values keep their defaults; a bad switch never turns sharing off or DHT on.
        {"sharing=yes\ndht=1\n", true, 1.0, 30, 1024, defaultListen, false, 2},
        {"ratio=-1\nratio=nan\nratio=1e9\nratio=1.2.3\nratio=\n", true, 1.0, 30, 1024,
         defaultListen, false, 5},
        {"minutes=-5\nminutes=99999999\nminutes=12x\nupload_kib=9999999999\n", true, 1.0, 30, 1024,
         defaultListen, false, 4},
        {"listen=localhost:6881\nlisten=127.0.0.1\nlisten=127.0.0.1:70000\nlisten=[::1:6881\n",
         true, 1.0, 30, 1024, defaultListen, false, 4},
        {"colour=blue\nno equals here\nsharing=off\n", false, 1.0, 30, 1024, defaultListen, false,
         2},
    };
    for (const Case& c : cases) {
        std::vector<std::string> notes;
        const SharingSettings settings = ParseSharingSettings(c.text, &notes);
        EXPECT_EQ(settings.sharing, c.sharing) << c.text;
        EXPECT_DOUBLE_EQ(settings.ratio, c.ratio) << c.text;
        EXPECT_EQ(settings.minutes, c.minutes) << c.text;
        EXPECT_EQ(settings.uploadKib, c.uploadKib) << c.text;
        EXPECT_EQ(settings.listen, c.listen) << c.text;
        EXPECT_EQ(settings.dht, c.dht) << c.text;
        EXPECT_FALSE(settings.lsd || settings.upnp || settings.natpmp) << c.text;
        EXPECT_EQ(notes.size(), c.notes) << c.text;
    }
    // Seventeen listen addresses are more than a session gets.
    std::string many = "listen=";
    for (int i = 0; i < 17; ++i) {
        many += (i ? "," : "") + std::string("127.0.0.1:") + std::to_string(7000 + i);
    }
    std::vector<std::string> notes;
    EXPECT_EQ(ParseSharingSettings(many, &notes).listen, defaultListen);
    EXPECT_EQ(notes.size(), 1u);
}

TEST(SharingSettingsTest, WritingTheSwitchKeepsTheOtherLines) {
    EXPECT_EQ(WithSharing("", false), "sharing=off\n");
    EXPECT_EQ(WithSharing("ratio=2\n# mine\nsharing=on\nsharing=off\nlisten=127.0.0.1:1\n", false),
              "ratio=2\n# mine\nsharing=off\nlisten=127.0.0.1:1\n");
    EXPECT_EQ(WithSharing("ratio=2", true), "ratio=2\nsharing=on\n");

    const std::string folder = std::string(std::getenv("TEV_TEST_ROOT")) + "/engine/";
    const std::string path = SharingSettingsPath(folder);
    std::string error;
    ASSERT_TRUE(WriteSharingSetting(path, false, &error)) << error;
    EXPECT_FALSE(LoadSharingSettings(path, nullptr).sharing);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_TRUE(WriteSharingSetting(path, true, &error)) << error;
    EXPECT_TRUE(LoadSharingSettings(path, nullptr).sharing);

    // A link in the settings' place is not followed, and neither is anything over 64 KiB read.
    const std::string elsewhere = folder + "elsewhere";
    { std::ofstream(elsewhere) << "sharing=off\n"; }
    unlink(path.c_str());
    ASSERT_EQ(symlink(elsewhere.c_str(), path.c_str()), 0);
    std::vector<std::string> notes;
    EXPECT_TRUE(LoadSharingSettings(path, &notes).sharing);
    EXPECT_EQ(notes.size(), 1u);
    unlink(path.c_str());
    { std::ofstream(path) << "sharing=off\n" << std::string(70 * 1024, '#') << "\n"; }
    notes.clear();
    EXPECT_TRUE(LoadSharingSettings(path, &notes).sharing);
    EXPECT_EQ(notes.size(), 1u);
}
