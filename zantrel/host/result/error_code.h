#pragma once

#include <string_view>

namespace zantrel::host {

// Why a call produced no image. "Retry" says whether sending the same call again can help.
enum class ErrorCode {
  // A parameter was refused before anything was sent (Gemini: a model or aspect ratio outside
  // the supported lists). Retry: no, not with the same parameters.
  INVALID_PARAMS,
  // The service answered with an error status (4xx other than the Gemini 429, or 5xx); the
  // message is the service's own. Retry: only for 5xx, and the call may have been billed.
  IMAGE_GENERATE_FAIL,
  // The service answered 200 without an image (safety block, no candidate, an empty image).
  // Retry: rarely; a changed prompt is more likely to help.
  NO_IMAGE_RESULT,
  // The exchange failed (connection, TLS, reset, a body that isn't JSON, too large, a refused
  // link), a reference could not be loaded, or the Gemini service said 429. Retry: usually,
  // after a pause; not when a reference or an images ratio was refused.
  SERVICE_BUSY,
  // No byte arrived for the read time-out once connected. Retry: yes, but the service may
  // still be running, and billing, the first request.
  SERVICE_TIMEOUT,
};

std::string_view to_string(ErrorCode code) noexcept;

}  // namespace zantrel::host
