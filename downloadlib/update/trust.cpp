#include "update/trust.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "archive/extract_target.h"
#include "update_trust_keys.h"

namespace {

constexpr size_t kMaxTrustFileSize = 256 * 1024;
constexpr size_t kEd25519SignatureSize = 64;
constexpr size_t kMaxOfferLength = 127;

struct PkeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct MdCtxDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

std::string Hex(const unsigned char* data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

bool FromHex(std::string_view text, std::vector<unsigned char>* bytes) {
    if (text.size() % 2 != 0) {
        return false;
    }
    const auto nibble = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = nibble(text[i]);
        const int low = nibble(text[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes->push_back(static_cast<unsigned char>(high << 4 | low));
    }
    return true;
}

bool IsLowerHex(std::string_view text, size_t length) {
    if (text.size() != length) {
        return false;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

// A decimal without sign, leading zeros (but "0") or anything around it.
bool ParseDecimal(std::string_view text, uint64_t* value) {
    if (text.empty() || text.size() > 19 || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return error == std::errc() && end == text.data() + text.size();
}

std::vector<std::string_view> Split(std::string_view line) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= line.size()) {
        const size_t space = line.find(' ', start);
        const size_t end = space == std::string_view::npos ? line.size() : space;
        parts.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// "<keyword> <path> <length> <sha256>"
bool ParseEntry(std::string_view line, std::string_view keyword, CManifestEntry* entry) {
    const auto parts = Split(line);
    if (parts.size() != 4 || parts[0] != keyword || !IsWellFormedManifestPath(parts[1]) ||
        !ParseDecimal(parts[2], &entry->length) || !IsLowerHex(parts[3], 64)) {
        return false;
    }
    entry->path = std::string(parts[1]);
    entry->sha256 = std::string(parts[3]);
    return true;
}

std::string KeyId(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key, &der);
    if (length <= 0) {
        return {};
    }
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(der, static_cast<size_t>(length), digest);
    OPENSSL_free(der);
    return Hex(digest, 8);
}

bool ReadBoundedFile(const char* path, size_t limit, std::string* text) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    text->clear();
    char buffer[4096];
    bool ok = true;
    while (true) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 || text->size() + static_cast<size_t>(n) > limit) {
            ok = false;
            break;
        }
        if (n == 0) {
            break;
        }
        text->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return ok;
}

}  // namespace

const CManifestEntry* CUpdateManifest::Find(const std::string& path) const {
    for (const CManifestEntry& entry : files) {
        if (entry.path == path) {
            return &entry;
        }
    }
    return nullptr;
}

bool IsWellFormedManifestPath(std::string_view path) {
    if (path.empty() || path.size() > kMaxManifestPath || path.front() == '/' ||
        path.back() == '/') {
        return false;
    }
    size_t start = 0;
    while (start < path.size()) {
        const size_t slash = path.find('/', start);
        const size_t end = slash == std::string_view::npos ? path.size() : slash;
        const std::string_view part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") {
            return false;
        }
        start = end + 1;
    }
    for (char c : path) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-' || c == '/';
        if (!plain) {
            return false;
        }
    }
    return true;
}

bool ParseUtcTime(std::string_view text, int64_t* seconds) {
    // YYYY-MM-DDTHH:MM:SSZ
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z') {
        return false;
    }
    const auto field = [&](size_t at, size_t length, int* value) {
        *value = 0;
        for (size_t i = at; i < at + length; ++i) {
            if (text[i] < '0' || text[i] > '9') {
                return false;
            }
            *value = *value * 10 + (text[i] - '0');
        }
        return true;
    };
    struct tm fields {};
    int year = 0;
    int month = 0;
    if (!field(0, 4, &year) || !field(5, 2, &month) || !field(8, 2, &fields.tm_mday) ||
        !field(11, 2, &fields.tm_hour) || !field(14, 2, &fields.tm_min) ||
        !field(17, 2, &fields.tm_sec)) {
        return false;
    }
    if (year < 1970 || month < 1 || month > 12 || fields.tm_mday < 1 || fields.tm_mday > 31 ||
        fields.tm_hour > 23 || fields.tm_min > 59 || fields.tm_sec > 59) {
        return false;
    }
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    const time_t value = timegm(&fields);
    // A day that does not exist (31 April) normalises to another: refused.
    if (value == static_cast<time_t>(-1) || fields.tm_mon != month - 1) {
        return false;
    }
    *seconds = static_cast<int64_t>(value);
    return true;
}

std::string FormatUtcTime(int64_t seconds) {
    const auto value = static_cast<time_t>(seconds);
    struct tm fields {};
    gmtime_r(&value, &fields);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &fields);
    return text;
}

