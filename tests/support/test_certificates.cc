#include "tests/support/test_certificates.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace quarn::testing {
namespace {

constexpr long kValidFromSeconds = -3600;
constexpr long kValidForSeconds = 30L * 24 * 3600;

struct Free {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(BIGNUM* p) const { BN_free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, Free>;

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificates: ") + what + " failed");
}

Owned<EVP_PKEY> makeKey() {
  Owned<EVP_PKEY> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  check(key != nullptr, "key generation");
  return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  Owned<X509_EXTENSION> extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
  check(extension != nullptr, "certificate extension");
  check(X509_add_ext(certificate, extension.get(), -1) == 1, "adding an extension");
}

// A certificate for `key` named `commonName`, before its extensions and
// signature.
Owned<X509> makeCertificate(EVP_PKEY* key, const std::string& commonName) {
  Owned<X509> certificate(X509_new());
  check(certificate != nullptr, "X509_new");
  check(X509_set_version(certificate.get(), 2) == 1, "X509_set_version");

  Owned<BIGNUM> serial(BN_new());
  check(serial != nullptr && BN_rand(serial.get(), 120, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1,
        "serial number");
  check(BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate.get())) != nullptr,
        "serial number");

  check(X509_gmtime_adj(X509_getm_notBefore(certificate.get()), kValidFromSeconds) != nullptr,
        "validity");
  check(X509_gmtime_adj(X509_getm_notAfter(certificate.get()), kValidForSeconds) != nullptr,
        "validity");

  X509_NAME* name = X509_get_subject_name(certificate.get());
  check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                   -1, 0) == 1,
        "subject name");
  check(X509_set_pubkey(certificate.get(), key) == 1, "public key");
  return certificate;
}

std::string toPem(X509* certificate) {
  Owned<BIO> bio(BIO_new(BIO_s_mem()));
  check(bio != nullptr && PEM_write_bio_X509(bio.get(), certificate) == 1, "PEM encoding");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

std::string toPem(EVP_PKEY* key) {
  Owned<BIO> bio(BIO_new(BIO_s_mem()));
  check(bio != nullptr &&
            PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "PEM encoding");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

}  // namespace

TestCertificates makeTestCertificates(const CertificateOptions& options) {
  auto caKey = makeKey();
  auto ca = makeCertificate(caKey.get(), "quarn test CA");
  check(X509_set_issuer_name(ca.get(), X509_get_subject_name(ca.get())) == 1, "issuer name");
  addExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE");
  addExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  addExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash");
  check(X509_sign(ca.get(), caKey.get(), EVP_sha256()) > 0, "signing the CA");

  auto serverKey = makeKey();
  auto server = makeCertificate(serverKey.get(), options.commonName);
  check(X509_set_issuer_name(server.get(), X509_get_subject_name(ca.get())) == 1, "issuer name");
  addExtension(server.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE");
  addExtension(server.get(), ca.get(), NID_key_usage, "critical,digitalSignature");
  addExtension(server.get(), ca.get(), NID_ext_key_usage, "serverAuth");
  addExtension(server.get(), ca.get(), NID_subject_key_identifier, "hash");
  addExtension(server.get(), ca.get(), NID_authority_key_identifier, "keyid:always");
  std::string alternativeNames;
  for (const auto& name : options.dnsNames) {
    alternativeNames += (alternativeNames.empty() ? "DNS:" : ",DNS:") + name;
  }
  for (const auto& address : options.ipAddresses) {
    alternativeNames += (alternativeNames.empty() ? "IP:" : ",IP:") + address;
  }
  if (!alternativeNames.empty()) {
    addExtension(server.get(), ca.get(), NID_subject_alt_name, alternativeNames);
  }
  check(X509_sign(server.get(), caKey.get(), EVP_sha256()) > 0, "signing the server certificate");

  return TestCertificates{toPem(ca.get()), toPem(server.get()), toPem(serverKey.get())};
}

}  // namespace quarn::testing
