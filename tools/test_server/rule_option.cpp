#include "test_server/rule_option.h"

#include <charconv>

namespace tev::tools {

namespace {

// The header an RFC 6249 client follows to a file's torrent.
std::string TorrentLinkHeader(std::string_view url) {
    return "Link: <" + std::string(url) + ">; rel=describedby; type=\"application/x-bittorrent\"";
}

// A link target the header can carry as it stands: no space, control, '<', '>' or ','.
bool UsableLinkTarget(std::string_view url) {
    if (url.empty()) {
        return false;
    }
    for (const char c : url) {
        if (c <= ' ' || c >= 0x7f || c == '<' || c == '>' || c == ',') {
            return false;
        }
    }
    return true;
}

template <typename Number>
bool ParseNumber(std::string_view text, Number* value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace

std::optional<std::pair<std::string, HttpRule>> ParseRuleOption(std::string_view text,
                                                                std::string* error) {
    const auto fail = [&](const std::string& why) {
        if (error != nullptr) {
            *error = "bad rule '" + std::string(text) + "': " + why;
        }
        return std::nullopt;
    };
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        return fail("expected PATH:KIND");
    }
    const std::string path(text.substr(0, colon));
    if (path != "*" && (path.empty() || path.front() != '/')) {
        return fail("the path must start with '/' or be '*'");
    }
    std::string_view rest = text.substr(colon + 1);
    HttpRule rule;

    // Modifiers come first so that a redirect's location may hold any character.
    for (;;) {
        const size_t comma = rest.find(',');
        if (rest.starts_with("link=") && comma != std::string_view::npos) {
            if (!UsableLinkTarget(rest.substr(5, comma - 5))) {
                return fail("link needs a URL without spaces, '<', '>' or ','");
            }
            rule.headers.push_back(TorrentLinkHeader(rest.substr(5, comma - 5)));
            rest.remove_prefix(comma + 1);
        } else if (rest.starts_with("no-validators,")) {
            rule.noValidators = true;
            rest.remove_prefix(14);
        } else if (rest.starts_with("range-only,")) {
            rule.onlyWithRange = true;
            rest.remove_prefix(11);
        } else if (rest.starts_with("first=")) {
            const size_t comma = rest.find(',');
            if (comma == std::string_view::npos ||
                !ParseNumber(rest.substr(6, comma - 6), &rule.firstN) || rule.firstN == 0) {
                return fail("first=N needs a positive N followed by ','");
            }
            rest.remove_prefix(comma + 1);
        } else {
            break;
        }
    }

    const size_t equals = rest.find('=');
    const std::string_view kind = rest.substr(0, equals);
    const std::optional<std::string_view> value =
        equals == std::string_view::npos ? std::nullopt
                                         : std::optional<std::string_view>(rest.substr(equals + 1));
    const auto needNumber = [&](auto* field) { return value && ParseNumber(*value, field); };
    if (kind == "redirect" || kind == "see-other") {
        rule.kind = HttpRule::Redirect;
        rule.status = kind == "redirect" ? 302 : 303;
        if (value) {
            rule.location = std::string(*value);
        }
    } else if (kind == "status") {
        rule.kind = HttpRule::Status;
        if (!needNumber(&rule.status) || rule.status < 100 || rule.status > 999) {
            return fail("status needs a code from 100 to 999");
        }
    } else if (kind == "close-before-head" && !value) {
        rule.kind = HttpRule::CloseBeforeHead;
    } else if (kind == "close-after") {
        rule.kind = HttpRule::CloseAfterBytes;
        if (!needNumber(&rule.bytes)) {
            return fail("close-after needs a byte count");
        }
    } else if (kind == "no-validators" && !value) {
        rule.kind = HttpRule::AddHeaders;  // a normal answer, only without validators
        rule.noValidators = true;
    } else if (kind == "link") {
        rule.kind = HttpRule::AddHeaders;  // a normal answer that points at the file's torrent
        if (!value || !UsableLinkTarget(*value)) {
            return fail("link needs a URL without spaces, '<', '>' or ','");
        }
        rule.headers.push_back(TorrentLinkHeader(*value));
    } else if (kind == "stall" && !value) {
        rule.kind = HttpRule::Stall;
    } else if (kind == "rate") {
        rule.kind = HttpRule::Rate;
        if (!needNumber(&rule.bytesPerSecond) || rule.bytesPerSecond == 0) {
            return fail("rate needs a positive number of bytes per second");
        }
    } else if (kind == "no-length" && !value) {
        rule.kind = HttpRule::OmitContentLength;
    } else if (kind == "ignore-range" && !value) {
        rule.kind = HttpRule::IgnoreRange;
    } else if (kind == "chunked") {
        rule.kind = HttpRule::Chunked;
        if (value && (!needNumber(&rule.bytesPerSecond) || rule.bytesPerSecond == 0)) {
            return fail("chunked=RATE needs a positive number of bytes per second");
        }
    } else {
        return fail("unknown kind '" + std::string(kind) + "'");
    }
    return std::make_pair(path, rule);
}

}  // namespace tev::tools
