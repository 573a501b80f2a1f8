#pragma once

#include <string_view>

namespace zantrel::host {

// Which addresses link fetches may connect to.
enum class LinkAddressPolicy {
  kAny,         // whatever the link names (the default; needed for local services)
  kPublicOnly,  // refuse private, loopback, link-local and other non-public addresses
};

// True for a numeric IPv4 or IPv6 address that is routable on the public internet: not
// private (10/8, 172.16/12, 192.168/16, fc00::/7), loopback, link-local (169.254/16,
// fe80::/10), shared (100.64/10), unspecified, multicast, reserved or documentation ranges.
// IPv4-mapped and NAT64 IPv6 addresses are judged by their IPv4 part. Anything that does not
// parse counts as not public.
bool is_public_address(std::string_view address) noexcept;

}  // namespace zantrel::host
