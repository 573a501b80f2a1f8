#pragma once

#include <string_view>

namespace zantrel::host {

enum class ErrorCode {
  INVALID_PARAMS,
  IMAGE_GENERATE_FAIL,
  NO_IMAGE_RESULT,
  SERVICE_BUSY,
  SERVICE_TIMEOUT,
};

std::string_view to_string(ErrorCode code) noexcept;

}  // namespace zantrel::host
