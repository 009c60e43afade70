#include "TlsTestFiles.h"

#include <fstream>
#include <string>

namespace testsupport {

namespace {

bool run(const std::string& command) {
    return runCommand(command + " >/dev/null 2>&1").exitStatus == 0;
}

} // namespace

TlsTestFiles::TlsTestFiles() {
    auto q = [](const std::filesystem::path& p) { return shellQuote(p.string()); };
    auto key = [&](const std::filesystem::path& p) {
        return run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + q(p));
    };
    // A leaf signed by the CA with the given subject alternative names.
    auto signedLeaf = [&](const std::string& name, const std::string& cn,
                          const std::string& altNames, const char* usage) {
        std::filesystem::path ext = dir_.file(name + ".ext");
        std::ofstream(ext) << "subjectAltName=" << altNames << "\nextendedKeyUsage=" << usage
                           << "\nbasicConstraints=CA:FALSE\n";
        std::filesystem::path csr = dir_.file(name + ".csr");
        return key(dir_.file(name + ".key")) &&
               run("openssl req -new -key " + q(dir_.file(name + ".key")) + " -subj /CN=" + cn +
                   " -out " + q(csr)) &&
               run("openssl x509 -req -in " + q(csr) + " -CA " + q(CaCert()) + " -CAkey " +
                   q(dir_.file("ca.key")) + " -CAcreateserial -days 2 -extfile " + q(ext) +
                   " -out " + q(dir_.file(name + ".pem")));
    };
    ok_ = key(dir_.file("ca.key")) &&
          run("openssl req -x509 -new -key " + q(dir_.file("ca.key")) +
              " -subj /CN=VeskaroTestCA -days 2 -addext basicConstraints=critical,CA:TRUE"
              " -addext keyUsage=critical,keyCertSign,cRLSign -out " +
              q(CaCert())) &&
          signedLeaf("server", "127.0.0.1", "IP:127.0.0.1,IP:::1,DNS:localhost", "serverAuth") &&
          signedLeaf("wrong", "evil.example", "DNS:evil.example", "serverAuth") &&
          signedLeaf("client", "veskaro-client", "DNS:veskaro-client", "clientAuth") &&
          key(SelfSignedKey()) &&
          run("openssl req -x509 -new -key " + q(SelfSignedKey()) +
              " -subj /CN=127.0.0.1 -days 2 -addext subjectAltName=IP:127.0.0.1 -out " +
              q(SelfSignedCert()));
}

} // namespace testsupport
