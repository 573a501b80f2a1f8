#include "zantrel/host/codec/sha256.h"

#include <openssl/evp.h>

#include <array>
#include <memory>
#include <stdexcept>
#include <vector>

namespace zantrel::host {

namespace {

using Context = std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)>;

Context started() {
  Context context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 failed");
  }
  return context;
}

void update(const Context& context, const void* data, std::size_t size) {
  if (EVP_DigestUpdate(context.get(), data, size) != 1) throw std::runtime_error("SHA-256 failed");
}

std::string finished(const Context& context) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1) {
    throw std::runtime_error("SHA-256 failed");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(std::size_t{2} * length);
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0xF];
  }
  return hex;
}

}  // namespace

std::string sha256_hex(std::initializer_list<ByteView> pieces) {
  const Context context = started();
  for (const ByteView piece : pieces) update(context, piece.data(), piece.size());
  return finished(context);
}

std::string sha256_hex(const std::function<std::size_t(char* out, std::size_t space)>& read) {
  const Context context = started();
  std::vector<char> buffer(std::size_t{256} << 10);
  while (const std::size_t n = read(buffer.data(), buffer.size()))
    update(context, buffer.data(), n);
  return finished(context);
}

std::string sha256_hex(ByteView bytes) { return sha256_hex({bytes}); }

}  // namespace zantrel::host
