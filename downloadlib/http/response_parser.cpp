#include "http/response_parser.h"

#include <limits>

#include "http/uri_codec.h"

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (prefix.size() > text.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (Lower(text[i]) != Lower(prefix[i])) {
            return false;
        }
    }
    return true;
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

}  // namespace

size_t HttpHeadLength(std::string_view bytes) {
    const size_t end = bytes.find("\r\n\r\n");
    return end == std::string_view::npos ? 0 : end + 4;
}

void nwCHttpResponseParser::Parse(std::string_view head) {
    entries_.clear();
    raw_.assign(head);
    parsed_ = true;
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
        const size_t space = line.find(' ');
        if (line.empty() || space == std::string::npos) {
            continue;
        }
        Entry entry{line.substr(0, space), line.substr(space + 1)};
        utCUriCodec::DecodeInPlace(&entry.value);
        entries_.push_back(std::move(entry));
    }
}

const nwCHttpResponseParser::Entry* nwCHttpResponseParser::Find(std::string_view prefix) const {
    for (const Entry& entry : entries_) {
        if (StartsWithIgnoringCase(entry.name, prefix)) {
            return &entry;
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

int64_t nwCHttpResponseParser::ContentLength() const {
    const Entry* entry = Find("Content-Length");
    return entry != nullptr ? LeadingNumber(entry->value) : 0;
}
