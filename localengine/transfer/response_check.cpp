#include "transfer/response_check.h"

#include <algorithm>
#include <charconv>

namespace tev::localengine {
namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
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

}  // namespace tev::localengine
