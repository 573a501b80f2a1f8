#pragma once

#include <string>
#include <string_view>

#include "zantrel/host/base/bytes.h"

namespace zantrel::host {

// A call's request made without sending it, by the same writer as the wire: where it goes (a
// path under the service's base address, "/v1beta/models/M:generateContent" say) and its exact
// body. For a host's own queue or a batch file; no credentials are part of it.
struct PreparedRequest {
  std::string path;
  std::string content_type = "application/json";
  Bytes body;

  std::string_view text() const noexcept { return as_text(body); }
};

}  // namespace zantrel::host
