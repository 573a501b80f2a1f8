#include "zantrel/host/base/dialect.h"

namespace zantrel::host {

std::string_view to_string(Dialect dialect) noexcept {
  return dialect == Dialect::kDirect ? "direct" : "gateway";
}

std::optional<Dialect> parse_dialect(std::string_view text) noexcept {
  if (text == "gateway") return Dialect::kGateway;
  if (text == "direct") return Dialect::kDirect;
  return std::nullopt;
}

}  // namespace zantrel::host
