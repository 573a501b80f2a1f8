// Metadata inside the three image types the services answer with: written around the image's
// own bytes (which stay as they were), read back by this library and by an independent reader
// (Pillow), whose decoded pixels are the same as the image's without it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/run_process.h"
#include "tools/emulator/picture.h"
#include "zantrel/host/images/image_header.h"
#include "zantrel/host/images/image_metadata.h"

namespace zantrel::test_support {
namespace {

struct Case {
  const char* name;
  const char* file;
  emulator::PictureStyle style;
  std::size_t json_size;  // a JSON this long (the JPEG's is split into several segments past 64 KB)
};

const Case kCases[] = {
    {"png", "a.png", {emulator::PictureFormat::kPng, false, 90}, 300},
    {"png with alpha", "b.png", {emulator::PictureFormat::kPng, true, 90}, 300},
    {"jpeg", "c.jpg", {emulator::PictureFormat::kJpeg, false, 80}, 300},
    {"jpeg, a long prompt", "d.jpg", {emulator::PictureFormat::kJpeg, false, 80}, 150'000},
    {"webp", "e.webp", {emulator::PictureFormat::kWebp, false, 80}, 301},
    {"webp with alpha", "f.webp", {emulator::PictureFormat::kWebp, true, 80}, 300},
};

host::ImageMetadata metadata_of(std::size_t json_size) {
  // Characters XML and JSON must escape, and text beyond ASCII.
  const std::string parameters = "a fox & \"hen\" <under> the moon, caf\u00e9\nmodel: m";
  const std::string pad(json_size > 100 ? json_size - 100 : 0, 'x');
  return {parameters, nlohmann::json{{"parameters", parameters}, {"pad", pad}}.dump()};
}

TEST(ImageMetadata, EachTypeCarriesItAroundItsOwnBytesAndPillowReadsIt) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("zantrel-metadata-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  for (const Case& c : kCases) {
    const host::Bytes image = emulator::render_picture(11, 96, 64, c.style);
    const host::ImageMetadata metadata = metadata_of(c.json_size);
    const auto pieces = host::metadata_pieces(image, metadata);
    ASSERT_TRUE(pieces) << c.name;
    const host::Bytes marked = host::with_metadata(image, metadata);
    // The image's own bytes follow the head unchanged.
    ASSERT_GE(marked.size(), pieces->head.size() + image.size() - pieces->resume_at) << c.name;
    EXPECT_TRUE(std::equal(image.begin() + static_cast<std::ptrdiff_t>(pieces->resume_at),
                           image.end(),
                           marked.begin() + static_cast<std::ptrdiff_t>(pieces->head.size())))
        << c.name;
    EXPECT_EQ(host::read_image_dimensions(marked), host::read_image_dimensions(image)) << c.name;
    const auto read = host::read_metadata(marked);
    ASSERT_TRUE(read) << c.name;
    EXPECT_EQ(read->json, metadata.json) << c.name;
    EXPECT_EQ(read->parameters, metadata.parameters) << c.name;
    EXPECT_FALSE(host::read_metadata(image)) << c.name;
    // Cut anywhere, a file is read without a byte past its end (the sanitizers watch), and what
    // it no longer holds whole is not given.
    for (std::size_t cut = 0; cut < marked.size(); cut += 1 + marked.size() / 97) {
      const host::ByteView prefix(marked.data(), cut);
      const auto partial = host::read_metadata(prefix);
      if (partial && cut < pieces->head.size()) {
        EXPECT_NE(partial->json, metadata.json) << c.name << " cut at " << cut;
      }
      if (const auto again = host::metadata_pieces(prefix, metadata)) {
        EXPECT_LE(again->resume_at, cut) << c.name;
      }
    }
    for (const auto& [bytes, name] : {std::pair{&image, std::string("plain-") + c.file},
                                      std::pair{&marked, std::string(c.file)}}) {
      std::ofstream(dir / name, std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes->data()),
                 static_cast<std::streamsize>(bytes->size()));
    }
  }
  // Other bytes are left as they are.
  const host::Bytes text = host::to_bytes("GIF89a not an image this writes into");
  EXPECT_FALSE(host::metadata_pieces(text, metadata_of(10)));
  EXPECT_EQ(host::with_metadata(text, metadata_of(10)), text);

  const ProcessResult pillow = run_process({ZANTREL_PYTHON3, ZANTREL_PILLOW_CHECK, dir.string()});
  EXPECT_EQ(pillow.status, 0) << pillow.out << pillow.err;
  EXPECT_NE(pillow.out.find("6 images read"), std::string::npos) << pillow.out << pillow.err;
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zantrel::test_support
