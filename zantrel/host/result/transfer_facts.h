#pragma once

#include <cstdint>
#include <optional>

namespace zantrel::host {

// What the HTTP stack learnt about one exchange, on a response and on a failure alike. An
// HttpClient that can't tell leaves a field empty; callers then treat it as unknown.
struct TransferFacts {
  // The whole request went out (headers and body). Decides whether a failed exchange may have
  // been run by the service.
  std::optional<bool> request_sent;
  // Seconds from the start of the exchange.
  std::optional<double> connect_s;              // connection ready (TLS included; 0 when reused)
  std::optional<double> sent_s;                 // request sent complete
  std::optional<double> first_byte_s;           // first byte of the answer
  std::optional<double> total_s;                // exchange over
  std::optional<std::uint64_t> bytes_sent;      // request line, headers and body
  std::optional<std::uint64_t> bytes_received;  // status line, headers and body
};

}  // namespace zantrel::host
