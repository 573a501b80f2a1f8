#include "zantrel/host/result/error_code.h"

namespace zantrel::host {

std::string_view to_string(ErrorCode code) noexcept {
  switch (code) {
    case ErrorCode::INVALID_PARAMS:
      return "INVALID_PARAMS";
    case ErrorCode::IMAGE_GENERATE_FAIL:
      return "IMAGE_GENERATE_FAIL";
    case ErrorCode::NO_IMAGE_RESULT:
      return "NO_IMAGE_RESULT";
    case ErrorCode::SERVICE_BUSY:
      return "SERVICE_BUSY";
    case ErrorCode::SERVICE_TIMEOUT:
      return "SERVICE_TIMEOUT";
  }
  return "UNKNOWN";
}

}  // namespace zantrel::host
