#include "transfer/final_record.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <charconv>
#include <string_view>

namespace tev::localengine {

namespace {

constexpr const char* kAttribute = "user.tev.version";
constexpr size_t kMaxValue = 1024;  // validators are short; anything longer is not ours

int64_t MtimeNs(const struct stat& info) {
    return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

}  // namespace

bool WriteFinalRecord(int fd, FinalRecord record) {
    struct stat info {};
    if (record.validator.kind == Validator::None || record.validator.value.size() > kMaxValue ||
        record.validator.value.find('\n') != std::string::npos || fstat(fd, &info) != 0) {
        return false;
    }
    record.mtimeNs = MtimeNs(info);
    // "TEV1 <size> <mtime ns> <e|l> <validator>"
    const std::string text =
        "TEV1 " + std::to_string(record.size) + " " + std::to_string(record.mtimeNs) +
        (record.validator.kind == Validator::ETag ? " e " : " l ") + record.validator.value;
    return fsetxattr(fd, kAttribute, text.data(), text.size(), 0) == 0;
}

std::optional<FinalRecord> ReadFinalRecord(const std::string& path) {
    char buffer[kMaxValue + 64];
    const ssize_t length = lgetxattr(path.c_str(), kAttribute, buffer, sizeof buffer);
    if (length <= 0) {
        return std::nullopt;
    }
    std::string_view text(buffer, static_cast<size_t>(length));
    if (text.substr(0, 5) != "TEV1 ") {
        return std::nullopt;
    }
    text.remove_prefix(5);
    FinalRecord record;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), record.size);
    if (error != std::errc() || end == text.data() + text.size() || *end != ' ') {
        return std::nullopt;
    }
    text.remove_prefix(static_cast<size_t>(end - text.data()) + 1);
    const auto [end2, error2] =
        std::from_chars(text.data(), text.data() + text.size(), record.mtimeNs);
    if (error2 != std::errc()) {
        return std::nullopt;
    }
    text.remove_prefix(static_cast<size_t>(end2 - text.data()));
    if (text.size() < 4 || text[0] != ' ' || (text[1] != 'e' && text[1] != 'l') || text[2] != ' ') {
        return std::nullopt;
    }
    record.validator.kind = text[1] == 'e' ? Validator::ETag : Validator::LastModified;
    record.validator.value = std::string(text.substr(3));
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<uint64_t>(info.st_size) != record.size || MtimeNs(info) != record.mtimeNs) {
        return std::nullopt;  // written to since its completion
    }
    return record;
}

}  // namespace tev::localengine
