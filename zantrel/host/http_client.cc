#include "zantrel/host/http_client.h"

#include "zantrel/host/errors.h"

namespace zantrel::host {

nlohmann::ordered_json HttpResponse::json() const {
  try {
    return nlohmann::ordered_json::parse(text());
  } catch (const nlohmann::json::exception& e) {
    throw JSONDecodeError(std::string("response body is not JSON: ") + e.what());
  }
}

}  // namespace zantrel::host
