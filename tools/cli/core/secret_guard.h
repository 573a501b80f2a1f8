#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace zantrel::cli {

// Every key of a run, blanked ("[key]") in all the run prints on stdout and stderr, whoever
// wrote the text: a service may echo a key in an error text, a request id or a link, and the
// CLI prints such texts in many places. Installed for the life of the object (main's), text
// passed on line by line and at each flush.
class SecretGuard {
 public:
  // Keys shorter than the library's shortest findable one are not looked for.
  explicit SecretGuard(std::vector<std::string> secrets);
  ~SecretGuard();
  SecretGuard(const SecretGuard&) = delete;
  SecretGuard& operator=(const SecretGuard&) = delete;

 private:
  class Filter;
  std::vector<std::string> secrets_;  // before the filters, which read it until they go
  std::unique_ptr<Filter> out_;
  std::unique_ptr<Filter> err_;
};

// `text` with each of `secrets` (the findable ones) blanked.
std::string without_secrets(std::string text, const std::vector<std::string>& secrets);

// The keys a run may send: the --api-key values given and the services' environment ones.
std::vector<std::string> run_secrets(const std::vector<std::string>& given);

}  // namespace zantrel::cli
