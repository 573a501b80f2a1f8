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

host::Bytes encode_gif(const Pixels& pixels) {
  host::Bytes out;
  const auto put = [&](std::initializer_list<int> bytes) {
    for (int byte : bytes) out.push_back(static_cast<std::uint8_t>(byte));
  };
  const auto put16 = [&](int value) { put({value & 0xff, (value >> 8) & 0xff}); };
  put({'G', 'I', 'F', '8', '9', 'a'});
  put16(pixels.width);
  put16(pixels.height);
  put({0xF7, 0, 0});  // a global table of 256 colours
  for (int i = 0; i < 256; ++i) put({(i >> 5) * 255 / 7, ((i >> 2) & 7) * 255 / 7, (i & 3) * 85});
  put({0x2C});
  put16(0);
  put16(0);
  put16(pixels.width);
  put16(pixels.height);
  put({0, 8});  // no local table; LZW codes start at 8 bits
  // Every pixel a literal 9-bit code, with a clear code before the table would need 10 bits.
  host::Bytes codes;
  std::uint32_t bits = 0;
  int held = 0;
  const auto code = [&](std::uint32_t value) {
    bits |= value << held;
    for (held += 9; held >= 8; held -= 8, bits >>= 8) {
      codes.push_back(static_cast<std::uint8_t>(bits & 0xff));
    }
  };
  constexpr std::uint32_t kClear = 256;
  constexpr std::uint32_t kEnd = 257;
  constexpr int kLiteralsPerClear = 254;
  code(kClear);
  int since_clear = 0;
  const std::size_t count = static_cast<std::size_t>(pixels.width) * pixels.height;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* p = &pixels.data[i * static_cast<std::size_t>(pixels.channels)];
    if (since_clear == kLiteralsPerClear) {
      code(kClear);
      since_clear = 0;
    }
    code(static_cast<std::uint32_t>((p[0] & 0xE0) | ((p[1] >> 3) & 0x1C) | (p[2] >> 6)));
    ++since_clear;
  }
  code(kEnd);
  if (held > 0) codes.push_back(static_cast<std::uint8_t>(bits & 0xff));
  for (std::size_t at = 0; at < codes.size(); at += 255) {
    const std::size_t block = std::min<std::size_t>(255, codes.size() - at);
    out.push_back(static_cast<std::uint8_t>(block));
    out.insert(out.end(), codes.begin() + static_cast<std::ptrdiff_t>(at),
               codes.begin() + static_cast<std::ptrdiff_t>(at + block));
  }
  put({0, 0x3B});
  return out;
}

}  // namespace zantrel::emulator
