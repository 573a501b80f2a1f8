// Any images API body: the first item is read or a library failure is thrown; a base64 or data
// link item decodes or fails cleanly.
#include <cstdint>

#include "fuzz/fuzz_input.h"
#include "zantrel/host/codec/base64.h"
#include "zantrel/host/result/errors.h"
#include "zantrel/image/corvane/internal/images_response.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using zantrel::image::corvane::internal::FirstItem;
  const zantrel::host::Bytes body = zantrel::fuzz::body_of(data, size);
  try {
    zantrel::image::corvane::internal::ImagesResponse response(body);
    const FirstItem item = response.first_item();
    if (item.kind == FirstItem::Kind::kBase64) {
      const auto image = zantrel::host::base64_decode(item.text);
      if (image.size() > item.text.size()) __builtin_trap();
    } else if (item.kind == FirstItem::Kind::kLink) {
      zantrel::image::corvane::internal::decode_data_link(item.text);
    }
  } catch (const zantrel::host::Error&) {
  }
  return 0;
}
