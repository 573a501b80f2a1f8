#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "zantrel/host/base/bytes.h"

namespace zantrel::fuzz {

// The fuzzer's bytes as a response body, with the spare capacity the HTTP client leaves after
// every body (the readers parse in place when it is there). The spare bytes hold digits, the
// worst thing a previous use of the memory could have left there.
inline host::Bytes body_of(const std::uint8_t* data, std::size_t size) {
  host::Bytes body;
  body.reserve(size + 64);
  body.assign(data, data + size);
  body.insert(body.end(), 64, '7');
  body.resize(size);  // the digits stay in the spare capacity
  return body;
}

inline std::string_view text_of(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace zantrel::fuzz
