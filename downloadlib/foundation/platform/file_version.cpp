#include "foundation/platform/file_version.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/platform/version_block.h"

namespace {

constexpr size_t kElfHeaderSize = 64;
constexpr size_t kSectionHeaderSize = 64;
constexpr uint32_t kShtNobits = 8;
constexpr uint16_t kShnXindex = 0xFFFF;

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(Le16(p)) | static_cast<uint32_t>(Le16(p + 2)) << 16;
}
uint64_t Le64(const uint8_t* p) {
    return static_cast<uint64_t>(Le32(p)) | static_cast<uint64_t>(Le32(p + 4)) << 32;
}

// An open file read at offsets, each read checked against the file's size.
class ElfFile {
  public:
    explicit ElfFile(const char* path) : fd_(open(path, O_RDONLY | O_CLOEXEC)) {
        struct stat st {};
        if (fd_ >= 0 && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
            size_ = static_cast<uint64_t>(st.st_size);
        }
    }
    ~ElfFile() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    ElfFile(const ElfFile&) = delete;
    ElfFile& operator=(const ElfFile&) = delete;

    bool Read(uint64_t offset, uint64_t length, std::vector<uint8_t>* out) const {
        if (fd_ < 0 || offset > size_ || length > size_ - offset) {
            return false;
        }
        out->assign(length, 0);
        size_t done = 0;
        while (done < length) {
            const ssize_t n =
                pread(fd_, out->data() + done, length - done, static_cast<off_t>(offset + done));
            if (n <= 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }

  private:
    int fd_;
    uint64_t size_ = 0;
};

struct Section {
    uint32_t name = 0;
    uint32_t type = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
};

Section ParseSection(const uint8_t* h) {
    return {Le32(h), Le32(h + 4), Le64(h + 24), Le64(h + 32)};
}

// Reads the bytes of the section named ".tev_version"; false when the file is not an ELF of
// ours to read, lies about its sections, or has no such section.
bool ReadVersionSection(const char* path, std::vector<uint8_t>* out) {
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    ElfFile file(path);
    std::vector<uint8_t> header;
    if (!file.Read(0, kElfHeaderSize, &header)) {
        return false;
    }
    const uint8_t* e = header.data();
    // "\x7fELF", 64-bit, little-endian, version 1.
    if (std::memcmp(e,
                    "\x7f"
                    "ELF",
                    4) != 0 ||
        e[4] != 2 || e[5] != 1 || e[6] != 1) {
        return false;
    }
    const uint64_t shoff = Le64(e + 0x28);
    const uint16_t shentsize = Le16(e + 0x3A);
    const uint16_t shnum = Le16(e + 0x3C);
    const uint16_t shstrndx = Le16(e + 0x3E);
    // Extended section numbering is not used by our programs: a file that needs it is not ours.
    if (shoff == 0 || shnum == 0 || shentsize != kSectionHeaderSize || shstrndx >= shnum ||
        shstrndx == kShnXindex) {
        return false;
    }
    std::vector<uint8_t> table;
    if (!file.Read(shoff, uint64_t{shnum} * kSectionHeaderSize, &table)) {
        return false;
    }
    const Section names = ParseSection(table.data() + size_t{shstrndx} * kSectionHeaderSize);
    std::vector<uint8_t> strings;
    if (names.type == kShtNobits || names.size > 16 * 1024 * 1024 ||
        !file.Read(names.offset, names.size, &strings)) {
        return false;
    }
    const std::string_view wanted(tev_version::kSectionName);
    for (uint16_t i = 0; i < shnum; ++i) {
        const Section s = ParseSection(table.data() + size_t{i} * kSectionHeaderSize);
        if (s.name >= strings.size() || strings.size() - s.name < wanted.size() + 1 ||
            std::memcmp(strings.data() + s.name, wanted.data(), wanted.size() + 1) != 0) {
            continue;
        }
        return s.type != kShtNobits && s.size <= 0xFFFF && file.Read(s.offset, s.size, out);
    }
    return false;
}

// The parts of a block, found with every length checked. Pointers go into the block.
struct ParsedBlock {
    const uint8_t* translations = nullptr;
    uint16_t translationCount = 0;
    const uint8_t* tables = nullptr;  // the first string table
    uint16_t tableCount = 0;
    const uint8_t* end = nullptr;
};

bool ParseBlock(const uint8_t* block, uint64_t available, ParsedBlock* out) {
    if (block == nullptr || available < 12 ||
        std::memcmp(block, tev_version::kMagic, sizeof(tev_version::kMagic)) != 0 ||
        Le16(block + 4) != tev_version::kFormat) {
        return false;
    }
    const uint16_t size = Le16(block + 6);
    if (size < 12 || size > available) {
        return false;
    }
    const uint8_t* end = block + size;
    const uint8_t* at = block + 8;
    out->translationCount = Le16(at);
    at += 2;
    if (static_cast<size_t>(end - at) < size_t{out->translationCount} * 4 + 2) {
        return false;
    }
    out->translations = at;
    at += size_t{out->translationCount} * 4;
    out->tableCount = Le16(at);
    at += 2;
    out->tables = at;
    out->end = end;
    // Every table must lie inside the block.
    for (uint16_t t = 0; t < out->tableCount; ++t) {
        if (end - at < 6) {
            return false;
        }
        const uint16_t length = Le16(at + 4);
        if (static_cast<size_t>(end - at - 6) < length) {
            return false;
        }
        at += 6 + length;
    }
    return true;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// Eight hexadecimal digits: language and code page.
bool ParseTableName(std::string_view name, uint16_t* language, uint16_t* codePage) {
    if (name.size() != 8) {
        return false;
    }
    uint32_t value = 0;
    for (char c : name) {
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return false;
        }
        value = value << 4 | digit;
    }
    *language = static_cast<uint16_t>(value >> 16);
    *codePage = static_cast<uint16_t>(value);
    return true;
}

bool FindString(const ParsedBlock& block, uint16_t language, uint16_t codePage,
                std::string_view key, const void** value, uint32_t* length) {
    const uint8_t* at = block.tables;
    for (uint16_t t = 0; t < block.tableCount; ++t) {
        const uint16_t tableLanguage = Le16(at);
        const uint16_t tableCodePage = Le16(at + 2);
        const uint16_t pairsLength = Le16(at + 4);
        const uint8_t* pairs = at + 6;
        const uint8_t* pairsEnd = pairs + pairsLength;
        at = pairsEnd;
        if (tableLanguage != language || tableCodePage != codePage) {
            continue;
        }
        const auto nextText = [&](const uint8_t** p, std::string_view* text) {
            const void* nul = std::memchr(*p, 0, static_cast<size_t>(pairsEnd - *p));
            if (nul == nullptr) {
                return false;
            }
            *text = std::string_view(reinterpret_cast<const char*>(*p),
                                     static_cast<const uint8_t*>(nul) - *p);
            *p = static_cast<const uint8_t*>(nul) + 1;
            return true;
        };
        const uint8_t* p = pairs;
        std::string_view k;
        std::string_view v;
        while (p < pairsEnd && nextText(&p, &k)) {
            const uint8_t* valueStart = p;
            if (!nextText(&p, &v)) {
                break;
            }
            if (EqualsIgnoringCase(k, key)) {
                *value = valueStart;
                *length = static_cast<uint32_t>(v.size() + 1);
                return true;
            }
        }
    }
    return false;
}

}  // namespace

uint32_t cpGetFileVersionInfoSize(const char* path) {
    std::vector<uint8_t> section;
    ParsedBlock parsed;
    if (!ReadVersionSection(path, &section) ||
        !ParseBlock(section.data(), section.size(), &parsed)) {
        return 0;
    }
    return Le16(section.data() + 6);
}

bool cpGetFileVersionInfo(const char* path, uint32_t size, void* data) {
    std::vector<uint8_t> section;
    ParsedBlock parsed;
    if (data == nullptr || !ReadVersionSection(path, &section) ||
        !ParseBlock(section.data(), section.size(), &parsed)) {
        return false;
    }
    const uint32_t blockSize = Le16(section.data() + 6);
    if (size < blockSize) {
        return false;
    }
    std::memcpy(data, section.data(), blockSize);
    return true;
}

bool cpVerQueryValue(const void* block, uint32_t blockSize, const char* subBlock,
                     const void** value, uint32_t* length) {
    ParsedBlock parsed;
    if (subBlock == nullptr || value == nullptr || length == nullptr ||
        !ParseBlock(static_cast<const uint8_t*>(block), blockSize, &parsed)) {
        return false;
    }
    const std::string_view query(subBlock);
    if (EqualsIgnoringCase(query, "\\VarFileInfo\\Translation")) {
        if (parsed.translationCount == 0) {
            return false;
        }
        *value = parsed.translations;
        *length = uint32_t{parsed.translationCount} * 4;
        return true;
    }
    constexpr std::string_view kStrings = "\\StringFileInfo\\";
    if (query.size() < kStrings.size() ||
        !EqualsIgnoringCase(query.substr(0, kStrings.size()), kStrings)) {
        return false;
    }
    const std::string_view rest = query.substr(kStrings.size());
    const size_t slash = rest.find('\\');
    uint16_t language = 0;
    uint16_t codePage = 0;
    if (slash == std::string_view::npos ||
        !ParseTableName(rest.substr(0, slash), &language, &codePage)) {
        return false;
    }
    return FindString(parsed, language, codePage, rest.substr(slash + 1), value, length);
}

uint16_t cpGetUserDefaultLangID() {
    const char* locale = nullptr;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(name);
        if (v != nullptr && v[0] != '\0') {
            locale = v;
            break;
        }
    }
    if (locale == nullptr) {
        return 0x0409;
    }
    // Language and territory as "ll_TT"; the encoding and modifier do not matter here.
    const std::string_view text(locale);
    const std::string_view tag = text.substr(0, text.find_first_of(".@"));
    struct Entry {
        const char* tag;
        uint16_t id;
    };
    static constexpr Entry kTable[] = {
        {"zh_TW", 0x0404}, {"zh_HK", 0x0C04}, {"zh_CN", 0x0804}, {"zh_SG", 0x1004}, {"ko", 0x0412},
        {"ja", 0x0411},    {"en_GB", 0x0809}, {"en", 0x0409},    {"de", 0x0407},    {"fr", 0x040C},
        {"es", 0x0C0A},    {"it", 0x0410},    {"pt_BR", 0x0416}, {"pt", 0x0816},    {"ru", 0x0419},
        {"th", 0x041E},    {"vi", 0x042A},    {"zh", 0x0804},
    };
    for (const Entry& e : kTable) {
        const std::string_view candidate(e.tag);
        // A bare language matches any territory of it.
        if (tag == candidate || (candidate.size() == 2 && tag.size() > 2 &&
                                 tag.substr(0, 2) == candidate && tag[2] == '_')) {
            return e.id;
        }
    }
    return 0x0409;
}
