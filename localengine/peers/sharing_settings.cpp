#include "peers/sharing_settings.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

namespace tev::localengine {

namespace {

constexpr size_t kMaxFileBytes = 64 * 1024;
constexpr size_t kMaxListen = 16;

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

bool ParseSwitch(std::string_view value, bool* out) {
    if (value == "on") {
        *out = true;
        return true;
    }
    if (value == "off") {
        *out = false;
        return true;
    }
    return false;
}

template <typename Number>
bool ParseWhole(std::string_view value, Number high, Number* out) {
    Number number{};
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (error != std::errc() || end != value.data() + value.size() || value.empty() ||
        number > high) {
        return false;
    }
    *out = number;
    return true;
}

bool ParseRatio(std::string_view value, double* out) {
    // Digits with at most one point: no exponents, signs, "inf" or "nan".
    if (value.empty() || value.size() > 16 ||
        value.find_first_not_of("0123456789.") != std::string_view::npos ||
        value.find('.') != value.rfind('.') || value == ".") {
        return false;
    }
    const double ratio = std::strtod(std::string(value).c_str(), nullptr);
    if (!std::isfinite(ratio) || ratio > 1000.0) {
        return false;
    }
    *out = ratio;
    return true;
}

// "a.b.c.d:port" or "[v6]:port", the address in its numeric form.
bool ParseEndpoint(std::string_view text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) {
        return false;
    }
    uint16_t port = 0;
    if (!ParseWhole<uint16_t>(text.substr(colon + 1), 65535, &port)) {
        return false;
    }
    std::string_view host = text.substr(0, colon);
    unsigned char address[16];
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') {
            return false;
        }
        return inet_pton(AF_INET6, std::string(host.substr(1, host.size() - 2)).c_str(), address) ==
               1;
    }
    return inet_pton(AF_INET, std::string(host).c_str(), address) == 1;
}

bool ParseListen(std::string_view value, std::vector<std::string>* out) {
    std::vector<std::string> endpoints;
    while (!value.empty()) {
        const size_t comma = value.find(',');
        const std::string_view one = Trim(value.substr(0, comma));
        if (!ParseEndpoint(one) || endpoints.size() == kMaxListen) {
            return false;
        }
        endpoints.emplace_back(one);
        value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    }
    if (endpoints.empty()) {
        return false;
    }
    *out = std::move(endpoints);
    return true;
}

}  // namespace

SharingSettings ParseSharingSettings(std::string_view text, std::vector<std::string>* notes) {
    SharingSettings settings;
    size_t lineNumber = 0;
    while (!text.empty()) {
        const size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        ++lineNumber;
        const size_t hash = line.find('#');
        line = Trim(line.substr(0, hash));
        if (line.empty()) {
            continue;
        }
        const size_t equals = line.find('=');
        const auto note = [&](const std::string& what) {
            if (notes != nullptr) {
                notes->push_back("sharing.conf line " + std::to_string(lineNumber) + ": " + what);
            }
        };
        if (equals == std::string_view::npos) {
            note("no key=value: ignored");
            continue;
        }
        const std::string key(Trim(line.substr(0, equals)));
        const std::string_view value = Trim(line.substr(equals + 1));
        bool good = true;
        if (key == "sharing") {
            good = ParseSwitch(value, &settings.sharing);
        } else if (key == "ratio") {
            good = ParseRatio(value, &settings.ratio);
        } else if (key == "minutes") {
            good = ParseWhole<uint32_t>(value, 7 * 24 * 60, &settings.minutes);
        } else if (key == "upload_kib") {
            good = ParseWhole<uint64_t>(value, 1000 * 1000, &settings.uploadKib);
        } else if (key == "listen") {
            good = ParseListen(value, &settings.listen);
        } else if (key == "dht") {
            good = ParseSwitch(value, &settings.dht);
        } else if (key == "lsd") {
            good = ParseSwitch(value, &settings.lsd);
        } else if (key == "upnp") {
            good = ParseSwitch(value, &settings.upnp);
        } else if (key == "natpmp") {
            good = ParseSwitch(value, &settings.natpmp);
        } else {
            note("unknown key \"" + key.substr(0, 64) + "\": ignored");
            continue;
        }
        if (!good) {
            note("malformed value for " + key + ": default kept");
        }
    }
    return settings;
}

