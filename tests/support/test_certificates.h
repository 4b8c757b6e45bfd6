// Test certificates, made fresh at run time: a certificate authority and a
// server certificate it signed, for the loopback HTTPS server.
//
// Nothing is read from or written to disk here; callers get PEM texts. Keys are
// EC P-256, signatures SHA-256, valid from an hour ago for 30 days. Failure of
// OpenSSL (which does not happen short of memory exhaustion) throws
// std::runtime_error: these are test fixtures, and the test then fails with
// the message.
#pragma once

#include <string>
#include <vector>

namespace quarn::testing {

struct CertificateOptions {
  // Subject alternative names of the server certificate. A client checks the
  // host of its URL against these.
  std::vector<std::string> dnsNames = {"localhost"};
  std::vector<std::string> ipAddresses = {"127.0.0.1"};
  std::string commonName = "quarn test server";
};

struct TestCertificates {
  std::string caCertificatePem;      // the authority a client must trust
  std::string serverCertificatePem;  // signed by the authority
  std::string serverKeyPem;          // PKCS#8, unencrypted
};

TestCertificates makeTestCertificates(const CertificateOptions& options = {});

}  // namespace quarn::testing
