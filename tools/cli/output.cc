#include "tools/cli/output.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "zantrel/host/image_mime.h"

namespace zantrel::cli {
namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path, int error) {
  throw std::runtime_error("cannot " + what + " " + path + ": " + std::strerror(error));
}

}  // namespace

std::string sha256_hex(host::ByteView bytes) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 failed");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0xF];
  }
  return out;
}

void write_file_atomically(const std::string& path, host::ByteView bytes) {
  const std::filesystem::path target(path);
  std::string temp =
      (target.has_parent_path() ? target.parent_path() / "" : std::filesystem::path()).string() +
      "." + target.filename().string() + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) fail("create a file beside", path, errno);
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      ::unlink(temp.c_str());
      fail("write", path, error);
    }
    written += static_cast<std::size_t>(n);
  }
  ::fchmod(fd, 0644);
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    fail("write", path, error);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    fail("write", path, error);
  }
}

std::string default_output_name(const std::string& service, host::ByteView image) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  const std::string extension(host::image_extension(host::sniff_image_mime(image)));
  std::string name = "zantrel-" + service + "-" + stamp + "." + extension;
  for (int i = 2; std::filesystem::exists(name); ++i) {
    name = "zantrel-" + service + "-" + stamp + "-" + std::to_string(i) + "." + extension;
  }
  return name;
}

std::string json_report(const host::ServiceResult& result, const std::optional<std::string>& out,
                        host::Dialect dialect) {
  using json = nlohmann::ordered_json;
  json report = json::object();
  report["ok"] = result.ok();
  report["code"] = result.code() ? json(std::string(host::to_string(*result.code()))) : json();
  report["msg"] = result.msg() ? json(*result.msg()) : json();
  report["kind"] = result.bytes() ? json("bytes") : result.link() ? json("link") : json();
  report["bytes"] = result.bytes() ? json(result.bytes()->size()) : json();
  report["sha256"] = result.bytes() ? json(sha256_hex(*result.bytes())) : json();
  report["out"] = out ? json(*out) : json();
  report["link"] = result.link() ? json(*result.link()) : json();
  report["dialect"] = host::to_string(dialect);
  return report.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace zantrel::cli
