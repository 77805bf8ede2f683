#include "support/test_certificates.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;

Key NewKey() {
    return Key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
}

bool AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension == nullptr) {
        return false;
    }
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// A certificate for key, signed by issuerKey (issuer null: self-signed). Validity in days from
// now; names a subjectAltName list ("" for none).
Certificate Issue(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey,
                  long fromDays, long toDays, bool ca, const char* names, long serial) {
    Certificate certificate(X509_new(), &X509_free);
    X509* c = certificate.get();
    X509_set_version(c, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(c), serial);
    X509_gmtime_adj(X509_getm_notBefore(c), fromDays * 86400);
    X509_gmtime_adj(X509_getm_notAfter(c), toDays * 86400);
    X509_set_pubkey(c, key);
    X509_NAME* name = X509_get_subject_name(c);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509_set_issuer_name(c, issuer != nullptr ? X509_get_subject_name(issuer) : name);
    X509* signer = issuer != nullptr ? issuer : c;
    bool ok = AddExtension(c, signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
    ok = ok && AddExtension(c, signer, NID_subject_key_identifier, "hash");
    ok = ok && AddExtension(c, signer, NID_authority_key_identifier, "keyid:always");
    if (ca) {
        ok = ok && AddExtension(c, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        ok = ok && AddExtension(c, signer, NID_key_usage, "critical,digitalSignature");
        ok = ok && AddExtension(c, signer, NID_ext_key_usage, "serverAuth");
    }
    if (names[0] != '\0') {
        ok = ok && AddExtension(c, signer, NID_subject_alt_name, names);
    }
    ok = ok && X509_sign(c, issuerKey != nullptr ? issuerKey : key, EVP_sha256()) > 0;
    if (!ok) {
        certificate.reset();
    }
    return certificate;
}

bool WritePem(const std::string& path, X509* certificate, EVP_PKEY* key) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        return false;
    }
    const bool ok = certificate != nullptr ? PEM_write_X509(file, certificate) == 1
                                           : PEM_write_PrivateKey(file, key, nullptr, nullptr, 0,
                                                                  nullptr, nullptr) == 1;
    return std::fclose(file) == 0 && ok;
}

}  // namespace

TestPki MakeTestPki(const std::string& folder) {
    std::filesystem::create_directories(folder);
    TestPki pki;
    const Key caKey = NewKey();
    EXPECT_NE(caKey, nullptr);
    if (caKey == nullptr) {
        return pki;
    }
    const Certificate ca = Issue(caKey.get(), "TEV Test CA", nullptr, nullptr, -1, 30, true, "", 1);
    EXPECT_NE(ca, nullptr);
    if (ca == nullptr) {
        return pki;
    }
    pki.caFile = folder + "/ca.pem";
    EXPECT_TRUE(WritePem(pki.caFile, ca.get(), nullptr));

    const auto make = [&](const char* name, const char* names, X509* issuer, EVP_PKEY* issuerKey,
                          long fromDays, long toDays, long serial) {
        TestCertificate out;
        const Key key = NewKey();
        const Certificate certificate =
            Issue(key.get(), name, issuer, issuerKey, fromDays, toDays, false, names, serial);
        EXPECT_NE(certificate, nullptr) << name;
        if (certificate == nullptr) {
            return out;
        }
        out.certificateFile = folder + "/" + std::to_string(serial) + ".pem";
        out.keyFile = folder + "/" + std::to_string(serial) + ".key";
        EXPECT_TRUE(WritePem(out.certificateFile, certificate.get(), nullptr));
        EXPECT_TRUE(WritePem(out.keyFile, nullptr, key.get()));
        return out;
    };
    const char* loopback = "DNS:localhost,IP:127.0.0.1";
    pki.server = make("localhost", loopback, ca.get(), caKey.get(), -1, 30, 2);
    pki.expired = make("localhost", loopback, ca.get(), caKey.get(), -3, -1, 3);
    pki.otherName = make("other.invalid", "DNS:other.invalid", ca.get(), caKey.get(), -1, 30, 4);
    pki.selfSigned = make("localhost", loopback, nullptr, nullptr, -1, 30, 5);
    pki.commonNameOnly = make("localhost", "", ca.get(), caKey.get(), -1, 30, 6);
    pki.addressOnlySan = make("localhost", "IP:127.0.0.1", ca.get(), caKey.get(), -1, 30, 7);
    pki.partialWildcard =
        make("g*.example.test", "DNS:g*.example.test", ca.get(), caKey.get(), -1, 30, 8);
    pki.wildcard = make("*.example.test", "DNS:*.example.test", ca.get(), caKey.get(), -1, 30, 9);
    return pki;
}

void TrustTestCa(const TestPki& pki) {
    setenv("SSL_CERT_FILE", pki.caFile.c_str(), 1);
    // An empty folder, so nothing of the machine's own store is trusted in the tests either.
    const std::string none = std::filesystem::path(pki.caFile).parent_path() / "no-certificates";
    std::filesystem::create_directories(none);
    setenv("SSL_CERT_DIR", none.c_str(), 1);
}
