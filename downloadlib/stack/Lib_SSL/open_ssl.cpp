#include "stack/Lib_SSL/open_ssl.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <vector>

#include "foundation/log.h"

namespace {

constexpr const char* kBioName = "velmor BIO";
constexpr size_t kCertificateNameMax = 255;
constexpr int kReadBufferSize = 0x6000;

// BIO control commands the method answers; every other command answers 0.
constexpr int kBioGetClose = BIO_CTRL_GET_CLOSE;
constexpr int kBioSetClose = BIO_CTRL_SET_CLOSE;
constexpr int kBioFlush = BIO_CTRL_FLUSH;
constexpr int kBioDuplicate = BIO_CTRL_DUP;

struct NamedCertificate {
    std::string name;
    X509* certificate = nullptr;
};

// Built-in (name, PEM) pairs added at start-up. This deployment trusts the system's store and
// ships none.
struct BuiltInCertificate {
    const char* name;
    const char* pem;
};
constexpr std::array<BuiltInCertificate, 0> kBuiltInCertificates{};

struct ProcessTls {
    std::mutex mutex;
    int starts = 0;
    int sessions = 0;  // sessions alive: their BIOs still use the method
    BIO_METHOD* method = nullptr;
    SSL_CTX* context = nullptr;
    std::vector<NamedCertificate> certificates;
};

ProcessTls& Tls() {
    static ProcessTls* tls = new ProcessTls;  // lives to the end: clean-up may run at exit
    return *tls;
}

COpenSSL* SessionOf(BIO* bio) {
    return static_cast<COpenSSL*>(BIO_get_data(bio));
}

int BioCreate(BIO* bio) {
    BIO_set_shutdown(bio, 1);
    BIO_set_init(bio, 1);
    return 1;
}

int BioDestroy(BIO*) {
    return 1;
}

int BioWrite(BIO* bio, const char* data, int length) {
    BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
    COpenSSL* session = SessionOf(bio);
    if (data == nullptr || length < 0 || session == nullptr) {
        ERR_raise(ERR_LIB_BIO, BIO_R_NULL_PARAMETER);
        return -1;
    }
    session->EmitCipher(reinterpret_cast<const uint8_t*>(data), static_cast<uint32_t>(length));
    return length;
}

int BioPuts(BIO* bio, const char* text) {
    return BioWrite(bio, text, text == nullptr ? 0 : static_cast<int>(std::strlen(text)));
}

int BioRead(BIO* bio, char* buffer, int size) {
    BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
    COpenSSL* session = SessionOf(bio);
    const size_t n =
        session == nullptr || size <= 0 ? 0 : session->TakeInput(buffer, static_cast<size_t>(size));
    if (n == 0) {
        // Nothing offered now: OpenSSL is to wait for the next window.
        BIO_set_flags(bio, BIO_FLAGS_READ | BIO_FLAGS_SHOULD_RETRY);
        return -1;
    }
    return static_cast<int>(n);
}

long BioCtrl(BIO* bio, int command, long number, void*) {
    switch (command) {
        case kBioGetClose:
            return BIO_get_shutdown(bio);
        case kBioSetClose:
            BIO_set_shutdown(bio, static_cast<int>(number));
            return 1;
        case kBioFlush:
        case kBioDuplicate:
            return 1;
        default:
            return 0;
    }
}

BIO_METHOD* NewBioMethod() {
    BIO_METHOD* method = BIO_meth_new(BIO_TYPE_NONE, kBioName);
    if (method == nullptr) {
        return nullptr;
    }
    BIO_meth_set_write(method, &BioWrite);
    BIO_meth_set_read(method, &BioRead);
    BIO_meth_set_puts(method, &BioPuts);
    BIO_meth_set_ctrl(method, &BioCtrl);
    BIO_meth_set_create(method, &BioCreate);
    BIO_meth_set_destroy(method, &BioDestroy);
    return method;
}

// The one client context: trust store loaded once, verification required, TLS 1.2 at least.
SSL_CTX* NewClientContext() {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_set_default_verify_paths(context) != 1) {
        WriteLogLine("[TessloadLib] TLS trust store could not be loaded");
        ERR_clear_error();  // every server will then fail verification, which is the safe side
    }
    return context;
}

