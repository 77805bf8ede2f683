#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "fake_seams.h"
#include "hostkit/installer.h"
#include "hostkit/start_up.h"
#include "hostkit/texts.h"

namespace {

std::string Home() {
    return std::getenv("HOME");
}

std::string WriteFile(const std::string& name, const std::string& text, mode_t mode = 0644) {
    const std::string path = Home() + "/" + name;
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
    return path;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The started installer runs on its own: wait (bounded) for what it writes.
std::string WaitForFile(const std::string& path) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string text = ReadFile(path);
        if (!text.empty() && text.back() == '\n') {
            return text;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
}

using Arguments = std::vector<std::string>;

}  // namespace

TEST(BuildInstallerCommand, EachKindOfFileAndElevation) {
    setenv("DISPLAY", ":7", 1);
    unsetenv("XAUTHORITY");
    unsetenv("WAYLAND_DISPLAY");
    const CInstallerTools user{false, "/usr/bin/pkexec", "", "/usr/bin/xdg-open", "/usr/bin/env"};
    CInstallerTools root = user;
    root.privileged = true;
    CInstallerTools noPkexec = user;
    noPkexec.pkexec.clear();
    CInstallerTools withWine = user;
    withWine.wine = "/usr/bin/wine";
    CInstallerTools bare{};

    const std::string program = WriteFile("setup", "#!/bin/sh\n", 0755);
    const std::string document = WriteFile("manual.pdf", "%PDF");
    const Arguments elevate{"/usr/bin/pkexec", "/usr/bin/env", "DISPLAY=:7"};

    struct Case {
        const char* name;
        std::string path;
        const CInstallerTools* tools;
        bool possible;
        Arguments arguments;
        bool makeExecutable;
    };
    const auto with = [](Arguments prefix, const Arguments& rest) {
        prefix.insert(prefix.end(), rest.begin(), rest.end());
        return prefix;
    };
    const Case cases[] = {
        {"shell script", "/d/install.sh", &user, true, with(elevate, {"/bin/sh", "/d/install.sh"}),
         false},
        {"shell script as root", "/d/install.SH", &root, true, {"/bin/sh", "/d/install.SH"}, false},
        {"shell script without pkexec", "/d/i.sh", &noPkexec, true, {"/bin/sh", "/d/i.sh"}, false},
        {"run file", "/d/game.run", &user, true, with(elevate, {"/d/game.run"}), true},
        {"AppImage", "/d/Game.AppImage", &root, true, {"/d/Game.AppImage"}, true},
        {"Windows program without wine", "/d/setup.exe", &user, false, {}, false},
        {"Windows program with wine",
         "/d/Setup.EXE",
         &withWine,
         true,
         {"/usr/bin/wine", "/d/Setup.EXE"},
         false},
        {"executable file", program, &user, true, with(elevate, {program}), false},
        {"document", document, &user, true, {"/usr/bin/xdg-open", document}, false},
        {"document without xdg-open", document, &bare, false, {}, false},
    };
    for (const Case& c : cases) {
        const auto command = BuildInstallerCommand(c.path, *c.tools);
        ASSERT_EQ(command.has_value(), c.possible) << c.name;
        if (command) {
            EXPECT_EQ(command->arguments, c.arguments) << c.name;
            EXPECT_EQ(command->makeExecutable, c.makeExecutable) << c.name;
        }
    }
}

TEST(RunInstaller, MissingPathOrFileIsReported) {
    CFakeMessageBoxes boxes;
    const CInstallerTools tools{true, "", "", "", ""};
    EXPECT_FALSE(RunInstaller("", boxes, tools));
    const std::string missing = Home() + "/QK/setup.exe";
    EXPECT_FALSE(RunInstaller(missing, boxes, tools));
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[0].text, "該路徑(NULL)檔案不存在。");
    EXPECT_EQ(boxes.shown[1].text, "該路徑(" + missing + ")檔案不存在。");
    for (const CMessage& message : boxes.shown) {
        EXPECT_EQ(message.caption, ApplicationName());
        EXPECT_EQ(message.buttons, MessageButtons::Ok);
        EXPECT_FALSE(message.ownedByWindow);
    }

    // A start that cannot happen shows nothing.
    const std::string exe = WriteFile("setup.exe", "MZ");
    EXPECT_FALSE(RunInstaller(exe, boxes, tools));
    EXPECT_EQ(boxes.shown.size(), 2u);
}

TEST(RunInstaller, StartsAShellScriptAndReturnsOnceItRuns) {
    CFakeMessageBoxes boxes;
    const std::string marker = Home() + "/ran";
    const std::string script = WriteFile("install.sh", "echo \"$0 $PWD\" > " + marker + "\n");
    const CInstallerTools root{true, "", "", "", ""};
    EXPECT_TRUE(RunInstaller(script, boxes, root));
    EXPECT_EQ(WaitForFile(marker), script + " " + std::filesystem::current_path().string() + "\n");
    EXPECT_TRUE(boxes.shown.empty());
}

TEST(RunInstaller, ElevatesThroughPkexecAndMakesARunFileExecutable) {
    CFakeMessageBoxes boxes;
    const std::string log = Home() + "/pkexec.log";
    // Stands in for pkexec: notes its arguments, then runs them.
    const std::string pkexec =
        WriteFile("pkexec", "#!/bin/sh\necho \"$@\" > " + log + "\nexec \"$@\"\n", 0755);
    const std::string marker = Home() + "/installed";
    const std::string runFile =
        WriteFile("Game.run", "#!/bin/sh\necho installed > " + marker + "\n", 0644);
    const CInstallerTools user{false, pkexec, "", "", ""};

    // A relative path reaches pkexec as an absolute one.
    ASSERT_EQ(chdir(Home().c_str()), 0);
    EXPECT_TRUE(RunInstaller("Game.run", boxes, user));
    EXPECT_EQ(WaitForFile(marker), "installed\n");
    EXPECT_EQ(ReadFile(log), runFile + "\n");
    struct stat info {};
    ASSERT_EQ(stat(runFile.c_str(), &info), 0);
    EXPECT_NE(info.st_mode & S_IXUSR, 0u);
}
