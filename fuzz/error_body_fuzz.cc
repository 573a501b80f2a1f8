// Any non-200 body: reading it never throws, and a body it can't read gives the status text.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_input.h"
#include "zantrel/host/internal/codec/json_reading.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto body =
      zantrel::host::internal::read_error_body(zantrel::fuzz::text_of(data, size), 503);
  if (!body.error_dict && body.message != std::string("service status_code: 503")) {
    __builtin_trap();
  }
  if (body.error_dict && !body.error_dict->is_object()) __builtin_trap();
  return 0;
}
