// The flat interface's check of a game's file list and its files against a signed manifest. The
// library owns the trust roots; the hosts hand it the bytes they fetched and the files they got.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "downloadlib.h"
#include "foundation/clock.h"
#include "update/trust.h"

namespace {

struct MdCtxDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

class Reason {
  public:
    Reason(char* buffer, int32_t size) : buffer_(buffer), size_(size) { Set(""); }
    int32_t Fail(const std::string& text) {
        Set(text);
        return DL_E_FAIL;
    }
    int32_t Untrusted() {
        Set("no key is trusted: the manifest cannot be verified");
        return DL_E_UNTRUSTED;
    }

  private:
    void Set(const std::string& text) {
        if (buffer_ == nullptr || size_ <= 0) {
            return;
        }
        const size_t length = std::min(text.size(), static_cast<size_t>(size_) - 1);
        std::memcpy(buffer_, text.data(), length);
        buffer_[length] = '\0';
    }
    char* buffer_;
    int32_t size_;
};

bool Usable(const DataBuffer* buffer, size_t limit) {
    return buffer != nullptr && buffer->data != nullptr && buffer->size > 0 &&
           static_cast<uint64_t>(buffer->size) <= limit;
}

std::string_view View(const DataBuffer* buffer) {
    return {static_cast<const char*>(buffer->data), static_cast<size_t>(buffer->size)};
}

// Signature first, over the raw bytes; then the form; then the expiry on the library's clock.
int32_t CheckManifest(const DataBuffer* manifest, const DataBuffer* signatures,
                      CUpdateManifest* parsed, Reason& reason) {
    const CTrustRoots roots = LoadTrustRoots();
    if (!roots.required && roots.keys.empty()) {
        return reason.Untrusted();
    }
    if (!Usable(manifest, kMaxManifestSize)) {
        return reason.Fail("the manifest is empty or larger than " +
                           std::to_string(kMaxManifestSize) + " bytes");
    }
    if (!Usable(signatures, kMaxSignatureDocumentSize)) {
        return reason.Fail("the manifest's signature document is empty or larger than " +
                           std::to_string(kMaxSignatureDocumentSize) + " bytes");
    }
    if (VerifySignatures(roots, View(signatures), View(manifest)).empty()) {
        return reason.Fail("the manifest carries no signature by a trusted key (" +
                           std::to_string(roots.keys.size()) + " trusted)");
    }
    std::string error;
    if (!ParseManifest(View(manifest), parsed, &error)) {
        return reason.Fail("the manifest is unusable: " + error);
    }
    if (parsed->expires <= static_cast<int64_t>(cpGetSeconds())) {
        return reason.Fail("the manifest expired at " + FormatUtcTime(parsed->expires));
    }
    return DL_OK;
}

// SHA-256 and length of the regular file at path, reading at most limit bytes.
bool HashFile(const char* path, uint64_t limit, uint64_t* length, std::string* sha256,
              std::string* error) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        *error = std::string("cannot be opened (") + std::strerror(errno) + ")";
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        *error = "is not a regular file";
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
    bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
    *length = 0;
    char buffer[64 * 1024];
    while (ok && *length <= limit) {
        const uint64_t want = std::min<uint64_t>(sizeof buffer, limit + 1 - *length);
        const ssize_t n = read(fd, buffer, static_cast<size_t>(want));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        *length += static_cast<uint64_t>(n);
        ok = EVP_DigestUpdate(ctx.get(), buffer, static_cast<size_t>(n)) == 1;
    }
    close(fd);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!ok || EVP_DigestFinal_ex(ctx.get(), digest, &size) != 1) {
        *error = "cannot be read";
        return false;
    }
    static const char digits[] = "0123456789abcdef";
    sha256->clear();
    for (unsigned int i = 0; i < size; ++i) {
        *sha256 += digits[digest[i] >> 4];
        *sha256 += digits[digest[i] & 15];
    }
    return true;
}

template <class F>
int32_t Guarded(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return DL_E_FAIL;
    }
}

}  // namespace

int32_t DownloadLib_VerifyFileList(const DataBuffer* list, const DataBuffer* manifest,
                                   const DataBuffer* signatures, char* reason, int32_t reasonSize) {
    return Guarded([&]() -> int32_t {
        Reason why(reason, reasonSize);
        CUpdateManifest parsed;
        if (const int32_t result = CheckManifest(manifest, signatures, &parsed, why);
            result != DL_OK) {
            return result;
        }
        if (list == nullptr || list->data == nullptr || list->size <= 0) {
            return why.Fail("the file list is empty");
        }
        if (static_cast<uint64_t>(list->size) != parsed.document.length ||
            Sha256Hex(list->data, static_cast<size_t>(list->size)) != parsed.document.sha256) {
            return why.Fail("the file list's bytes are not the ones its manifest lists (" +
                            std::to_string(list->size) + " bytes, the manifest lists " +
                            std::to_string(parsed.document.length) + ")");
        }
        return DL_OK;
    });
}

int32_t DownloadLib_VerifyListedFile(const DataBuffer* manifest, const DataBuffer* signatures,
                                     const char* name, const char* path, char* reason,
                                     int32_t reasonSize) {
    return Guarded([&]() -> int32_t {
        Reason why(reason, reasonSize);
        CUpdateManifest parsed;
        if (const int32_t result = CheckManifest(manifest, signatures, &parsed, why);
            result != DL_OK) {
            return result;
        }
        const std::string file = name != nullptr ? name : "";
        const CManifestEntry* entry = parsed.Find(file);
        if (entry == nullptr) {
            return why.Fail(file + " is not listed in the manifest");
        }
        if (path == nullptr) {
            return DL_OK;
        }
        uint64_t length = 0;
        std::string sha256;
        std::string error;
        if (!HashFile(path, entry->length, &length, &sha256, &error)) {
            return why.Fail(std::string(path) + " " + error);
        }
        if (length != entry->length) {
            const std::string listed = std::to_string(entry->length);
            return why.Fail(
                std::string(path) + ": " +
                (length > entry->length
                     ? "longer than the " + listed + " bytes the manifest lists"
                     : std::to_string(length) + " bytes where the manifest lists " + listed));
        }
        if (sha256 != entry->sha256) {
            return why.Fail(std::string(path) + ": its SHA-256 is not the one the manifest lists");
        }
        return DL_OK;
    });
}
