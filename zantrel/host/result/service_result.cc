#include "zantrel/host/result/service_result.h"

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

ServiceResult ServiceResult::success(std::vector<Bytes> images) {
  ServiceResult result;
  result.data_ = std::move(images.front());
  result.more_.reserve(images.size() - 1);
  for (std::size_t i = 1; i < images.size(); ++i) result.more_.push_back(std::move(images[i]));
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

namespace zantrel::host {

std::vector<ByteView> ServiceResult::images() const {
  std::vector<ByteView> out;
  const Bytes* first = bytes();
  if (first == nullptr) return out;
  out.reserve(1 + more_.size());
  out.emplace_back(*first);
  for (const Bytes& image : more_) out.emplace_back(image);
  return out;
}

}  // namespace zantrel::host