bool IsAddressLiteral(const char* host) {
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(AF_INET, host, buffer) == 1 || inet_pton(AF_INET6, host, buffer) == 1;
}

// After the last clean-up, once no session is left. A connection may outlive the runtime's
// clean-up (a download still open at shutdown), and its BIOs call the method when freed.
void FreeIfUnused(ProcessTls& tls) {
    if (tls.starts != 0 || tls.sessions != 0) {
        return;
    }
    if (tls.method != nullptr) {
        BIO_meth_free(tls.method);
        tls.method = nullptr;
    }
    if (tls.context != nullptr) {
        SSL_CTX_free(tls.context);
        tls.context = nullptr;
    }
}

}  // namespace

void COpenSSL::ProcessStartup() {
    ProcessTls& tls = Tls();
    std::lock_guard lock(tls.mutex);
    if (tls.starts++ != 0) {
        return;
    }
    OPENSSL_init_ssl(0, nullptr);
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
    if (tls.method == nullptr) {
        tls.method = NewBioMethod();
    }
    if (tls.context == nullptr) {
        tls.context = NewClientContext();
    }
}

void COpenSSL::ProcessCleanup() {
    ProcessTls& tls = Tls();
    std::lock_guard lock(tls.mutex);
    if (tls.starts == 0 || --tls.starts != 0) {
        return;
    }
    for (NamedCertificate& entry : tls.certificates) {
        X509_free(entry.certificate);
    }
    tls.certificates.clear();
    FreeIfUnused(tls);
}

vmResult COpenSSL::AddCertificate(const char* name, const char* pem) {
    if (name == nullptr || pem == nullptr) {
        return CP_FAIL;
    }
    BIO* memory = BIO_new_mem_buf(pem, -1);
    if (memory == nullptr) {
        return CP_FAIL;
    }
    X509* certificate = PEM_read_bio_X509(memory, nullptr, nullptr, nullptr);
    BIO_free(memory);
    if (certificate == nullptr) {
        ERR_clear_error();
        return CP_FAIL;
    }
    ProcessTls& tls = Tls();
    std::lock_guard lock(tls.mutex);
    if (tls.starts == 0) {
        X509_free(certificate);
        return CP_FAIL;
    }
    tls.certificates.push_back(
        {std::string(name, strnlen(name, kCertificateNameMax)), certificate});
    return CP_OK;
}

size_t COpenSSL::CertificateCount() {
    ProcessTls& tls = Tls();
    std::lock_guard lock(tls.mutex);
    return tls.certificates.size();
}

void COpenSSL::LoadBuiltInCertificates() {
    for (const BuiltInCertificate& entry : kBuiltInCertificates) {
        if (vmSucceeded(AddCertificate(entry.name, entry.pem))) {
            WriteLogLineF("[TessloadLib] Add Certificate Ok - %s\n", entry.name);
        }
    }
}

std::unique_ptr<COpenSSL> COpenSSL::Create(const COpenSSLCallbacks& callbacks, const char* host) {
    if (host == nullptr || host[0] == '\0') {
        return nullptr;
    }
    std::unique_ptr<COpenSSL> session(new COpenSSL(callbacks));
    ProcessTls& tls = Tls();
    BIO* input = nullptr;
    BIO* output = nullptr;
    {
        std::lock_guard lock(tls.mutex);
        if (tls.context == nullptr || tls.method == nullptr) {
            return nullptr;
        }
        if (tls.starts == 0) {
            return nullptr;
        }
        session->ssl_ = SSL_new(tls.context);
        if (session->ssl_ == nullptr) {
            ERR_clear_error();
            return nullptr;
        }
        ++tls.sessions;
        input = BIO_new(tls.method);
        output = BIO_new(tls.method);
    }
    if (input == nullptr || output == nullptr) {
        BIO_free(input);
        BIO_free(output);
        ERR_clear_error();
        return nullptr;  // the destructor frees the SSL object
    }
    BIO_set_data(input, session.get());
    BIO_set_data(output, session.get());
    SSL_set_bio(session->ssl_, input, output);

    // As curl checks: a name counts only in the subjectAltName list (a subject CN is never read,
    // also when that list holds only addresses), and a wildcard stands for a whole label.
    SSL_set_hostflags(session->ssl_,
                      X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    bool named = true;
    if (IsAddressLiteral(host)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(session->ssl_), host) == 1;
    } else {
        named = SSL_set_tlsext_host_name(session->ssl_, host) == 1 &&
                SSL_set1_host(session->ssl_, host) == 1;
    }
    if (!named) {
        ERR_clear_error();
        return nullptr;
    }
    return session;
}

