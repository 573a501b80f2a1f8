#include "tools/cli/core/secret_guard.h"

#include <cstdlib>
#include <iostream>
#include <mutex>
#include <streambuf>

#include "zantrel/host/log/secret_filter.h"

namespace zantrel::cli {

// A stream buffer in front of another that holds text until a line ends or the stream is
// flushed, then hands it on with the secrets blanked. Locked: a spinner or a call's progress
// may print from another thread.
class SecretGuard::Filter final : public std::streambuf {
 public:
  Filter(std::ostream& stream, const std::vector<std::string>& secrets)
      : stream_(stream), inner_(stream.rdbuf()), secrets_(secrets) {
    stream_.rdbuf(this);
  }
  ~Filter() override {
    Filter::sync();
    stream_.rdbuf(inner_);
  }
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;

 protected:
  int_type overflow(int_type c) override {
    const std::lock_guard lock(mutex_);
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    pending_ += traits_type::to_char_type(c);
    if (c == '\n') return pass_on() ? c : traits_type::eof();
    return c;
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    const std::lock_guard lock(mutex_);
    pending_.append(text, static_cast<std::size_t>(count));
    if (pending_.find('\n') != std::string::npos && !pass_on()) return 0;
    return count;
  }
  int sync() override {
    const std::lock_guard lock(mutex_);
    return pass_on() && inner_->pubsync() == 0 ? 0 : -1;
  }

 private:
  bool pass_on() {
    if (pending_.empty()) return true;
    const std::string text = without_secrets(std::move(pending_), secrets_);
    pending_.clear();
    return inner_->sputn(text.data(), static_cast<std::streamsize>(text.size())) ==
           static_cast<std::streamsize>(text.size());
  }

  std::ostream& stream_;
  std::streambuf* inner_;
  const std::vector<std::string>& secrets_;
  std::mutex mutex_;
  std::string pending_;
};

namespace {

std::vector<std::string> findable(std::vector<std::string> secrets) {
  std::erase_if(secrets,
                [](const std::string& secret) { return secret.size() < host::kShortestSecret; });
  return secrets;
}

}  // namespace

SecretGuard::SecretGuard(std::vector<std::string> secrets)
    : secrets_(findable(std::move(secrets))),
      out_(secrets_.empty() ? nullptr : std::make_unique<Filter>(std::cout, secrets_)),
      err_(secrets_.empty() ? nullptr : std::make_unique<Filter>(std::cerr, secrets_)) {}

SecretGuard::~SecretGuard() = default;

std::string without_secrets(std::string text, const std::vector<std::string>& secrets) {
  for (const std::string& secret : secrets) host::blank_secret(text, secret);
  return text;
}

std::vector<std::string> run_secrets(const std::vector<std::string>& given) {
  std::vector<std::string> secrets = given;
  for (const char* name : {"ZANTREL_GEMINI_API_KEY", "ZANTREL_IMAGES_API_KEY"}) {
    if (const char* value = std::getenv(name); value != nullptr) secrets.emplace_back(value);
  }
  return findable(std::move(secrets));
}

}  // namespace zantrel::cli
