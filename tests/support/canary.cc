#include "tests/support/canary.h"

#include <cctype>
#include <fstream>
#include <iterator>
#include <random>

#include "zantrel/host/codec/base64.h"

namespace zantrel::test_support {

std::string make_canary_key() {
  std::random_device seed;
  std::mt19937_64 random((static_cast<std::uint64_t>(seed()) << 32) | seed());
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string key = "zk-canary-";
  for (int i = 0; i < 24; ++i) key.push_back(kAlphabet[random() % (sizeof kAlphabet - 1)]);
  return key + "/+=~" + std::to_string(random() % 100000);
}

std::vector<std::string> canary_forms(const std::string& key) {
  std::vector<std::string> forms = {key};
  std::string encoded;
  for (unsigned char c : key) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      encoded.push_back(static_cast<char>(c));
    } else {
      static constexpr char kHex[] = "0123456789ABCDEF";
      encoded += {'%', kHex[c >> 4], kHex[c & 15]};
    }
  }
  forms.push_back(encoded);
  for (std::size_t skip = 0; skip < 3; ++skip) {
    const std::string_view rest = std::string_view(key).substr(skip);
    const std::string whole(rest.substr(0, rest.size() / 3 * 3));
    forms.push_back(host::base64_encode(host::as_bytes(whole)));
  }
  return forms;
}

bool leaks(std::string_view text, const std::string& key) {
  for (const std::string& form : canary_forms(key)) {
    if (text.find(form) != std::string_view::npos) return true;
  }
  return false;
}

std::vector<std::string> leaking_files(const std::filesystem::path& dir, const std::string& key) {
  std::vector<std::string> found;
  if (!std::filesystem::exists(dir)) return found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    if (leaks(bytes, key)) found.push_back(entry.path().string());
  }
  return found;
}

}  // namespace zantrel::test_support
