#include "zantrel/host/http/address_policy.h"

#include <arpa/inet.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

namespace zantrel::host {
namespace {

struct Block4 {
  std::uint32_t network;
  int prefix;
};

constexpr std::uint32_t ip4(unsigned a, unsigned b, unsigned c, unsigned d) {
  return (a << 24) | (b << 16) | (c << 8) | d;
}

constexpr std::array<Block4, 16> kNonPublic4 = {{
    {ip4(0, 0, 0, 0), 8},        // "this network"
    {ip4(10, 0, 0, 0), 8},       // private
    {ip4(100, 64, 0, 0), 10},    // shared address space (carrier NAT)
    {ip4(127, 0, 0, 0), 8},      // loopback
    {ip4(169, 254, 0, 0), 16},   // link-local (cloud metadata lives here)
    {ip4(172, 16, 0, 0), 12},    // private
    {ip4(192, 0, 0, 0), 24},     // protocol assignments
    {ip4(192, 0, 2, 0), 24},     // documentation
    {ip4(192, 88, 99, 0), 24},   // 6to4 relay anycast
    {ip4(192, 168, 0, 0), 16},   // private
    {ip4(198, 18, 0, 0), 15},    // benchmarking
    {ip4(198, 51, 100, 0), 24},  // documentation
    {ip4(203, 0, 113, 0), 24},   // documentation
    {ip4(224, 0, 0, 0), 4},      // multicast
    {ip4(240, 0, 0, 0), 4},      // reserved, broadcast
    {ip4(255, 255, 255, 255), 32},
}};

bool public4(std::uint32_t address) {
  for (const Block4& block : kNonPublic4) {
    const std::uint32_t mask = block.prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - block.prefix);
    if ((address & mask) == block.network) return false;
  }
  return true;
}

std::uint32_t read4(const std::uint8_t* bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

bool public6(const std::uint8_t (&a)[16]) {
  static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  static constexpr std::uint8_t kNat64[12] = {0, 0x64, 0xff, 0x9b, 0, 0, 0, 0, 0, 0, 0, 0};
  static constexpr std::uint8_t kZero[12] = {};
  if (std::memcmp(a, kMapped, 12) == 0 || std::memcmp(a, kNat64, 12) == 0) {
    return public4(read4(a + 12));
  }
  if (std::memcmp(a, kZero, 12) == 0) return false;         // ::, ::1, IPv4-compatible
  if ((a[0] & 0xfe) == 0xfc) return false;                  // unique local fc00::/7
  if (a[0] == 0xfe && (a[1] & 0xc0) == 0x80) return false;  // link-local fe80::/10
  if (a[0] == 0xfe && (a[1] & 0xc0) == 0xc0) return false;  // site-local fec0::/10
  if (a[0] == 0xff) return false;                           // multicast
  if (a[0] == 0x20 && a[1] == 0x01 && a[2] == 0x0d && a[3] == 0xb8) return false;       // docs
  if (a[0] == 0x01 && a[1] == 0x00 && std::memcmp(a + 2, kZero, 6) == 0) return false;  // discard
  if (a[0] == 0x20 && a[1] == 0x02) return public4(read4(a + 2));  // 6to4 carries an IPv4
  return true;
}

}  // namespace

bool is_public_address(std::string_view address) noexcept {
  if (address.empty() || address.size() > 64) return false;
  char text[65] = {};
  address.copy(text, address.size());
  in_addr v4{};
  if (::inet_pton(AF_INET, text, &v4) == 1) return public4(ntohl(v4.s_addr));
  // Link-local addresses may carry a zone ("fe80::1%eth0"); the zone does not change the verdict.
  if (char* zone = std::strchr(text, '%')) *zone = '\0';
  std::uint8_t v6[16];
  if (::inet_pton(AF_INET6, text, v6) == 1) return public6(v6);
  return false;
}

}  // namespace zantrel::host
