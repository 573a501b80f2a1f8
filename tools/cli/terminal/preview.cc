#include "tools/cli/terminal/preview.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "zantrel/host/codec/base64.h"
#include "zantrel/host/files/file_descriptor.h"

namespace zantrel::cli {
namespace {

// A preview is a small picture: at most this many pixels each way.
constexpr int kPreviewWidth = 256;
constexpr int kPreviewHeight = 256;

// kitty takes its data in pieces of at most 4096 base64 characters.
constexpr std::size_t kKittyPiece = 4096;

bool is(const char* value, std::string_view expected) {
  return value != nullptr && expected == value;
}

// The terminal in raw mode (no echo, no line editing) while it is asked, restored after.
class RawMode {
 public:
  explicit RawMode(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    active_ = ::tcsetattr(fd_, TCSANOW, &raw) == 0;
  }
  ~RawMode() {
    if (active_) ::tcsetattr(fd_, TCSANOW, &saved_);
  }
  RawMode(const RawMode&) = delete;
  RawMode& operator=(const RawMode&) = delete;
  bool active() const { return active_; }

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

// The palette's index of a colour: a 6x6x6 cube, enough for a thumbnail.
int cube_index(const std::uint8_t* rgba) {
  const auto level = [](std::uint8_t v) { return (v * 5 + 127) / 255; };
  return level(rgba[0]) * 36 + level(rgba[1]) * 6 + level(rgba[2]);
}

// One colour's row of sixels, runs of four or more written as "!count".
void append_run(std::string& out, char sixel, int count) {
  if (count > 3) {
    out += '!' + std::to_string(count) + sixel;
  } else {
    out.append(static_cast<std::size_t>(count), sixel);
  }
}

}  // namespace

PreviewProtocol protocol_by_environment(const std::function<const char*(const char*)>& getenv) {
  const char* term = getenv("TERM");
  const char* program = getenv("TERM_PROGRAM");
  if (getenv("KITTY_WINDOW_ID") != nullptr || is(term, "xterm-kitty") ||
      is(term, "xterm-ghostty") || is(program, "WezTerm") || is(program, "ghostty")) {
    return PreviewProtocol::kKitty;
  }
  return PreviewProtocol::kNone;
}

bool terminal_draws_sixel(int wait_ms) {
  const host::FileDescriptor tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (tty.get() < 0) return false;
  const RawMode raw(tty.get());
  if (!raw.active()) return false;
  constexpr std::string_view kAsk = "\033[c";
  if (::write(tty.get(), kAsk.data(), kAsk.size()) != static_cast<ssize_t>(kAsk.size())) {
    return false;
  }
  // The answer is ESC [ ? attributes c, for example "\033[?62;4;22c".
  std::string answer;
  while (answer.find('c') == std::string::npos && answer.size() < 256) {
    pollfd ready{tty.get(), POLLIN, 0};
    if (::poll(&ready, 1, wait_ms) <= 0) break;
    std::array<char, 64> buffer{};
    const ssize_t got = ::read(tty.get(), buffer.data(), buffer.size());
    if (got <= 0) break;
    answer.append(buffer.data(), static_cast<std::size_t>(got));
  }
  const auto start = answer.find("\033[?");
  const auto end = answer.find('c', start);
  if (start == std::string::npos || end == std::string::npos) return false;
  const std::string attributes = ";" + answer.substr(start + 3, end - start - 3) + ";";
  return attributes.find(";4;") != std::string::npos;
}

PreviewProtocol choose_preview(const std::string& asked) {
  if (asked == "off") return PreviewProtocol::kNone;
  if (asked == "kitty") return PreviewProtocol::kKitty;
  if (asked == "sixel") return PreviewProtocol::kSixel;
  const bool forced = asked == "auto";
  if (!forced && ::isatty(STDOUT_FILENO) != 1) return PreviewProtocol::kNone;
  const auto found = protocol_by_environment([](const char* name) { return std::getenv(name); });
  if (found != PreviewProtocol::kNone) return found;
  if (terminal_draws_sixel()) return PreviewProtocol::kSixel;
  return forced ? PreviewProtocol::kKitty : PreviewProtocol::kNone;
}

DecodedImage fit_within(const DecodedImage& image, int width, int height) {
  if (image.width <= width && image.height <= height) return image;
  const double scale = std::min(static_cast<double>(width) / image.width,
                                static_cast<double>(height) / image.height);
  DecodedImage small;
  small.width = std::max(1, static_cast<int>(image.width * scale));
  small.height = std::max(1, static_cast<int>(image.height * scale));
  small.rgba.resize(static_cast<std::size_t>(small.width) * small.height * 4);
  for (int y = 0; y < small.height; ++y) {
    const int top = y * image.height / small.height;
    const int bottom = std::max(top + 1, (y + 1) * image.height / small.height);
    for (int x = 0; x < small.width; ++x) {
      const int left = x * image.width / small.width;
      const int right = std::max(left + 1, (x + 1) * image.width / small.width);
      std::array<unsigned, 4> sum{};
      for (int sy = top; sy < bottom; ++sy) {
        const std::uint8_t* row =
            image.rgba.data() + (static_cast<std::size_t>(sy) * image.width) * 4;
        for (int sx = left; sx < right; ++sx) {
          for (int c = 0; c < 4; ++c) sum[c] += row[sx * 4 + c];
        }
      }
      const auto count = static_cast<unsigned>((bottom - top) * (right - left));
      std::uint8_t* pixel = small.rgba.data() + (static_cast<std::size_t>(y) * small.width + x) * 4;
      for (int c = 0; c < 4; ++c) pixel[c] = static_cast<std::uint8_t>(sum[c] / count);
    }
  }
  return small;
}

std::string kitty_picture(const DecodedImage& image) {
  uLongf packed_size = compressBound(static_cast<uLong>(image.rgba.size()));
  host::Bytes packed(packed_size);
  if (compress2(packed.data(), &packed_size, image.rgba.data(),
                static_cast<uLong>(image.rgba.size()), Z_DEFAULT_COMPRESSION) != Z_OK) {
    return "";
  }
  packed.resize(packed_size);
  const std::string data = host::base64_encode(packed);
  std::string out;
  for (std::size_t at = 0; at < data.size() || at == 0; at += kKittyPiece) {
    const bool last = at + kKittyPiece >= data.size();
    out += "\033_G";
    if (at == 0) {
      // a=T: transmit and show; f=32: RGBA; o=z: zlib; q=2: no answer on the terminal's input.
      out += "a=T,f=32,o=z,q=2,s=" + std::to_string(image.width) +
             ",v=" + std::to_string(image.height) + ",";
    }
    out += last ? "m=0;" : "m=1;";
    out.append(data, at, kKittyPiece);
    out += "\033\\";
  }
  return out + "\n";
}

std::string sixel_picture(const DecodedImage& image) {
  const auto at = [&](int x, int y) {
    return image.rgba.data() + (static_cast<std::size_t>(y) * image.width + x) * 4;
  };
  std::array<bool, 216> used{};
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x)
      used[static_cast<std::size_t>(cube_index(at(x, y)))] = true;
  }
  // P2=1: pixels no colour is drawn in (transparent ones) keep the terminal's background.
  std::string out =
      "\033P0;1;0q\"1;1;" + std::to_string(image.width) + ";" + std::to_string(image.height);
  for (int c = 0; c < 216; ++c) {
    if (!used[static_cast<std::size_t>(c)]) continue;
    out += "#" + std::to_string(c) + ";2;" + std::to_string(c / 36 * 20) + ";" +
           std::to_string(c / 6 % 6 * 20) + ";" + std::to_string(c % 6 * 20);
  }
  for (int band = 0; band < image.height; band += 6) {
    std::array<bool, 216> in_band{};
    for (int y = band; y < std::min(band + 6, image.height); ++y) {
      for (int x = 0; x < image.width; ++x) {
        if (at(x, y)[3] >= 128) in_band[static_cast<std::size_t>(cube_index(at(x, y)))] = true;
      }
    }
    bool first = true;
    for (int c = 0; c < 216; ++c) {
      if (!in_band[static_cast<std::size_t>(c)]) continue;
      if (!first) out += '$';  // back to the band's start for the next colour
      first = false;
      out += "#" + std::to_string(c);
      char run = 0;
      int count = 0;
      for (int x = 0; x < image.width; ++x) {
        int bits = 0;
        for (int row = 0; row < 6 && band + row < image.height; ++row) {
          const std::uint8_t* pixel = at(x, band + row);
          if (pixel[3] >= 128 && cube_index(pixel) == c) bits |= 1 << row;
        }
        const char sixel = static_cast<char>('?' + bits);
        if (sixel == run) {
          ++count;
        } else {
          if (count > 0) append_run(out, run, count);
          run = sixel;
          count = 1;
        }
      }
      append_run(out, run, count);
    }
    out += '-';
  }
  return out + "\033\\\n";
}

void show_preview(std::ostream& out, host::ByteView image, PreviewProtocol protocol) {
  if (protocol == PreviewProtocol::kNone) return;
  const auto decoded = decode_image(image);
  if (!decoded || decoded->width <= 0 || decoded->height <= 0) return;
  const DecodedImage small = fit_within(*decoded, kPreviewWidth, kPreviewHeight);
  out << (protocol == PreviewProtocol::kKitty ? kitty_picture(small) : sixel_picture(small))
      << std::flush;
}

}  // namespace zantrel::cli