COpenSSL::~COpenSSL() {
    if (ssl_ == nullptr) {
        return;
    }
    ProcessTls& tls = Tls();
    std::lock_guard lock(tls.mutex);
    SSL_free(ssl_);  // frees both BIOs
    --tls.sessions;
    FreeIfUnused(tls);
}

size_t COpenSSL::TakeInput(char* buffer, size_t size) {
    if (window_.data == nullptr || window_.taken >= window_.length) {
        return 0;
    }
    const size_t n = std::min<size_t>(size, window_.length - window_.taken);
    std::memcpy(buffer, window_.data + window_.taken, n);
    window_.taken += static_cast<uint32_t>(n);
    return n;
}

void COpenSSL::EmitCipher(const uint8_t* data, uint32_t length) {
    if (callbacks_.cipherOut != nullptr) {
        callbacks_.cipherOut(data, length, callbacks_.user);
    }
}

void COpenSSL::NoteFailure(int sslResult) {
    const int kind = SSL_get_error(ssl_, sslResult);
    const long verify = SSL_get_verify_result(ssl_);
    if (verify != X509_V_OK) {
        failureReason_ = X509_verify_cert_error_string(verify);
    } else if (const unsigned long error = ERR_peek_error(); error != 0) {
        char text[256];
        ERR_error_string_n(error, text, sizeof text);
        failureReason_ = text;
    } else if (kind == SSL_ERROR_ZERO_RETURN) {
        failureReason_ = "closed by the server (close notify)";
    } else {
        failureReason_ = "TLS error " + std::to_string(kind);
    }
    ERR_clear_error();
}

vmResult COpenSSL::StartHandshake() {
    ERR_clear_error();
    const int r = SSL_connect(ssl_);
    if (r >= 1 || SSL_get_error(ssl_, r) == SSL_ERROR_WANT_READ) {
        return CP_OK;
    }
    NoteFailure(r);
    return CP_FAIL;
}

vmResult COpenSSL::HandshakeStep(const uint8_t* data, uint32_t length, uint32_t* consumed) {
    window_ = {data, length, 0};
    ERR_clear_error();
    const int r = SSL_connect(ssl_);
    const bool wantRead = r <= 0 && SSL_get_error(ssl_, r) == SSL_ERROR_WANT_READ;
    if (r <= 0 && !wantRead) {
        NoteFailure(r);
    }
    if (consumed != nullptr) {
        *consumed = window_.taken;
    }
    window_ = {};
    if (r == 1) {
        if (callbacks_.handshakeDone != nullptr) {
            callbacks_.handshakeDone(callbacks_.user);
        }
        return CP_OK;
    }
    return wantRead ? CP_OK : CP_FAIL;
}

vmResult COpenSSL::Read(const uint8_t* data, uint32_t length, uint32_t* consumed) {
    window_ = {data, length, 0};
    uint8_t plain[kReadBufferSize];
    ERR_clear_error();
    const int n = SSL_read(ssl_, plain, sizeof plain);
    const bool wantRead = n < 1 && SSL_get_error(ssl_, n) == SSL_ERROR_WANT_READ;
    if (n < 1 && !wantRead) {
        NoteFailure(n);
    }
    if (consumed != nullptr) {
        *consumed = window_.taken;
    }
    window_ = {};
    if (n >= 1) {
        if (callbacks_.plainData != nullptr) {
            callbacks_.plainData(plain, static_cast<uint32_t>(n), callbacks_.user);
        }
        return CP_OK;
    }
    return wantRead ? CP_OK : CP_FAIL;
}

vmResult COpenSSL::Write(const void* data, uint32_t length) {
    if (length == 0) {
        return CP_OK;
    }
    if (data == nullptr || length > static_cast<uint32_t>(INT32_MAX)) {
        return CP_FAIL;
    }
    ERR_clear_error();
    const int n = SSL_write(ssl_, data, static_cast<int>(length));
    if (n == static_cast<int>(length)) {
        return CP_OK;
    }
    NoteFailure(n);
    return CP_FAIL;
}
