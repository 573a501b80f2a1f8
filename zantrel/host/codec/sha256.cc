#include "zantrel/host/codec/sha256.h"

#include <openssl/evp.h>

#include <array>
#include <memory>
#include <stdexcept>

namespace zantrel::host {

std::string sha256_hex(std::initializer_list<ByteView> pieces) {
  const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(),
                                                                   &EVP_MD_CTX_free);
  bool fine = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
  for (const ByteView piece : pieces) {
    fine = fine && EVP_DigestUpdate(context.get(), piece.data(), piece.size()) == 1;
  }
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (!fine || EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1) {
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

std::string sha256_hex(ByteView bytes) { return sha256_hex({bytes}); }

}  // namespace zantrel::host
