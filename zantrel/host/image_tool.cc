#include "zantrel/host/image_tool.h"

namespace zantrel::host {

bool is_http_link(std::string_view text) noexcept {
  return text.starts_with("http://") || text.starts_with("https://");
}

}  // namespace zantrel::host
