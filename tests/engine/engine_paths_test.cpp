// Where the engine lives, from the environment the library finds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "engine/engine_paths.h"

namespace {

class EnginePaths : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"XDG_DATA_HOME", "HOME"}) {
            const char* v = std::getenv(name);
            saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
        }
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            Set(name, value ? value->c_str() : nullptr);
        }
    }
    static void Set(const char* name, const char* value) {
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }

  private:
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

TEST_F(EnginePaths, ComposedFromTheUserDataFolder) {
    struct Case {
        const char* xdg;
        const char* home;
        const char* folder;  // the engine folder expected
    };
    const Case cases[] = {
        {"/x/data", "/h", "/x/data/Velmor/tevDownloadV32/"},
        {"/x/data/", "/h", "/x/data/Velmor/tevDownloadV32/"},  // no second '/'
        {"relative", "/h", "/h/.local/share/Velmor/tevDownloadV32/"},
        {nullptr, "/h/", "/h/.local/share/Velmor/tevDownloadV32/"},
        {"", "/h", "/h/.local/share/Velmor/tevDownloadV32/"},
        // No absolute folder known: no engine folder at all, never one relative to the current
        // directory.
        {nullptr, nullptr, ""},
        {nullptr, "", ""},
        {"relative", "h", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.xdg ? c.xdg : "(unset)") + " " + (c.home ? c.home : "(unset)"));
        Set("XDG_DATA_HOME", c.xdg);
        Set("HOME", c.home);
        const std::string folder = c.folder;
        std::string base;
        EnginePathProvider().GetBaseFolder(&base);
        EXPECT_EQ(base.empty() ? "" : base + "tevDownloadV32/", folder);
        EXPECT_EQ(GetEngineFolderPath(), folder);
        EXPECT_EQ(GetEngineFilePath(), folder.empty() ? "" : folder + "TEVDownloadV32");
    }
    EXPECT_EQ(GetSecondaryFilePath(), "");
}

}  // namespace
