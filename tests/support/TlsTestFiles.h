#pragma once
// Certificates made for a test by the openssl command: a CA, server certificates it signed
// (one for the loopback addresses, one for another name), a self-signed one for the loopback
// addresses, and a client certificate for mutual TLS. PEM files in a temporary directory.

#include "TestSupport.h"

#include <filesystem>

namespace testsupport {

class TlsTestFiles {
public:
    TlsTestFiles();
    bool Ok() const { return ok_; }

    std::filesystem::path CaCert() const { return dir_.file("ca.pem"); }
    // Names 127.0.0.1, ::1 and localhost; signed by the CA.
    std::filesystem::path ServerCert() const { return dir_.file("server.pem"); }
    std::filesystem::path ServerKey() const { return dir_.file("server.key"); }
    // Names evil.example only; signed by the CA.
    std::filesystem::path WrongNameCert() const { return dir_.file("wrong.pem"); }
    std::filesystem::path WrongNameKey() const { return dir_.file("wrong.key"); }
    // Names 127.0.0.1, signed by itself.
    std::filesystem::path SelfSignedCert() const { return dir_.file("self.pem"); }
    std::filesystem::path SelfSignedKey() const { return dir_.file("self.key"); }
    // Signed by the CA, for a server that requires a client certificate.
    std::filesystem::path ClientCert() const { return dir_.file("client.pem"); }
    std::filesystem::path ClientKey() const { return dir_.file("client.key"); }

private:
    TempDir dir_;
    bool ok_ = false;
};

} // namespace testsupport
