// Certificates made at run time for the TLS tests: a private CA and server certificates signed by
// it (valid for 127.0.0.1 and "localhost", expired, for another name) plus a self-signed one.
// Everything is written as PEM files into a folder of the test.
#pragma once

#include <string>

struct TestCertificate {
    std::string certificateFile;
    std::string keyFile;
};

struct TestPki {
    std::string caFile;          // the CA certificate: what SSL_CERT_FILE points at
    TestCertificate server;      // 127.0.0.1 and localhost, valid now
    TestCertificate expired;     // 127.0.0.1 and localhost, expired yesterday
    TestCertificate otherName;   // other.invalid only
    TestCertificate selfSigned;  // 127.0.0.1 and localhost, issued by itself
    // Names a careful client does not accept, all issued by the CA:
    TestCertificate commonNameOnly;   // CN localhost and no subjectAltName
    TestCertificate addressOnlySan;   // CN localhost, subjectAltName 127.0.0.1 only
    TestCertificate partialWildcard;  // g*.example.test
    TestCertificate wildcard;         // *.example.test (accepted for one whole label)
};

// Makes the CA and the certificates in folder (created if missing). Fails the test on error.
TestPki MakeTestPki(const std::string& folder);

// Points the library's trust store at the test CA: call before the network runtime starts.
void TrustTestCa(const TestPki& pki);
