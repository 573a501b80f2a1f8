// The pictures drawn on a terminal, read back by decoders of the two protocols written here
// from their published descriptions, and the CLI drawing them below the line that names each image.
#include "tools/cli/terminal/preview.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/canary.h"
#include "tests/support/run_process.h"
#include "tools/emulator/emulator.h"
#include "zantrel/host/codec/base64.h"

namespace zantrel::test_support {
namespace {

using cli::DecodedImage;
using cli::PreviewProtocol;

// A picture with every kind of pixel: colours across the cube and a transparent corner.
DecodedImage sample(int width, int height) {
  DecodedImage image{width, height, {}};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const auto value = static_cast<std::uint8_t>((x * 37 + y * 91) % 256);
      image.rgba.insert(image.rgba.end(), {value, static_cast<std::uint8_t>(255 - value),
                                           static_cast<std::uint8_t>(x * 255 / width),
                                           static_cast<std::uint8_t>(x < 2 && y < 2 ? 0 : 255)});
    }
  }
  return image;
}

int level(std::uint8_t v) { return (v * 5 + 127) / 255; }

// Paints a sixel image (DCS q ... ST) into palette indexes, -1 where nothing was drawn.
std::vector<std::vector<int>> read_sixel(const std::string& text, int width, int height,
                                         std::map<int, std::vector<int>>& palette) {
  std::vector<std::vector<int>> pixels(static_cast<std::size_t>(height),
                                       std::vector<int>(static_cast<std::size_t>(width), -1));
  std::size_t at = text.find('q') + 1;
  int colour = 0, x = 0, band = 0;
  const auto number = [&] {
    int value = 0;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
      value = value * 10 + (text[at++] - '0');
    }
    return value;
  };
  while (at < text.size() && text[at] != '\033') {
    const char c = text[at++];
    if (c == '"') {  // raster attributes
      for (int i = 0; i < 4; ++i) number(), at += i < 3 ? 1 : 0;
    } else if (c == '#') {
      colour = number();
      if (at < text.size() && text[at] == ';') {
        std::vector<int> values;
        while (at < text.size() && text[at] == ';') {
          ++at;
          values.push_back(number());
        }
        palette[colour] = values;
      }
    } else if (c == '$') {
      x = 0;
    } else if (c == '-') {
      x = 0;
      band += 6;
    } else {
      int repeat = 1;
      char sixel = c;
      if (c == '!') {
        repeat = number();
        sixel = text[at++];
      }
      for (int r = 0; r < repeat; ++r, ++x) {
        for (int bit = 0; bit < 6; ++bit) {
          if (((sixel - '?') >> bit & 1) != 0 && band + bit < height && x < width) {
            pixels[static_cast<std::size_t>(band) + static_cast<std::size_t>(bit)]
                  [static_cast<std::size_t>(x)] = colour;
          }
        }
      }
    }
  }
  return pixels;
}

TEST(TerminalPreview, SixelDrawsEveryPixelInItsNearestCubeColour) {
  for (const auto& [width, height] : {std::pair{1, 1}, {13, 14}, {40, 6}, {7, 25}}) {
    const DecodedImage image = sample(width, height);
    const std::string text = cli::sixel_picture(image);
    ASSERT_EQ(
        text.rfind("\033P0;1;0q\"1;1;" + std::to_string(width) + ";" + std::to_string(height), 0),
        0u);
    ASSERT_EQ(text.substr(text.size() - 3), "\033\\\n");
    std::map<int, std::vector<int>> palette;
    const auto drawn = read_sixel(text, width, height, palette);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        const std::uint8_t* p = &image.rgba[(static_cast<std::size_t>(y) * width + x) * 4];
        const int colour = drawn[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)];
        if (p[3] < 128) {
          EXPECT_EQ(colour, -1) << x << "," << y;
          continue;
        }
        ASSERT_TRUE(palette.contains(colour)) << x << "," << y << " in " << width << "x" << height;
        EXPECT_EQ(palette[colour],
                  (std::vector<int>{2, level(p[0]) * 20, level(p[1]) * 20, level(p[2]) * 20}))
            << x << "," << y;
      }
    }
  }
}

TEST(TerminalPreview, KittySendsTheRgbaInPiecesOfAtMost4096) {
  for (const int side : {1, 20, 200}) {
    const DecodedImage image = sample(side, side);
    const std::string text = cli::kitty_picture(image);
    std::string data;
    std::vector<std::string> controls;
    for (std::size_t at = 0; (at = text.find("\033_G", at)) != std::string::npos;) {
      const std::size_t semicolon = text.find(';', at);
      const std::size_t end = text.find("\033\\", semicolon);
      controls.push_back(text.substr(at + 3, semicolon - at - 3));
      EXPECT_LE(end - semicolon - 1, 4096u);
      data += text.substr(semicolon + 1, end - semicolon - 1);
      at = end;
    }
    ASSERT_FALSE(controls.empty());
    const std::string size = "s=" + std::to_string(side) + ",v=" + std::to_string(side);
    EXPECT_EQ(controls.front(),
              "a=T,f=32,o=z,q=2," + size + (controls.size() > 1 ? ",m=1" : ",m=0"));
    for (std::size_t i = 1; i < controls.size(); ++i) {
      EXPECT_EQ(controls[i], i + 1 == controls.size() ? "m=0" : "m=1");
    }
    const host::Bytes packed = host::base64_decode(data);
    std::vector<std::uint8_t> rgba(image.rgba.size());
    uLongf length = rgba.size();
    ASSERT_EQ(uncompress(rgba.data(), &length, packed.data(), packed.size()), Z_OK);
    EXPECT_EQ(rgba, image.rgba);
    EXPECT_EQ(text.back(), '\n');
  }
}

