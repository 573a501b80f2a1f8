#include "tests/support/test_certificate.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace zantrel::test_support {
namespace {

struct Deleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(X509* cert) const { X509_free(cert); }
  void operator()(X509_EXTENSION* ext) const { X509_EXTENSION_free(ext); }
  void operator()(std::FILE* file) const { std::fclose(file); }
};
template <class T>
using Owned = std::unique_ptr<T, Deleter>;

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("making the test certificate: ") + what);
}

void add_extension(X509* cert, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
  Owned<X509_EXTENSION> extension(
      X509V3_EXT_conf_nid(nullptr, &context, nid, const_cast<char*>(value)));
  check(extension != nullptr && X509_add_ext(cert, extension.get(), -1) == 1, "extension");
}

Owned<std::FILE> open_for_writing(const std::filesystem::path& path) {
  Owned<std::FILE> file(std::fopen(path.c_str(), "wb"));
  check(file != nullptr, "opening a PEM file");
  return file;
}

}  // namespace

TestCertificate make_test_certificate(const std::filesystem::path& dir) {
  Owned<EVP_PKEY> key(EVP_EC_gen("P-256"));
  check(key != nullptr, "key");
  Owned<X509> cert(X509_new());
  check(cert != nullptr, "certificate");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24L * 3600);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509_set_pubkey(cert.get(), key.get());
  add_extension(cert.get(), NID_basic_constraints, "critical,CA:TRUE");
  add_extension(cert.get(), NID_key_usage, "critical,digitalSignature,keyCertSign");
  add_extension(cert.get(), NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
  check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "signature");

  TestCertificate files{dir / "test-cert.pem", dir / "test-key.pem"};
  check(PEM_write_X509(open_for_writing(files.cert_file).get(), cert.get()) == 1, "cert PEM");
  check(PEM_write_PrivateKey(open_for_writing(files.key_file).get(), key.get(), nullptr, nullptr, 0,
                             nullptr, nullptr) == 1,
        "key PEM");
  return files;
}

}  // namespace zantrel::test_support
