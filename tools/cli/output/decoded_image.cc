#include "tools/cli/output/decoded_image.h"

// clang-format off: jpeglib.h needs <cstdio> first
#include <jpeglib.h>
#include <cstdio>
// clang-format on
#include <png.h>
#include <webp/decode.h>

#include <csetjmp>

#include "zantrel/host/images/image_mime.h"

namespace zantrel::cli {
namespace {

std::optional<DecodedImage> decode_png(host::ByteView file) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) return std::nullopt;
  image.format = PNG_FORMAT_RGBA;
  DecodedImage out{static_cast<int>(image.width), static_cast<int>(image.height), {}};
  out.rgba.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.rgba.data(), 0, nullptr)) return std::nullopt;
  return out;
}

struct JpegErrors {
  jpeg_error_mgr manager{};
  std::jmp_buf back{};
};

[[noreturn]] void jpeg_failed(j_common_ptr info) {
  std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->back, 1);
}

std::optional<DecodedImage> decode_jpeg(host::ByteView file) {
  jpeg_decompress_struct info{};
  JpegErrors errors;
  info.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = jpeg_failed;
  DecodedImage out;
  if (setjmp(errors.back) != 0) {
    jpeg_destroy_decompress(&info);
    return std::nullopt;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, file.data(), file.size());
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_EXT_RGBA;
  jpeg_start_decompress(&info);
  out.width = static_cast<int>(info.output_width);
  out.height = static_cast<int>(info.output_height);
  out.rgba.resize(static_cast<std::size_t>(out.width) * out.height * 4);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = out.rgba.data() + static_cast<std::size_t>(info.output_scanline) * out.width * 4;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return out;
}

std::optional<DecodedImage> decode_webp(host::ByteView file) {
  DecodedImage out;
  if (!WebPGetInfo(file.data(), file.size(), &out.width, &out.height)) return std::nullopt;
  out.rgba.resize(static_cast<std::size_t>(out.width) * out.height * 4);
  if (WebPDecodeRGBAInto(file.data(), file.size(), out.rgba.data(), out.rgba.size(),
                         out.width * 4) == nullptr) {
    return std::nullopt;
  }
  return out;
}

}  // namespace

std::size_t DecodedImage::transparent_pixels() const {
  std::size_t count = 0;
  for (std::size_t i = 3; i < rgba.size(); i += 4) count += rgba[i] == 0 ? 1 : 0;
  return count;
}

std::optional<DecodedImage> decode_image(host::ByteView file) {
  const auto mime = host::sniff_image_mime(file);
  if (mime == "image/png") return decode_png(file);
  if (mime == "image/jpeg") return decode_jpeg(file);
  if (mime == "image/webp") return decode_webp(file);
  return std::nullopt;
}

}  // namespace zantrel::cli
