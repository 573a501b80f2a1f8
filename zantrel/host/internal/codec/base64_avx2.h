#pragma once

#include <cstddef>
#include <cstdint>

namespace zantrel::host::internal {

// AVX2 kernels for the bulk of a base64 text; the scalar codec finishes what they leave.
// Callers check avx2_available() first: the kernels are compiled for AVX2 only, so the library
// still runs on older processors.

bool avx2_available() noexcept;

// Encodes whole 24-byte blocks of `in` while at least 32 bytes stay readable from the block
// start. Returns how many input bytes were encoded (a multiple of 3); `out` receives 4/3 as
// many characters.
std::size_t avx2_encode_prefix(const std::uint8_t* in, std::size_t n, char* out) noexcept;

// Decodes whole 32-character blocks of `in` up to the first block holding anything but the 64
// alphabet characters ("=" included). Returns the characters consumed (a multiple of 32); `out`
// receives 3/4 as many bytes.
std::size_t avx2_decode_prefix(const char* in, std::size_t n, std::uint8_t* out) noexcept;

}  // namespace zantrel::host::internal
