// HTTPS against the emulator with a certificate made for this test: refused unless the host
// names its CA file, whatever the environment says.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/canary.h"
#include "tests/support/run_process.h"
#include "tests/support/test_certificate.h"
#include "tools/emulator/emulator.h"
#include "zantrel/host/config.h"
#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/host/result/error_code.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"
#include "zantrel/testkit/capturing_logger.h"

namespace zantrel::test_support {
namespace {

class Tls : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("zantrel-tls-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    certificate_ = make_test_certificate(dir_);
    emulator::EmulatorOptions options;
    options.tls_cert_file = certificate_.cert_file;
    options.tls_key_file = certificate_.key_file;
    emulator_ = std::make_unique<emulator::Emulator>(options);
    emulator_->start();
  }
  void TearDown() override {
    config::set_http_client(nullptr);
    emulator_.reset();
    std::filesystem::remove_all(dir_);
  }

  host::ServiceResult gemini() const {
    return checked(image::tavelin::TavelinaClient(emulator_->base_url(), key_, {.logger = log_})
                       .start("a lake", "1:1"));
  }
  host::ServiceResult images() const {
    return checked(image::corvane::CorvaneClient(emulator_->base_url(), key_, {.logger = log_})
                       .start("a lake"));
  }
  host::ServiceResult checked(host::ServiceResult result) const {
    EXPECT_FALSE(leaks(result.msg().value_or(""), key_));
    for (const auto& record : log_->records()) EXPECT_FALSE(leaks(record.dump(), key_));
    return result;
  }

  std::string key_ = make_canary_key();
  std::shared_ptr<testkit::CapturingLogger> log_ = std::make_shared<testkit::CapturingLogger>();

  std::filesystem::path dir_;
  TestCertificate certificate_;
  std::unique_ptr<emulator::Emulator> emulator_;
};

TEST_F(Tls, AnUnknownCertificateIsACleanFailure) {
  ASSERT_EQ(emulator_->base_url().rfind("https://", 0), 0u);
  const auto g = gemini();
  ASSERT_FALSE(g.ok());
  EXPECT_EQ(*g.code(), host::ErrorCode::SERVICE_BUSY);
  EXPECT_EQ(g.msg().value_or(""), "TlsError error");
  const auto i = images();
  ASSERT_FALSE(i.ok());
  EXPECT_EQ(*i.code(), host::ErrorCode::SERVICE_BUSY);
}

TEST_F(Tls, TheHostsCaFileIsTrusted) {
  host::CurlHttpClientOptions options;
  options.ca_file = certificate_.cert_file;
  config::set_http_client(std::make_shared<host::CurlHttpClient>(options));
  const auto g = gemini();
  ASSERT_TRUE(g.ok()) << g.msg().value_or("");
  EXPECT_FALSE(g.bytes()->empty());
  const auto i = images();
  ASSERT_TRUE(i.ok()) << i.msg().value_or("");
}

TEST_F(Tls, NoEnvironmentVariableTurnsVerificationOffOrAddsTrust) {
  // Variables other tools honour to skip or redirect verification; here they change nothing.
  const std::vector<std::pair<const char*, std::string>> variables = {
      {"SSL_CERT_FILE", certificate_.cert_file.string()},
      {"SSL_CERT_DIR", dir_.string()},
      {"CURL_CA_BUNDLE", certificate_.cert_file.string()},
      {"REQUESTS_CA_BUNDLE", certificate_.cert_file.string()},
      {"CURL_SSL_NO_VERIFY", "1"},
      {"CURLOPT_SSL_VERIFYPEER", "0"},
      {"GIT_SSL_NO_VERIFY", "1"},
      {"NODE_TLS_REJECT_UNAUTHORIZED", "0"},
      {"PYTHONHTTPSVERIFY", "0"},
      {"ZANTREL_INSECURE", "1"},
      {"ZANTREL_TLS_VERIFY", "0"},
  };
  for (const auto& [name, value] : variables) ::setenv(name, value.c_str(), 1);
  // A client made after the variables are set, as a host starting up would.
  config::set_http_client(std::make_shared<host::CurlHttpClient>());
  const auto g = gemini();
  const auto i = images();
  for (const auto& [name, value] : variables) ::unsetenv(name);
  ASSERT_FALSE(g.ok());
  EXPECT_EQ(g.msg().value_or(""), "TlsError error");
  EXPECT_FALSE(i.ok());
}

TEST_F(Tls, TheCommandLineTakesACaFile) {
  const std::vector<std::string> argv = {ZANTREL_CLI_PATH, "gemini",
                                         "--prompt",       "a lake",
                                         "--base-url",     emulator_->base_url(),
                                         "--api-key",      key_,
                                         "--json",         "--allow-private-links",
                                         "--out",          (dir_ / "out.png").string()};
  auto run = run_process(argv);
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_NE(run.out.find("TlsError error"), std::string::npos) << run.out;
  auto with_ca = argv;
  with_ca.insert(with_ca.end(), {"--ca-file", certificate_.cert_file.string()});
  run = run_process(with_ca);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_FALSE(leaks(run.out + run.err, key_));
  EXPECT_EQ(leaking_files(dir_, key_), std::vector<std::string>{});
}

}  // namespace
}  // namespace zantrel::test_support
