#include "direct/answer_rules.h"

#include <cctype>
#include <limits>
#include <utility>

#include "foundation/tokenizer.h"

namespace {

// Reads a decimal number at *pos; false when there is none or it does not fit.
bool ReadNumber(const std::string& text, size_t* pos, int64_t* out) {
    const size_t start = *pos;
    int64_t value = 0;
    while (*pos < text.size() && std::isdigit(static_cast<unsigned char>(text[*pos]))) {
        const int digit = text[*pos] - '0';
        if (value > (std::numeric_limits<int64_t>::max() - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
        ++*pos;
    }
    *out = value;
    return *pos > start;
}

void SkipSpaces(const std::string& text, size_t* pos) {
    while (*pos < text.size() && (text[*pos] == ' ' || text[*pos] == '\t')) {
        ++*pos;
    }
}

}  // namespace

bool ParseContentRange(const std::string& value, CContentRange* out) {
    size_t pos = 0;
    SkipSpaces(value, &pos);
    constexpr char kUnit[] = "bytes";
    for (const char c : std::string(kUnit)) {
        if (pos >= value.size() || std::tolower(static_cast<unsigned char>(value[pos])) != c) {
            return false;
        }
        ++pos;
    }
    if (pos >= value.size() || (value[pos] != ' ' && value[pos] != '\t')) {
        return false;
    }
    SkipSpaces(value, &pos);
    CContentRange range;
    if (pos < value.size() && value[pos] == '*') {
        ++pos;
    } else {
        if (!ReadNumber(value, &pos, &range.first) || pos >= value.size() || value[pos] != '-') {
            return false;
        }
        ++pos;
        // last + 1 (the size a range implies, its length) must stay a number.
        if (!ReadNumber(value, &pos, &range.last) || range.last < range.first ||
            range.last == std::numeric_limits<int64_t>::max()) {
            return false;
        }
    }
    if (pos >= value.size() || value[pos] != '/') {
        return false;
    }
    ++pos;
    if (pos < value.size() && value[pos] == '*') {
        ++pos;
        if (range.first < 0) {
            return false;  // "bytes */*" says nothing
        }
    } else if (!ReadNumber(value, &pos, &range.total) || range.total <= range.last) {
        return false;
    }
    SkipSpaces(value, &pos);
    if (pos != value.size()) {
        return false;
    }
    *out = range;
    return true;
}

ePartialVerdict JudgePartialAnswer(const std::string& contentRange, int64_t position,
                                   int64_t knownSize, int64_t* fileSize) {
    CContentRange range;
    if (!ParseContentRange(contentRange, &range) || range.first < 0 || range.first != position) {
        return ePartialVerdict::kNotContinuing;
    }
    const int64_t size = range.total >= 0 ? range.total : range.last + 1;
    if (position > 0 && knownSize >= 0 &&
        (range.total >= 0 ? range.total != knownSize : size > knownSize)) {
        return ePartialVerdict::kAnotherVersion;
    }
    *fileSize = size;
    return ePartialVerdict::kAppend;
}

bool RangeNotSatisfiableMeansDone(const std::string& contentRange, int64_t localSize,
                                  int64_t expectedSize) {
    CContentRange range;
    if (ParseContentRange(contentRange, &range) && range.total >= 0) {
        return localSize == range.total;
    }
    return expectedSize >= 0 && localSize == expectedSize;
}

int64_t KeptBytes(int64_t existingBytes, int64_t fileSize) {
    // A local file longer than the served one is fetched again from its start.
    return existingBytes > 0 && existingBytes <= fileSize ? existingBytes : 0;
}

eSizeVerdict SizeCheckVerdict(int64_t contentLength, int64_t existingBytes, int64_t freeBytes) {
    if (contentLength <= 0) {
        return eSizeVerdict::kUnusable;
    }
    const int64_t needed = contentLength - KeptBytes(existingBytes, contentLength);
    if (needed == 0) {
        return eSizeVerdict::kFits;
    }
    if (needed > freeBytes) {
        return eSizeVerdict::kTooLarge;
    }
    return needed == freeBytes ? eSizeVerdict::kUnusable : eSizeVerdict::kFits;
}

std::vector<std::string> SplitAlternatives(const std::string& urlText) {
    vmCStringTokenizer tokenizer;
    tokenizer.Split(urlText.c_str(), '|');
    std::vector<std::string> alternatives;
    while (const char* token = tokenizer.Next()) {
        // Blanks around a separator are not part of a URL.
        std::string piece(token);
        const size_t first = piece.find_first_not_of(" \t\r\n");
        if (first == std::string::npos) {
            continue;
        }
        piece = piece.substr(first, piece.find_last_not_of(" \t\r\n") - first + 1);
        alternatives.push_back(std::move(piece));
    }
    return alternatives;
}
