#include "tools/emulator/picture_encoding.h"

// clang-format off: jpeglib.h needs <cstdio> first
#include <jpeglib.h>
#include <cstdio>
// clang-format on
#include <png.h>
#include <webp/encode.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

namespace zantrel::emulator {
namespace {

// libjpeg reports a fatal error through a callback that must not return.
[[noreturn]] void jpeg_failed(j_common_ptr info) {
  char message[JMSG_LENGTH_MAX];
  (*info->err->format_message)(info, message);
  throw std::runtime_error(std::string("JPEG encoding failed: ") + message);
}

struct JpegCompressor {
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  unsigned char* out = nullptr;
  unsigned long size = 0;  // NOLINT(google-runtime-int): libjpeg's own type
  JpegCompressor() {
    info.err = jpeg_std_error(&errors);
    errors.error_exit = jpeg_failed;
    jpeg_create_compress(&info);
  }
  ~JpegCompressor() {
    jpeg_destroy_compress(&info);
    std::free(out);  // NOLINT(cppcoreguidelines-no-malloc): allocated by jpeg_mem_dest
  }
  JpegCompressor(const JpegCompressor&) = delete;
  JpegCompressor& operator=(const JpegCompressor&) = delete;
};

}  // namespace

host::Bytes encode_png(const Pixels& pixels) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(pixels.width);
  image.height = static_cast<png_uint_32>(pixels.height);
  image.format = pixels.channels == 4 ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data.data(), 0, nullptr)) {
    throw std::runtime_error(std::string("PNG encoding failed: ") + image.message);
  }
  host::Bytes png(size);
  if (!png_image_write_to_memory(&image, png.data(), &size, 0, pixels.data.data(), 0, nullptr)) {
    throw std::runtime_error(std::string("PNG encoding failed: ") + image.message);
  }
  png.resize(size);
  return png;
}

host::Bytes encode_jpeg(const Pixels& pixels, int quality) {
  JpegCompressor jpeg;
  jpeg_mem_dest(&jpeg.info, &jpeg.out, &jpeg.size);
  jpeg.info.image_width = static_cast<JDIMENSION>(pixels.width);
  jpeg.info.image_height = static_cast<JDIMENSION>(pixels.height);
  jpeg.info.input_components = 3;
  jpeg.info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&jpeg.info);
  jpeg_set_quality(&jpeg.info, std::clamp(quality, 0, 100), TRUE);
  jpeg_start_compress(&jpeg.info, TRUE);
  std::vector<std::uint8_t> row(static_cast<std::size_t>(pixels.width) * 3);
  const auto stride = static_cast<std::size_t>(pixels.width) * pixels.channels;
  while (jpeg.info.next_scanline < jpeg.info.image_height) {
    const std::uint8_t* source = pixels.data.data() + jpeg.info.next_scanline * stride;
    for (int x = 0; x < pixels.width; ++x) {
      std::copy_n(source + static_cast<std::size_t>(x) * pixels.channels, 3,
                  row.data() + static_cast<std::size_t>(x) * 3);
    }
    JSAMPROW rows[] = {row.data()};
    jpeg_write_scanlines(&jpeg.info, rows, 1);
  }
  jpeg_finish_compress(&jpeg.info);
  return host::Bytes(jpeg.out, jpeg.out + jpeg.size);
}

host::Bytes encode_webp(const Pixels& pixels, int quality) {
  std::uint8_t* out = nullptr;
  const float level = static_cast<float>(std::clamp(quality, 0, 100));
  const int stride = pixels.width * pixels.channels;
  const std::size_t size =
      pixels.channels == 4
          ? WebPEncodeRGBA(pixels.data.data(), pixels.width, pixels.height, stride, level, &out)
          : WebPEncodeRGB(pixels.data.data(), pixels.width, pixels.height, stride, level, &out);
  const std::unique_ptr<std::uint8_t, decltype(&WebPFree)> owned(out, &WebPFree);
  if (size == 0) throw std::runtime_error("WebP encoding failed");
  return host::Bytes(out, out + size);
}

}  // namespace zantrel::emulator
