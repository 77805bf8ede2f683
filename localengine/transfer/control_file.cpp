#include "transfer/control_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <vector>

#include "transfer/file_io.h"

namespace tev::localengine {
namespace {

constexpr std::string_view kMagic = "TEVCTL 1";

bool ParseNumber(std::string_view text, uint64_t* value) {
    if (text.empty()) {
        return false;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return error == std::errc() && end == text.data() + text.size();
}

bool ValidValidatorText(std::string_view value) {
    for (const char c : value) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string EncodeControlRecord(const ControlRecord& record) {
    std::string text(kMagic);
    text += "\nsize " + std::to_string(record.size) + "\n";
    if (record.validator.kind == Validator::ETag) {
        text += "etag " + record.validator.value + "\n";
    } else if (record.validator.kind == Validator::LastModified) {
        text += "last-modified " + record.validator.value + "\n";
    }
    for (const ByteRange& r : record.done.Ranges()) {
        text += "done " + std::to_string(r.begin) + "-" + std::to_string(r.end) + "\n";
    }
    text += "end\n";
    return text;
}

std::optional<ControlRecord> DecodeControlRecord(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t newline = text.find('\n');
        if (newline == std::string_view::npos) {
            return std::nullopt;  // every line ends with a newline; a missing one is a torn file
        }
        lines.push_back(text.substr(0, newline));
        text.remove_prefix(newline + 1);
    }
    if (lines.size() < 3 || lines.front() != kMagic || lines.back() != "end") {
        return std::nullopt;
    }
    ControlRecord record;
    bool haveSize = false;
    uint64_t lastEnd = 0;
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        const std::string_view line = lines[i];
        const size_t space = line.find(' ');
        if (space == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view key = line.substr(0, space);
        const std::string_view value = line.substr(space + 1);
        if (key == "size" && !haveSize) {
            if (!ParseNumber(value, &record.size)) {
                return std::nullopt;
            }
            haveSize = true;
        } else if ((key == "etag" || key == "last-modified") &&
                   record.validator.kind == Validator::None && haveSize) {
            if (value.empty() || !ValidValidatorText(value)) {
                return std::nullopt;
            }
            record.validator = {key == "etag" ? Validator::ETag : Validator::LastModified,
                                std::string(value)};
        } else if (key == "done" && haveSize) {
            const size_t dash = value.find('-');
            uint64_t begin = 0;
            uint64_t end = 0;
            if (dash == std::string_view::npos || !ParseNumber(value.substr(0, dash), &begin) ||
                !ParseNumber(value.substr(dash + 1), &end) || begin >= end || end > record.size ||
                begin < lastEnd) {
                return std::nullopt;
            }
            lastEnd = end;
            record.done.Add(begin, end);
        } else {
            return std::nullopt;
        }
    }
    if (!haveSize) {
        return std::nullopt;
    }
    return record;
}

bool WriteControlFile(const std::string& path, const ControlRecord& record) {
    const std::string temporary = path + ".new";
    const std::string text = EncodeControlRecord(record);
    const int fd =
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool ok = WriteAll(fd, text.data(), text.size(), 0) && SyncData(fd);
    const int savedErrno = errno;
    close(fd);
    if (ok && rename(temporary.c_str(), path.c_str()) == 0) {
        SyncFolderOf(path);
        return true;
    }
    unlink(temporary.c_str());
    errno = ok ? errno : savedErrno;
    return false;
}

std::optional<ControlRecord> ReadControlFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    // A real control file is small; anything larger is not ours.
    std::string text(1 << 20, '\0');
    size_t length = 0;
    while (length < text.size()) {
        const ssize_t n = read(fd, text.data() + length, text.size() - length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        length += static_cast<size_t>(n);
    }
    close(fd);
    if (length == text.size()) {
        return std::nullopt;
    }
    text.resize(length);
    return DecodeControlRecord(text);
}

}  // namespace tev::localengine
