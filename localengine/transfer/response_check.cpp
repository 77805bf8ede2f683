#include "transfer/response_check.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <string>

namespace tev::localengine {
namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    return s;
}

bool HeaderIs(std::string_view line, std::string_view name, std::string_view* value) {
    if (line.size() <= name.size() || line[name.size()] != ':') {
        return false;
    }
    for (size_t i = 0; i < name.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) {
            return false;
        }
    }
    *value = Trim(line.substr(name.size() + 1));
    return true;
}

bool ParseNumber(std::string_view text, uint64_t* value) {
    if (text.empty()) {
        return false;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::optional<ContentRange> ParseContentRange(std::string_view value) {
    value = Trim(value);
    if (value.substr(0, 6) != "bytes ") {
        return std::nullopt;
    }
    value.remove_prefix(6);
    const size_t dash = value.find('-');
    const size_t slash = value.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || dash > slash) {
        return std::nullopt;
    }
    ContentRange range;
    uint64_t last = 0;
    if (!ParseNumber(Trim(value.substr(0, dash)), &range.begin) ||
        !ParseNumber(Trim(value.substr(dash + 1, slash - dash - 1)), &last) ||
        !ParseNumber(Trim(value.substr(slash + 1)), &range.size) || last < range.begin ||
        last >= range.size) {
        return std::nullopt;
    }
    range.end = last + 1;
    return range;
}

Verdict JudgeAnswer(const RangeAsk& ask, const AnswerHead& head, std::optional<uint64_t> knownSize,
                    bool sizeFromJob, const Validator& stored) {
    // A validator of the same kind that differs from the stored one means another file, whatever
    // the status says.
    const bool validatorChanged = stored.kind != Validator::None &&
                                  head.validator.kind == stored.kind &&
                                  head.validator.value != stored.value;
    if (head.status == 206) {
        const std::optional<ContentRange> range =
            head.contentRange ? ParseContentRange(*head.contentRange) : std::nullopt;
        if (!range) {
            return {Verdict::BadRange, std::nullopt};
        }
        if (validatorChanged) {
            return {Verdict::Changed, range->size};
        }
        if (knownSize && range->size != *knownSize) {
            // The job's size is the publisher's word; a learnt size that moved means a new file.
            return {sizeFromJob ? Verdict::SizeMismatch : Verdict::Changed, range->size};
        }
        if (range->begin != ask.begin || range->end != std::min(ask.end, range->size) ||
            (head.contentLength && *head.contentLength != range->end - range->begin)) {
            return {Verdict::BadRange, range->size};
        }
        return {Verdict::Range, range->size};
    }
    if (head.status == 200) {
        if (knownSize && sizeFromJob && head.contentLength && *head.contentLength != *knownSize) {
            return {Verdict::SizeMismatch, head.contentLength};
        }
        return {Verdict::WholeBody, head.contentLength};
    }
    if (head.status == 416 && head.contentRange) {
        std::string_view value = Trim(*head.contentRange);
        uint64_t size = 0;
        if (value.substr(0, 8) == "bytes */" && ParseNumber(value.substr(8), &size) &&
            ask.begin >= size) {
            if (knownSize && size != *knownSize) {
                return {sizeFromJob ? Verdict::SizeMismatch : Verdict::Changed, size};
            }
            return {Verdict::BeyondEnd, size};
        }
    }
    return {Verdict::HttpError, std::nullopt};
}

bool ReadHeadLine(std::string_view line, AnswerHead& head) {
    if (line.substr(0, 5) == "HTTP/") {
        // A new answer (after a redirect or a 100): forget the previous head.
        head = AnswerHead{};
        const size_t space = line.find(' ');
        if (space != std::string_view::npos) {
            head.status = std::strtol(std::string(line.substr(space + 1, 3)).c_str(), nullptr, 10);
        }
        return false;
    }
    std::string_view value;
    if (HeaderIs(line, "content-range", &value)) {
        head.contentRange = std::string(value);
    } else if (HeaderIs(line, "content-length", &value)) {
        uint64_t number = 0;
        if (ParseNumber(value, &number)) {
            head.contentLength = number;
        }
    } else if (HeaderIs(line, "etag", &value)) {
        // Only a strong ETag may stand in If-Range.
        if (!value.empty() && value.substr(0, 2) != "W/") {
            head.validator = {Validator::ETag, std::string(value)};
        }
    } else if (HeaderIs(line, "last-modified", &value)) {
        if (head.validator.kind != Validator::ETag && !value.empty()) {
            head.validator = {Validator::LastModified, std::string(value)};
        }
    } else if (Trim(line).empty()) {
        const long status = head.status;
        // Informational, or a redirect that libcurl follows: another head comes.
        return !(status < 200 || (status >= 300 && status < 400 && status != 304));
    }
    return false;
}

void ReadLinkLine(std::string_view line, std::string& links) {
    std::string_view value;
    if (line.substr(0, 5) == "HTTP/") {
        links.clear();
    } else if (HeaderIs(line, "link", &value) && links.size() + value.size() < 8192) {
        links += links.empty() ? "" : ",";
        links.append(value);
    }
}

}  // namespace tev::localengine
