#include "zantrel/host/service_result.h"

#include <utility>

namespace zantrel::host {

ServiceResult ServiceResult::success(Bytes data) {
  ServiceResult result;
  result.data_ = std::move(data);
  return result;
}

ServiceResult ServiceResult::success(std::string link) {
  ServiceResult result;
  result.data_ = std::move(link);
  return result;
}

ServiceResult ServiceResult::fail(ErrorCode code, std::optional<std::string> msg) {
  ServiceResult result;
  result.code_ = code;
  result.msg_ = std::move(msg);
  return result;
}

Bytes ServiceResult::take_bytes() {
  if (auto* bytes = std::get_if<Bytes>(&data_)) {
    return std::exchange(*bytes, Bytes{});
  }
  return {};
}

}  // namespace zantrel::host
