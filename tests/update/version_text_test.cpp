// The version text of program files: a real program with its block (also stripped, also as the
// installed engine), ELF files built here byte by byte to hold chosen blocks, and files that
// are not ELF, are cut short or lie about their sections, which have no version.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine_paths.h"
#include "foundation/paths.h"
#include "foundation/platform/file_version.h"
#include "support/subprocess.h"
#include "update/version_text.h"

namespace {

using std::string_literals::operator""s;

std::string U16(uint16_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8)};
}
std::string U32(uint32_t v) {
    return U16(static_cast<uint16_t>(v)) + U16(static_cast<uint16_t>(v >> 16));
}
std::string U64(uint64_t v) {
    return U32(static_cast<uint32_t>(v)) + U32(static_cast<uint32_t>(v >> 32));
}

struct Table {
    uint16_t language;
    uint16_t codePage;
    std::vector<std::pair<std::string, std::string>> strings;
};

// A version block written out from its layout, independent of the program-side writer.
std::string Block(const std::vector<std::pair<uint16_t, uint16_t>>& translations,
                  const std::vector<Table>& tables) {
    std::string body = U16(static_cast<uint16_t>(translations.size()));
    for (const auto& [language, codePage] : translations) {
        body += U16(language) + U16(codePage);
    }
    body += U16(static_cast<uint16_t>(tables.size()));
    for (const Table& t : tables) {
        std::string pairs;
        for (const auto& [key, value] : t.strings) {
            pairs += key + '\0' + value + '\0';
        }
        body +=
            U16(t.language) + U16(t.codePage) + U16(static_cast<uint16_t>(pairs.size())) + pairs;
    }
    return "TEVV"s + U16(1) + U16(static_cast<uint16_t>(8 + body.size())) + body;
}

std::string EnglishBlock(const std::string& version) {
    return Block({{0x0409, 0x04B0}}, {{0x0409, 0x04B0, {{"FileVersion", version}}}});
}

struct Section {
    std::string name;
    uint32_t type = 1;  // PROGBITS; 8 is NOBITS
    std::string data;
};