bool ParseManifest(std::string_view text, CUpdateManifest* manifest, std::string* error) {
    const auto fail = [&](const char* why) {
        *error = why;
        return false;
    };
    if (text.size() > kMaxManifestSize) {
        return fail("larger than a manifest may be");
    }
    if (text.empty() || text.back() != '\n') {
        return fail("does not end with a line end");
    }
    std::vector<std::string_view> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (lines.size() < 5) {
        return fail("too few lines");
    }
    for (std::string_view line : lines) {
        for (char c : line) {
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) {
                return fail("a character out of place");
            }
        }
    }
    CUpdateManifest parsed;
    uint64_t format = 0;
    if (lines[0].substr(0, sizeof kManifestMagic) != std::string(kManifestMagic) + " " ||
        !ParseDecimal(lines[0].substr(sizeof kManifestMagic), &format)) {
        return fail("not a manifest");
    }
    if (format != kManifestFormat) {
        return fail("a format this library does not know");
    }
    if (lines[1].substr(0, 8) != "version " || !ParseDecimal(lines[1].substr(8), &parsed.version)) {
        return fail("no usable version");
    }
    if (lines[2].substr(0, 8) != "expires " || !ParseUtcTime(lines[2].substr(8), &parsed.expires)) {
        return fail("no usable expiry");
    }
    if (lines[3].substr(0, 6) != "offer " || lines[3].size() - 6 > kMaxOfferLength) {
        return fail("no usable offer");
    }
    parsed.offer = std::string(lines[3].substr(6));
    if (!ParseEntry(lines[4], "document", &parsed.document)) {
        return fail("no usable document line");
    }
    if (lines.size() - 5 > kMaxManifestFiles) {
        return fail("too many files");
    }
    for (size_t i = 5; i < lines.size(); ++i) {
        CManifestEntry entry;
        if (!ParseEntry(lines[i], "file", &entry)) {
            return fail("an unusable file line");
        }
        if (parsed.Find(entry.path) != nullptr || entry.path == parsed.document.path) {
            return fail("a path listed twice");
        }
        parsed.files.push_back(std::move(entry));
    }
    *manifest = std::move(parsed);
    return true;
}

std::string FormatManifest(const CUpdateManifest& manifest) {
    const auto entry = [](const char* keyword, const CManifestEntry& e) {
        return std::string(keyword) + " " + e.path + " " + std::to_string(e.length) + " " +
               e.sha256 + "\n";
    };
    std::string text = std::string(kManifestMagic) + " " + std::to_string(manifest.format) + "\n";
    text += "version " + std::to_string(manifest.version) + "\n";
    text += "expires " + FormatUtcTime(manifest.expires) + "\n";
    text += "offer " + manifest.offer + "\n";
    text += entry("document", manifest.document);
    for (const CManifestEntry& file : manifest.files) {
        text += entry("file", file);
    }
    return text;
}

std::string Sha256Hex(const void* data, size_t length) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(static_cast<const unsigned char*>(data), length, digest);
    return Hex(digest, sizeof digest);
}

void ReadPublicKeys(std::string_view pem, std::vector<CTrustedKey>* keys) {
    if (pem.empty() || pem.size() > kMaxTrustFileSize) {
        return;
    }
    std::unique_ptr<BIO, BioDeleter> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    while (bio != nullptr) {
        EVP_PKEY* read = PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr);
        if (read == nullptr) {
            break;
        }
        std::shared_ptr<void> key(read, [](void* k) { EVP_PKEY_free(static_cast<EVP_PKEY*>(k)); });
        if (EVP_PKEY_get_id(read) != EVP_PKEY_ED25519) {
            continue;
        }
        std::string id = KeyId(read);
        if (!id.empty()) {
            keys->push_back({std::move(key), std::move(id)});
        }
    }
}

std::string_view BuiltInTrustKeys() {
    return kBuiltInUpdateTrustKeys;
}

CTrustRoots LoadTrustRoots() {
    CTrustRoots roots;
    ReadPublicKeys(BuiltInTrustKeys(), &roots.keys);
    roots.required = !roots.keys.empty();
    const char* file = std::getenv(kTrustFileVariable);
    if (file != nullptr && file[0] != '\0') {
        roots.required = true;
        std::string pem;
        if (ReadBoundedFile(file, kMaxTrustFileSize, &pem)) {
            ReadPublicKeys(pem, &roots.keys);
        }
    }
    return roots;
}