SharingSettings LoadSharingSettings(const std::string& path, std::vector<std::string>* notes) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno != ENOENT && notes != nullptr) {
            notes->push_back("cannot read " + path + ": " + std::strerror(errno) +
                             ": defaults kept");
        }
        return {};
    }
    struct stat info {};
    std::string text;
    bool good = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                static_cast<uint64_t>(info.st_size) <= kMaxFileBytes;
    if (good) {
        text.resize(kMaxFileBytes + 1);
        size_t total = 0;
        while (total < text.size()) {
            const ssize_t got = read(fd, text.data() + total, text.size() - total);
            if (got <= 0) {
                good = got == 0;
                break;
            }
            total += static_cast<size_t>(got);
        }
        good = good && total <= kMaxFileBytes;
        text.resize(total);
    }
    close(fd);
    if (!good) {
        if (notes != nullptr) {
            notes->push_back(path + " is not a plain file of at most 64 KiB: defaults kept");
        }
        return {};
    }
    return ParseSharingSettings(text, notes);
}

std::string WithSharing(std::string_view text, bool on) {
    std::string result;
    bool written = false;
    while (!text.empty()) {
        const size_t newline = text.find('\n');
        const std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        const std::string_view content = Trim(line.substr(0, line.find('#')));
        const size_t equals = content.find('=');
        if (equals != std::string_view::npos && Trim(content.substr(0, equals)) == "sharing") {
            if (!written) {
                result += on ? "sharing=on\n" : "sharing=off\n";
                written = true;
            }
            continue;  // a second sharing= line would contradict the first
        }
        result.append(line);
        result += '\n';
    }
    if (!written) {
        result += on ? "sharing=on\n" : "sharing=off\n";
    }
    return result;
}

bool WriteSharingSetting(const std::string& path, bool on, std::string* error) {
    const auto fail = [&](const std::string& what) {
        if (error != nullptr) {
            *error = what + ": " + std::strerror(errno);
        }
        return false;
    };
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos) {
        for (size_t at = 1; at <= slash; ++at) {
            if (at == slash || path[at] == '/') {
                mkdir(path.substr(0, at).c_str(), 0700);
            }
        }
    }
    std::string text;
    const int in = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (in >= 0) {
        struct stat info {};
        if (fstat(in, &info) == 0 && S_ISREG(info.st_mode) &&
            static_cast<uint64_t>(info.st_size) <= kMaxFileBytes) {
            char buffer[4096];
            ssize_t got = 0;
            while ((got = read(in, buffer, sizeof buffer)) > 0 && text.size() <= kMaxFileBytes) {
                text.append(buffer, static_cast<size_t>(got));
            }
        }
        close(in);
    } else if (errno != ENOENT) {
        return fail("cannot read " + path);
    }
    const std::string updated = WithSharing(text, on);
    const std::string temporary = path + ".new";
    unlink(temporary.c_str());
    const int out =
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) {
        return fail("cannot write " + temporary);
    }
    size_t done = 0;
    while (done < updated.size()) {
        const ssize_t put = write(out, updated.data() + done, updated.size() - done);
        if (put <= 0) {
            close(out);
            unlink(temporary.c_str());
            return fail("cannot write " + temporary);
        }
        done += static_cast<size_t>(put);
    }
    if (fsync(out) != 0) {
        close(out);
        unlink(temporary.c_str());
        return fail("cannot write " + temporary);
    }
    close(out);
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return fail("cannot replace " + path);
    }
    return true;
}

}  // namespace tev::localengine
