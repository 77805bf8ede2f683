#include "support/update_signing.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "update/trust.h"

namespace {

std::string Home() {
    return std::getenv("HOME");
}

}  // namespace

TestSigningKey MakeSigningKey(const std::string& name) {
    TestSigningKey key{Home() + "/" + name + ".key.pem", Home() + "/" + name + ".pub.pem"};
    std::string privatePem;
    std::string publicPem;
    if (GenerateSigningKey(&privatePem, &publicPem)) {
        std::ofstream(key.privateKey, std::ios::trunc) << privatePem;
        chmod(key.privateKey.c_str(), 0600);
        std::ofstream(key.publicKey, std::ios::trunc) << publicPem;
    }
    return key;
}

void TrustUpdateKeys(const std::vector<TestSigningKey>& keys) {
    const std::string trust = Home() + "/update-trust.pem";
    std::ofstream out(trust, std::ios::trunc);
    for (const TestSigningKey& key : keys) {
        std::ifstream in(key.publicKey);
        out << in.rdbuf();
    }
    out.close();
    setenv(kTrustFileVariable, trust.c_str(), 1);
}

void TrustNoUpdateKey() {
    unsetenv(kTrustFileVariable);
}

const TestSigningKey& TestUpdateKey() {
    static const TestSigningKey key = [] {
        TestSigningKey made = MakeSigningKey("update-signing");
        TrustUpdateKeys({made});
        return made;
    }();
    return key;
}