TEST(TerminalPreview, FitWithinShrinksByAveragingAndNeverGrows) {
  struct Case {
    int width, height, max_width, max_height, want_width, want_height;
  };
  for (const Case& c : {Case{1000, 500, 256, 256, 256, 128},
                        {300, 900, 256, 256, 85, 256},
                        {100, 50, 256, 256, 100, 50},
                        {5000, 1, 256, 256, 256, 1}}) {
    const DecodedImage image = sample(c.width, c.height);
    const DecodedImage small = cli::fit_within(image, c.max_width, c.max_height);
    EXPECT_EQ(small.width, c.want_width) << c.width << "x" << c.height;
    EXPECT_EQ(small.height, c.want_height) << c.width << "x" << c.height;
    EXPECT_EQ(small.rgba.size(), static_cast<std::size_t>(small.width) * small.height * 4);
  }
  // Two black and two white pixels make one grey.
  const DecodedImage checker{
      2, 2, {0, 0, 0, 255, 255, 255, 255, 255, 255, 255, 255, 255, 0, 0, 0, 255}};
  EXPECT_EQ(cli::fit_within(checker, 1, 1).rgba, (std::vector<std::uint8_t>{127, 127, 127, 255}));
}

TEST(TerminalPreview, TheEnvironmentNamesKittysProtocolOnly) {
  using Env = std::map<std::string, std::string>;
  const std::vector<std::pair<Env, PreviewProtocol>> cases = {
      {{{"TERM", "xterm-kitty"}}, PreviewProtocol::kKitty},
      {{{"KITTY_WINDOW_ID", "3"}, {"TERM", "screen"}}, PreviewProtocol::kKitty},
      {{{"TERM", "xterm-ghostty"}}, PreviewProtocol::kKitty},
      {{{"TERM_PROGRAM", "WezTerm"}, {"TERM", "xterm-256color"}}, PreviewProtocol::kKitty},
      {{{"TERM", "xterm-256color"}}, PreviewProtocol::kNone},
      {{{"TERM", "foot"}}, PreviewProtocol::kNone},  // sixel: asked of the terminal
      {{}, PreviewProtocol::kNone},
  };
  for (const auto& [env, want] : cases) {
    EXPECT_EQ(cli::protocol_by_environment([&env = env](const char* name) -> const char* {
                const auto found = env.find(name);
                return found == env.end() ? nullptr : found->second.c_str();
              }),
              want)
        << (env.empty() ? "(empty)" : env.begin()->second);
  }
}

// Named or forced, a picture follows the line that names the image; not asked and not on a
// terminal, none does.
TEST(TerminalPreview, TheCliDrawsBelowEachImagesLineWhenAsked) {
  const std::string key = make_canary_key();
  emulator::EmulatorOptions options;
  options.api_key = key;
  emulator::Emulator emulator(options);
  emulator.start();
  const auto dir =
      std::filesystem::temp_directory_path() / ("zantrel-preview-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  struct Case {
    std::vector<std::string> flags;
    std::string drawn;  // what follows the line, "" for nothing
  };
  for (const Case& c : {Case{{"--preview=kitty"}, "\033_Ga=T,f=32"},
                        {{"--preview=sixel"}, "\033P0;1;0q\"1;1;256;144"},
                        {{"--preview"}, "\033"},
                        {{}, ""},
                        {{"--preview=off"}, ""}}) {
    std::vector<std::string> argv = {ZANTREL_CLI_PATH, "gemini",     "--prompt",
                                     "a lake",         "--base-url", emulator.base_url(),
                                     "--api-key",      key,          "--aspect-ratio",
                                     "16:9",           "--out",      (dir / "lake.png").string()};
    argv.insert(argv.end(), c.flags.begin(), c.flags.end());
    const auto run = run_process(argv);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::size_t line_end = run.out.find('\n');
    ASSERT_NE(line_end, std::string::npos);
    EXPECT_EQ(run.out.rfind("wrote ", 0), 0u) << run.out.substr(0, 200);
    if (c.drawn.empty()) {
      EXPECT_EQ(run.out.find('\033'), std::string::npos) << (c.flags.empty() ? "" : c.flags[0]);
    } else {
      EXPECT_EQ(run.out.substr(line_end + 1, c.drawn.size()), c.drawn) << c.flags[0];
    }
    EXPECT_FALSE(leaks(run.out + run.err, key));
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zantrel::test_support
