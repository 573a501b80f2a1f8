#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "zantrel/host/base/timeout.h"
#include "zantrel/host/http/address_policy.h"
#include "zantrel/version.h"

namespace zantrel::host {

// How the default HTTP stack (CurlHttpClient) behaves.
struct CurlHttpClientOptions {
  Timeout base_timeout{std::chrono::seconds(10), std::chrono::seconds(600)};
  // Responses above this size fail with ResponseTooLarge without being read further.
  std::size_t max_response_bytes = std::size_t{256} << 20;
  // Bundle of CA certificates to trust instead of the system's (empty = system bundle).
  std::string ca_file;
  std::string user_agent = "zantrel/" ZANTREL_VERSION_STRING;
  // Where link fetches (get) may connect. kPublicOnly is checked on the address actually
  // connected to, on every redirect hop, so neither DNS tricks nor redirects get around it.
  LinkAddressPolicy link_addresses = LinkAddressPolicy::kAny;
  // Connections being opened to one host (scheme, name, port) at once, over all calls of this
  // client; further calls wait for a place (0 = no bound). A burst of new connections beyond a
  // server's listen queue (as small as 5 on some servers) makes its kernel answer with SYN
  // cookies, and then with resets to requests longer than a segment. Connections are reused,
  // so only a burst pays, about one round trip (two with TLS) per this many connections.
  std::size_t max_connecting_per_host = 4;
};

}  // namespace zantrel::host
