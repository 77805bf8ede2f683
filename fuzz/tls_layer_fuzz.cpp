// The TLS layer takes whatever a server sends, during the handshake and after it. The layer sits
// in a real context under the HTTP client layer; the bytes are offered in pieces, as a socket
// would deliver them, with what was not consumed offered again.
//
// Input: byte 0 chooses the phase (even: the fuzz bytes answer the ClientHello; odd: a real
// handshake with an in-memory server first), byte 1 the piece size, the rest the server's bytes.
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "http/http_client_layer.h"
#include "stack/Lib_SSL/open_ssl.h"
#include "stack/qos_context.h"
#include "stack/secure_socket_layer.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

// A self-signed certificate for "localhost", trusted through SSL_CERT_FILE.
SSL_CTX* MakeServer() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -86400);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 86400 * 30);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* names =
        X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, "DNS:localhost");
    X509_add_ext(certificate, names, -1);
    X509_EXTENSION_free(names);
    X509_sign(certificate, key, EVP_sha256());

    // The library's log goes to a folder of this run, not to the user's.
    static char home[] = "/tmp/tev-tls-fuzz-home-XXXXXX";
    Check(mkdtemp(home) != nullptr);
    setenv("HOME", home, 1);
    setenv("XDG_DATA_HOME", home, 1);
    std::atexit([] { std::filesystem::remove_all(home); });

    char path[] = "/tmp/tev-tls-fuzz-XXXXXX";
    const int fd = mkstemp(path);
    Check(fd >= 0);
    FILE* file = fdopen(fd, "w");
    PEM_write_X509(file, certificate);
    fclose(file);
    setenv("SSL_CERT_FILE", path, 1);
    setenv("SSL_CERT_DIR", "/nonexistent", 1);

    SSL_CTX* server = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(server, certificate);
    SSL_CTX_use_PrivateKey(server, key);
    X509_free(certificate);
    EVP_PKEY_free(key);
    COpenSSL::ProcessStartup();
    unlink(path);  // the trust store was read at start-up
    vmRegisterHttpClasses();
    return server;
}

// Offers bytes to the layer as the context does: all that is held, again after each piece.
class Feeder {
  public:
    explicit Feeder(nwIQoSNetStack* layer) : layer_(layer) {}
    void Offer(const uint8_t* data, size_t size) {
        held_.append(reinterpret_cast<const char*>(data), size);
        const int32_t consumed = layer_->OnData(reinterpret_cast<const uint8_t*>(held_.data()),
                                                static_cast<uint32_t>(held_.size()));
        Check(consumed <= static_cast<int32_t>(held_.size()));
        if (consumed < 0) {
            held_.clear();
            return;
        }
        held_.erase(0, static_cast<size_t>(consumed));
    }

  private:
    nwIQoSNetStack* layer_;
    std::string held_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static SSL_CTX* server = MakeServer();
    if (size < 2) {
        return 0;
    }
    const bool handshakeFirst = (data[0] & 1) != 0;
    const size_t piece = data[1] == 0 ? size : data[1];
    data += 2;
    size -= 2;

    vmSmartPtr<vmIQoSContext> context;
    Check(context.CreateInstance(CLSID_cpCQoSContext));
    Check(vmSucceeded(context->AddLayer(CLSID_nwCHttpClientExLayer, false)));
    Check(vmSucceeded(context->AddLayer(CLSID_nwCSecureSocketClientLayer, true)));
    context->SetHostName("localhost");
    vmIUnknown* object = nullptr;
    context->GetLayer(CLSID_nwCSecureSocketClientLayer, &object);
    void* face = nullptr;
    object->QueryInterface(IID_nwIQoSNetStack, &face);
    auto* layer = static_cast<nwCSecureSocketClientLayer*>(static_cast<nwIQoSNetStack*>(face));
    vmIUnknown* top = nullptr;
    context->GetLayer(CLSID_nwCHttpClientExLayer, &top);
    dynamic_cast<vmIHttpClientExLayer*>(top)->SendGET();  // queued until the handshake ends
    Check(layer->OnConnected());
    Feeder feeder(layer);

    if (handshakeFirst) {
        // Without a socket the context keeps what the layer sends: the ClientHello.
        const uint8_t* hello = nullptr;
        uint32_t helloLength = 0;
        context->GetSendBlock(&hello, &helloLength);
        SSL* ssl = SSL_new(server);
        BIO* in = BIO_new(BIO_s_mem());
        BIO* out = BIO_new(BIO_s_mem());
        SSL_set_bio(ssl, in, out);
        SSL_set_accept_state(ssl);
        BIO_write(in, hello, static_cast<int>(helloLength));
        SSL_do_handshake(ssl);
        char buffer[16384];
        int n = 0;
        while ((n = BIO_read(out, buffer, sizeof buffer)) > 0) {
            feeder.Offer(reinterpret_cast<const uint8_t*>(buffer), static_cast<size_t>(n));
        }
        SSL_free(ssl);
        Check(layer->HandshakeComplete());
    }
    for (size_t at = 0; at < size; at += piece) {
        feeder.Offer(data + at, size - at < piece ? size - at : piece);
    }
    context->Close();
    return 0;
}
