// COpenSSL: one TLS client session driven without a socket. OpenSSL reads and writes through a
// BIO method of our own ("velmor BIO"): what it writes goes at once to a callback (the layer
// queues it on the connection), and what it reads comes from a window of received bytes that
// the caller offers for the length of one call, so cipher input is never copied by us.
//
// The server is verified: every session uses one client context built at start-up with the
// system's trust store (SSL_CERT_FILE and SSL_CERT_DIR are honoured), peer verification
// required, TLS 1.2 at least, and the certificate checked against the host name or IP address
// the session was created for (SNI carries the name; an IP address literal sends none). Names
// are taken from the subjectAltName list only, and a wildcard matches only a whole label.
//
// Runs on the worker thread. Process start-up and clean-up are counted, so runtimes that start
// and stop one after another (tests) each get a working state.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/result.h"

struct COpenSSLCallbacks {
    void* user = nullptr;
    // Cipher bytes OpenSSL wants sent, in order.
    void (*cipherOut)(const uint8_t* data, uint32_t length, void* user) = nullptr;
    void (*handshakeDone)(void* user) = nullptr;
    // Decrypted bytes, at most one record's worth per call.
    void (*plainData)(const uint8_t* data, uint32_t length, void* user) = nullptr;
};

class COpenSSL {
  public:
    // A client session for host (a name or an IPv4/IPv6 literal). Null when the process TLS
    // state is not started, when OpenSSL cannot build the session or when host is empty.
    static std::unique_ptr<COpenSSL> Create(const COpenSSLCallbacks& callbacks, const char* host);
    ~COpenSSL();
    COpenSSL(const COpenSSL&) = delete;
    COpenSSL& operator=(const COpenSSL&) = delete;

    // Sends the ClientHello. CP_OK when the handshake is under way (or, unexpectedly, done).
    vmResult StartHandshake();
    // Feeds cipher bytes to the handshake; *consumed is what OpenSSL took from them. Calls
    // handshakeDone when it completes. CP_FAIL on a handshake error (see FailureReason).
    vmResult HandshakeStep(const uint8_t* data, uint32_t length, uint32_t* consumed);
    // Decrypts at most one record from the bytes; plaintext goes to plainData. CP_FAIL on an
    // error, including the server's close-notify.
    vmResult Read(const uint8_t* data, uint32_t length, uint32_t* consumed);
    // Encrypts all the bytes; CP_FAIL unless OpenSSL took every one.
    vmResult Write(const void* data, uint32_t length);

    // Why the last failed call failed, in OpenSSL's words: the verification result when the
    // certificate was refused, else the first queued OpenSSL error, else the SSL error kind.
    const std::string& FailureReason() const { return failureReason_; }

    // Parses a PEM certificate and keeps it in the process-wide named list. CP_FAIL for text
    // that holds no certificate or when the TLS state is not started.
    static vmResult AddCertificate(const char* name, const char* pem);
    // The names in the list, in the order added (tests).
    static size_t CertificateCount();

    // Process start-up (library initialisation, the BIO method, the shared client context) and
    // clean-up (the certificate list, the BIO method, the context). Counted: the state lives
    // from the first start-up to the matching last clean-up.
    static void ProcessStartup();
    static void ProcessCleanup();
    // Adds the built-in certificates and logs "Add Certificate Ok - <name>" for each.
    static void LoadBuiltInCertificates();

    // The BIO callbacks reach the session through these.
    size_t TakeInput(char* buffer, size_t size);
    void EmitCipher(const uint8_t* data, uint32_t length);

  private:
    explicit COpenSSL(const COpenSSLCallbacks& callbacks) : callbacks_(callbacks) {}
    void NoteFailure(int sslResult);

    struct InputWindow {
        const uint8_t* data = nullptr;
        uint32_t length = 0;
        uint32_t taken = 0;
    };

    COpenSSLCallbacks callbacks_;
    InputWindow window_;
    SSL* ssl_ = nullptr;
    std::string failureReason_;
};
