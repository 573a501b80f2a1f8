#include "zantrel/host/service_client.h"

#include "zantrel/host/config.h"
#include "zantrel/host/log/secret_filter.h"

namespace zantrel::host {

ServiceClient::ServiceClient(std::string_view logger_name, std::string base_url,
                             std::string model_tag, std::shared_ptr<Logger> logger,
                             std::shared_ptr<HttpClient> http_client, Dialect dialect,
                             RetryPolicy retry, std::string secret)
    : base_url_(std::move(base_url)),
      secret_(std::move(secret)),
      model_tag_(std::move(model_tag)),
      logger_(host::secret_blanking_logger(logger ? std::move(logger) : get_logger(logger_name),
                                           secret_)),
      http_client_(std::move(http_client)),
      dialect_(dialect),
      retry_(retry) {}

std::shared_ptr<HttpClient> ServiceClient::http_client() const {
  return config::http_client_or_shared(http_client_);
}

}  // namespace zantrel::host
