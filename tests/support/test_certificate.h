#pragma once

#include <filesystem>

namespace zantrel::test_support {

// A self-signed certificate for 127.0.0.1 and localhost, made fresh with OpenSSL, and its key,
// written as PEM files into `dir`. The certificate doubles as the CA file that trusts it.
struct TestCertificate {
  std::filesystem::path cert_file;
  std::filesystem::path key_file;
};

TestCertificate make_test_certificate(const std::filesystem::path& dir);

}  // namespace zantrel::test_support
