// Update signing for tests: a key of the test's own, trusted by the library through the trust
// variable (set in this process, so hosts and engines it starts see it too). Tests, benchmarks and
// the demo publish signed; the library then installs only what such a key signed.
#pragma once

#include <string>
#include <vector>

struct TestSigningKey {
    std::string privateKey;  // path of the PEM private key
    std::string publicKey;   // path of the PEM public key
};

// The test's signing key, made under $HOME on first use and trusted from then on.
const TestSigningKey& TestUpdateKey();
// A further key under $HOME/<name>, not trusted until TrustUpdateKeys names it.
TestSigningKey MakeSigningKey(const std::string& name);
// Trusts exactly these keys: writes them to one trust file and points the variable at it.
void TrustUpdateKeys(const std::vector<TestSigningKey>& keys);
// Trusts no key at all, as a build without keys run without the variable.
void TrustNoUpdateKey();
