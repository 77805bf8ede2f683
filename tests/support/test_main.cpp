// Every test process gets a private HOME, data, runtime and settings folder, removed at exit, so
// that tests run side by side and never touch the machine's own files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "foundation/network_runtime.h"
#include "support/registration.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);

    char pattern[] = "/tmp/tev-test-XXXXXX";
    const char* root = mkdtemp(pattern);
    if (root == nullptr) {
        return 2;
    }
    const std::string home(root);
    const auto makeFolder = [&](const char* name) {
        const std::string path = home + "/" + name;
        mkdir(path.c_str(), 0700);
        return path;
    };
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", makeFolder("data").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", makeFolder("run").c_str(), 1);
    setenv("XDG_CONFIG_HOME", makeFolder("config").c_str(), 1);
    setenv("TEV_SETTINGS_DIR", makeFolder("settings").c_str(), 1);
    setenv("TEV_TEST_ROOT", home.c_str(), 1);

    RegisterClassesForTests();
    const int result = RUN_ALL_TESTS();

    if (std::getenv("TEV_KEEP_TEST_DIR") == nullptr) {
        std::error_code ignored;
        std::filesystem::remove_all(home, ignored);
    }
    return result;
}