std::string VerifySignatures(const CTrustRoots& roots, std::string_view signatures,
                             std::string_view data) {
    if (signatures.size() > kMaxSignatureDocumentSize) {
        return {};
    }
    size_t lines = 0;
    for (size_t start = 0; start < signatures.size() && lines < kMaxSignatures; ++lines) {
        size_t end = signatures.find('\n', start);
        if (end == std::string_view::npos) {
            end = signatures.size();
        }
        const auto parts = Split(signatures.substr(start, end - start));
        start = end + 1;
        std::vector<unsigned char> signature;
        if (parts.size() != 3 || parts[0] != "ed25519" || !IsLowerHex(parts[1], 16) ||
            !IsLowerHex(parts[2], kEd25519SignatureSize * 2) || !FromHex(parts[2], &signature)) {
            continue;
        }
        for (const CTrustedKey& trusted : roots.keys) {
            if (trusted.id != parts[1]) {
                continue;
            }
            // Ed25519 verifies in one shot, on a context of its own for every check.
            std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
            auto* key = static_cast<EVP_PKEY*>(trusted.key.get());
            if (ctx != nullptr &&
                EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key) == 1 &&
                EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                                 reinterpret_cast<const unsigned char*>(data.data()),
                                 data.size()) == 1) {
                return trusted.id;
            }
        }
    }
    return {};
}

bool GenerateSigningKey(std::string* privatePem, std::string* publicPem) {
    EVP_PKEY* made = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (made == nullptr) {
        return false;
    }
    std::unique_ptr<EVP_PKEY, PkeyDeleter> key(made);
    std::unique_ptr<BIO, BioDeleter> priv(BIO_new(BIO_s_mem()));
    std::unique_ptr<BIO, BioDeleter> pub(BIO_new(BIO_s_mem()));
    if (priv == nullptr || pub == nullptr ||
        PEM_write_bio_PrivateKey(priv.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1 ||
        PEM_write_bio_PUBKEY(pub.get(), key.get()) != 1) {
        return false;
    }
    char* bytes = nullptr;
    long length = BIO_get_mem_data(priv.get(), &bytes);
    privatePem->assign(bytes, static_cast<size_t>(length));
    length = BIO_get_mem_data(pub.get(), &bytes);
    publicPem->assign(bytes, static_cast<size_t>(length));
    return true;
}

bool SignData(std::string_view privatePem, std::string_view data, std::string* line,
              std::string* error) {
    std::unique_ptr<BIO, BioDeleter> bio(
        BIO_new_mem_buf(privatePem.data(), static_cast<int>(privatePem.size())));
    std::unique_ptr<EVP_PKEY, PkeyDeleter> key(
        bio != nullptr ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (key == nullptr || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
        *error = "not an Ed25519 private key";
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
    unsigned char signature[kEd25519SignatureSize];
    size_t length = sizeof signature;
    if (ctx == nullptr ||
        EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), signature, &length,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1) {
        *error = "signing failed";
        return false;
    }
    *line = "ed25519 " + KeyId(key.get()) + " " + Hex(signature, length) + "\n";
    return true;
}

uint64_t ReadAcceptedManifestVersion(const std::string& engineFolder) {
    std::string text;
    uint64_t version = 0;
    if (engineFolder.empty() ||
        !ReadBoundedFile((engineFolder + kAcceptedVersionFileName).c_str(), 64, &text)) {
        return 0;
    }
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return ParseDecimal(text, &version) ? version : 0;
}

bool WriteAcceptedManifestVersion(const std::string& engineFolder, uint64_t version) {
    CReplacingFile file;
    const std::string text = std::to_string(version) + "\n";
    return !engineFolder.empty() && file.Open(engineFolder + kAcceptedVersionFileName, 0644) &&
           fchmod(file.Descriptor(), 0644) == 0 && file.Write(text.data(), text.size()) &&
           file.Commit();
}

bool CompareDottedVersions(const std::string& a, const std::string& b, int* order) {
    const auto parse = [](const std::string& text, std::vector<uint64_t>* parts) {
        if (text.empty() || text.size() > 127) {
            return false;
        }
        size_t start = 0;
        while (start <= text.size()) {
            const size_t dot = text.find('.', start);
            const size_t end = dot == std::string::npos ? text.size() : dot;
            uint64_t value = 0;
            const std::string_view piece(text.data() + start, end - start);
            const auto [stop, error] =
                std::from_chars(piece.data(), piece.data() + piece.size(), value);
            if (piece.empty() || error != std::errc() || stop != piece.data() + piece.size()) {
                return false;
            }
            parts->push_back(value);
            start = end + 1;
        }
        return true;
    };
    std::vector<uint64_t> left;
    std::vector<uint64_t> right;
    if (!parse(a, &left) || !parse(b, &right)) {
        return false;
    }
    // Missing parts count as 0: "3.1" equals "3.1.0".
    const size_t count = std::max(left.size(), right.size());
    left.resize(count, 0);
    right.resize(count, 0);
    *order = left < right ? -1 : left > right ? 1 : 0;
    return true;
}
