#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "zantrel/host/base/dialect.h"
#include "zantrel/host/base/retry_policy.h"
#include "zantrel/host/http/http_client.h"
#include "zantrel/host/log/logger.h"

namespace zantrel::host {

// A client's options, the same for both services but for the model tag they default to
// (`Defaults::kModelTag`; a type rather than a text as the argument, so that every compiler
// names the options type alike).
template <class Defaults>
struct ClientOptions {
  std::string model_tag = Defaults::kModelTag;
  // Default: the client's own logger ("zantrel.image.tavelin", "zantrel.image.corvane").
  std::shared_ptr<Logger> logger{};
  // This client's own HTTP stack (a proxy, a CA bundle, ...). Default: the process-wide
  // `config::http_client()`, looked up at each call.
  std::shared_ptr<HttpClient> http_client{};
  // kDirect for the public endpoint; kGateway (today's form) for a gateway in front of it.
  Dialect dialect = Dialect::kGateway;
  // When a call may send its request again; by default never (`CallOptions::retry` overrides).
  RetryPolicy retry{};
};

// What both clients are besides their wire format: the address they call, the model tag their
// records carry, the logger, the HTTP stack, the dialect and the retry policy. Read-only after
// construction.
class ServiceClient {
 public:
  // Where the client's requests go (each client says which part of the service that is).
  const std::string& base_url() const noexcept { return base_url_; }
  const std::string& model_tag() const noexcept { return model_tag_; }
  const std::shared_ptr<Logger>& logger() const noexcept { return logger_; }
  Dialect dialect() const noexcept { return dialect_; }
  // The HTTP stack of the next call: the client's own, else the shared one.
  std::shared_ptr<HttpClient> http_client() const;
  const RetryPolicy& retry_policy() const noexcept { return retry_; }
  // The key the client sends: blanked wherever a service echoes it (results, reports, records).
  const std::string& secret() const noexcept { return secret_; }

 protected:
  // `logger_name`: the registry's logger used when the options name none. `secret`: the key.
  template <class Defaults>
  ServiceClient(std::string_view logger_name, std::string base_url, ClientOptions<Defaults> options,
                std::string secret)
      : ServiceClient(logger_name, std::move(base_url), std::move(options.model_tag),
                      std::move(options.logger), std::move(options.http_client), options.dialect,
                      options.retry, std::move(secret)) {}

 private:
  // NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the options' members, in their order
  ServiceClient(std::string_view logger_name, std::string base_url, std::string model_tag,
                std::shared_ptr<Logger> logger, std::shared_ptr<HttpClient> http_client,
                Dialect dialect, RetryPolicy retry, std::string secret);

  std::string base_url_;
  std::string secret_;
  std::string model_tag_;
  std::shared_ptr<Logger> logger_;
  std::shared_ptr<HttpClient> http_client_;
  Dialect dialect_;
  RetryPolicy retry_;
};

}  // namespace zantrel::host
