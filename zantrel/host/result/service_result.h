#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/result/error_code.h"

namespace zantrel::host {

// The one outcome of a generation call: image bytes (or, in one fall-back, the image's link)
// on success; an error code and an optional message on failure. Built only by the factories.
class [[nodiscard]] ServiceResult {
 public:
  using Data = std::variant<std::monostate, Bytes, std::string>;

  static ServiceResult success(Bytes data);
  static ServiceResult success(std::string link);
  // Several images from one request: the first becomes the data, the others are kept beside
  // it. `images` must not be empty.
  static ServiceResult success(std::vector<Bytes> images);
  static ServiceResult fail(ErrorCode code, std::optional<std::string> msg = std::nullopt);

  bool ok() const noexcept { return !code_.has_value(); }
  const std::optional<ErrorCode>& code() const noexcept { return code_; }
  // `msg` and `message` name the same field.
  const std::optional<std::string>& msg() const noexcept { return msg_; }
  const std::optional<std::string>& message() const noexcept { return msg_; }
  const Data& data() const noexcept { return data_; }
  // The image bytes, or nullptr when the result holds none.
  const Bytes* bytes() const noexcept { return std::get_if<Bytes>(&data_); }
  // The image link, or nullptr when the result holds none.
  const std::string* link() const noexcept { return std::get_if<std::string>(&data_); }
  // Hands the bytes over to the caller without copying them.
  Bytes take_bytes();
  // Every image of the result, the data's first: one for most calls, several when an images
  // call asked for n > 1; none without bytes. Views into the result.
  std::vector<ByteView> images() const;
  // The images after the first, handed over.
  std::vector<Bytes> take_more_images() { return std::exchange(more_, {}); }

 private:
  ServiceResult() = default;
  std::optional<ErrorCode> code_;
  std::optional<std::string> msg_;
  Data data_;
  std::vector<Bytes> more_;
};

}  // namespace zantrel::host
