#include "http/response_parser.h"

#include <limits>
#include <utility>

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return true;
}

// A header name: RFC 9110 token characters only.
bool IsToken(std::string_view name) {
    if (name.empty()) {
        return false;
    }
    for (const char c : name) {
        const bool alnum =
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum && std::string_view("!#$%&'*+-.^_`|~").find(c) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// Leading decimal digits, saturating instead of overflowing.
int64_t LeadingNumber(std::string_view text) {
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        if (value > (std::numeric_limits<int64_t>::max() - (c - '0')) / 10) {
            return std::numeric_limits<int64_t>::max();
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

// The whole text as a decimal number: digits only, at least one, and it fits.
bool PlainNumber(std::string_view text, int64_t* out) {
    if (text.empty()) {
        return false;
    }
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > (std::numeric_limits<int64_t>::max() - (c - '0')) / 10) {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    *out = value;
    return true;
}

}  // namespace

size_t HttpHeadLength(std::string_view bytes) {
    const size_t end = bytes.find("\r\n\r\n");
    return end == std::string_view::npos ? 0 : end + 4;
}

void nwCHttpResponseParser::Parse(std::string_view head) {
    entries_.clear();
    raw_.assign(head);
    parsed_ = true;
    bool statusLine = true;
    size_t start = 0;
    while (start < head.size()) {
        size_t end = head.find('\n', start);
        if (end == std::string_view::npos) {
            end = head.size();
        }
        std::string line;
        for (char c : head.substr(start, end - start)) {
            if (c != '\r') {
                line += c;
            }
        }
        start = end + 1;
        if (line.empty()) {
            continue;
        }
        if (std::exchange(statusLine, false)) {
            const size_t space = line.find(' ');
            if (space != std::string::npos) {
                entries_.push_back({line.substr(0, space), line.substr(space + 1)});
            } else {
                entries_.push_back({line, {}});
            }
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string::npos || !IsToken(std::string_view(line).substr(0, colon))) {
            continue;
        }
        entries_.push_back(
            {line.substr(0, colon), std::string(Trim(std::string_view(line).substr(colon + 1)))});
    }
    ReadContentLength();
}

void nwCHttpResponseParser::ReadContentLength() {
    lengthState_ = eLength::kNone;
    length_ = 0;
    for (size_t i = 1; i < entries_.size(); ++i) {
        if (!EqualsIgnoringCase(entries_[i].name, "Content-Length")) {
            continue;
        }
        int64_t value = 0;
        if (!PlainNumber(entries_[i].value, &value) ||
            (lengthState_ == eLength::kValid && value != length_)) {
            lengthState_ = eLength::kInvalid;
            length_ = 0;
            return;
        }
        lengthState_ = eLength::kValid;
        length_ = value;
    }
}

std::string nwCHttpResponseParser::Defect() const {
    if (lengthState_ == eLength::kInvalid) {
        return "invalid or conflicting Content-Length";
    }
    if (lengthState_ == eLength::kValid && Find("Transfer-Encoding") != nullptr) {
        return "Content-Length beside Transfer-Encoding";
    }
    return {};
}

const nwCHttpResponseParser::Entry* nwCHttpResponseParser::Find(std::string_view name) const {
    if (!name.empty() && name.back() == ':') {
        name.remove_suffix(1);
    }
    // The status line is no header.
    for (size_t i = 1; i < entries_.size(); ++i) {
        if (EqualsIgnoringCase(entries_[i].name, name)) {
            return &entries_[i];
        }
    }
    return nullptr;
}

int32_t nwCHttpResponseParser::StatusCode() const {
    if (entries_.empty()) {
        return 0;
    }
    const int64_t code = LeadingNumber(entries_.front().value);
    return code > std::numeric_limits<int32_t>::max() ? 0 : static_cast<int32_t>(code);
}