// A minimal 64-bit little-endian ELF: header, the sections' bytes, the name table, then the
// section headers (a null one first, the name table last).
std::string Elf(const std::vector<Section>& sections) {
    std::string names(1, '\0');
    std::vector<uint32_t> nameAt;
    for (const Section& s : sections) {
        nameAt.push_back(static_cast<uint32_t>(names.size()));
        names += s.name + '\0';
    }
    const uint32_t namesName = static_cast<uint32_t>(names.size());
    names += ".shstrtab"s + '\0';

    std::string data;
    std::vector<uint64_t> dataAt;
    for (const Section& s : sections) {
        dataAt.push_back(64 + data.size());
        data += s.data;
    }
    const uint64_t namesAt = 64 + data.size();
    data += names;
    const uint64_t shoff = 64 + data.size();

    const auto header = [](uint32_t name, uint32_t type, uint64_t offset, uint64_t size) {
        return U32(name) + U32(type) + U64(0) + U64(0) + U64(offset) + U64(size) + U32(0) + U32(0) +
               U64(1) + U64(0);
    };
    std::string table = header(0, 0, 0, 0);
    for (size_t i = 0; i < sections.size(); ++i) {
        table += header(nameAt[i], sections[i].type, dataAt[i], sections[i].data.size());
    }
    table += header(namesName, 3, namesAt, names.size());
    const uint16_t count = static_cast<uint16_t>(sections.size() + 2);

    std::string elf =
        "\x7f"
        "ELF"s +
        "\x02\x01\x01"s + std::string(9, '\0');
    elf += U16(2) + U16(62) + U32(1) + U64(0) + U64(0) + U64(shoff) + U32(0) + U16(64) + U16(56) +
           U16(0) + U16(64) + U16(count) + U16(count - 1);
    return elf + data + table;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class VersionText : public ::testing::Test {
  protected:
    std::string Write(const std::string& name, const std::string& bytes) {
        const std::string path = std::string(std::getenv("TEV_TEST_ROOT")) + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    std::string Version(const std::string& path) {
        std::string text = "untouched";
        return GetFileVersionText(path, &text) ? text : "(none)";
    }
};

TEST_F(VersionText, ProgramCarriesTheProjectVersionAlsoStripped) {
    EXPECT_EQ(Version(TEV_VERSION_PROBE), TEV_PROJECT_VERSION);

    const std::string stripped = std::string(std::getenv("TEV_TEST_ROOT")) + "/stripped";
    const ProcessResult strip =
        RunProcess({"/usr/bin/strip", "--strip-all", "-o", stripped, TEV_VERSION_PROBE}, {});
    ASSERT_EQ(strip.exitCode, 0) << strip.err;
    ASSERT_NE(ReadFile(stripped).size(), ReadFile(TEV_VERSION_PROBE).size());
    EXPECT_EQ(Version(stripped), TEV_PROJECT_VERSION);
}

TEST_F(VersionText, InstalledEngineVersion) {
    EXPECT_EQ(GetCurrentEngineVersion(), "");
    const std::string engine = GetEngineFilePath();
    ASSERT_TRUE(CreateFolderPath(GetEngineFolderPath()));
    std::ofstream(engine, std::ios::binary) << ReadFile(TEV_VERSION_PROBE);
    EXPECT_EQ(GetCurrentEngineVersion(), TEV_PROJECT_VERSION);
    std::ofstream(engine, std::ios::binary) << "#!/bin/sh\n";
    EXPECT_EQ(GetCurrentEngineVersion(), "");
}

// The string table is named from the translation's bytes: language 0x0412 and code page
// 0x04B0 give 041204B0, so only the table of that name answers.
TEST_F(VersionText, TableNamedByTheTranslation) {
    const std::string korean =
        Write("korean",
              Elf({{".text", 1, "\xc3"s},
                   {".tev_version", 1,
                    Block({{0x0412, 0x04B0}}, {{0x0409, 0x04B0, {{"FileVersion", "en"}}},
                                               {0x0412, 0x04B0, {{"FileVersion", "3.0.0.2"}}}})}}));
    EXPECT_EQ(Version(korean), "3.0.0.2");

    const std::string mismatch = Write(
        "mismatch", Elf({{".tev_version", 1,
                          Block({{0x0412, 0x04B0}}, {{0x0409, 0x04B0, {{"FileVersion", "1"}}}})}}));
    EXPECT_EQ(Version(mismatch), "(none)");

    // Key lookups ignore ASCII case, as version resources do.
    const std::string lower = Write(
        "lower", Elf({{".tev_version", 1,
                       Block({{0x0409, 0x04B0}}, {{0x0409, 0x04B0, {{"fileversion", "2.1"}}}})}}));
    EXPECT_EQ(Version(lower), "2.1");
}

// Not exactly one translation: the table of the user's language with code page 04B0.
TEST_F(VersionText, SeveralTranslationsUseTheUserLanguage) {
    const std::string block =
        Block({{0x0409, 0x04B0}, {0x0412, 0x04B0}},
              {{0x0409, 0x04B0, {{"FileVersion", "english"}}},
               {0x0412, 0x04B0, {{"ProductName", "p"}, {"FileVersion", "korean"}}}});
    const std::string path = Write("two", Elf({{".tev_version", 1, block}}));
    const char* saved = std::getenv("LANG");
    const std::string savedLang = saved ? saved : "";
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    setenv("LANG", "ko_KR.UTF-8", 1);
    EXPECT_EQ(cpGetUserDefaultLangID(), 0x0412);
    EXPECT_EQ(Version(path), "korean");
    setenv("LANG", "C", 1);
    EXPECT_EQ(Version(path), "english");
    setenv("LANG", "zh_TW.UTF-8", 1);
    EXPECT_EQ(Version(path), "(none)");  // 040404B0 is not there
    if (saved) {
        setenv("LANG", savedLang.c_str(), 1);
    } else {
        unsetenv("LANG");
    }
}

TEST_F(VersionText, FilesWithoutAVersion) {
    const std::string good = Elf({{".text", 1, "\xc3"s}, {".tev_version", 1, EnglishBlock("1.2")}});
    ASSERT_EQ(Version(Write("good", good)), "1.2");
    const std::string probe = ReadFile(TEV_VERSION_PROBE);
    const size_t shoffAt = 0x28;

    std::string outside = good;
    outside.replace(shoffAt, 8, U64(good.size()));
    std::string wrongEntrySize = good;
    wrongEntrySize.replace(0x3A, 2, U16(40));
    std::string badNameIndex = good;
    badNameIndex.replace(0x3E, 2, U16(9));
    std::string wrongClass = good;
    wrongClass[4] = 1;
    std::string bigSize = EnglishBlock("1.2");
    bigSize.replace(6, 2, U16(static_cast<uint16_t>(bigSize.size() + 1)));
    std::string longTable = EnglishBlock("1.2");
    longTable.replace(20, 2, U16(0x7000));
    std::string unterminated = EnglishBlock("1.2");
    unterminated.back() = 'x';

    const std::vector<std::pair<const char*, std::string>> cases = {
        {"empty file", ""},
        {"text file", "#!/bin/sh\necho 1.2\n"},
        {"ELF header only", good.substr(0, 64)},
        {"cut before the section table", good.substr(0, good.size() - 10)},
        {"probe cut in half", probe.substr(0, probe.size() / 2)},
        {"no block", Elf({{".text", 1, "\xc3"s}, {".data", 1, "1.2"}})},
        {"section table outside the file", outside},
        {"section entries of another size", wrongEntrySize},
        {"name table index beyond the table", badNameIndex},
        {"32-bit class", wrongClass},
        {"block without bytes in the file", Elf({{".tev_version", 8, EnglishBlock("1.2")}})},
        {"block size beyond its section", Elf({{".tev_version", 1, bigSize}})},
        {"string table beyond the block", Elf({{".tev_version", 1, longTable}})},
        {"value without its NUL", Elf({{".tev_version", 1, unterminated}})},
        {"block without translations",
         Elf({{".tev_version", 1, Block({}, {{0x0409, 0x04B0, {{"FileVersion", "1"}}}})}})},
        {"wrong magic", Elf({{".tev_version", 1, "TEVX" + EnglishBlock("1.2").substr(4)}})},
        {"no FileVersion",
         Elf({{".tev_version", 1,
               Block({{0x0409, 0x04B0}}, {{0x0409, 0x04B0, {{"ProductVersion", "1"}}}})}})},
    };
    for (const auto& [name, bytes] : cases) {
        EXPECT_EQ(Version(Write("case", bytes)), "(none)") << name;
    }
    EXPECT_EQ(Version(""), "(none)");
    EXPECT_EQ(Version(std::string(std::getenv("TEV_TEST_ROOT")) + "/missing"), "(none)");
    EXPECT_EQ(Version(std::getenv("TEV_TEST_ROOT")), "(none)");  // a folder
}

// Every cut of a file with a block is read without a read past what is there.
TEST_F(VersionText, EveryCutOfAnElfIsSafe) {
    const std::string good = Elf({{".tev_version", 1, EnglishBlock("9.9.9.9")}});
    const std::string path = Write("cut", good);
    for (size_t cut = 0; cut < good.size(); ++cut) {
        ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(cut)), 0);
        std::string text;
        EXPECT_FALSE(GetFileVersionText(path, &text)) << cut;
    }
}

}  // namespace
