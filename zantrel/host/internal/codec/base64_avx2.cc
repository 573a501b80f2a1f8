// Vectorised base64 after Muła and Lemire, "Faster Base64 Encoding and Decoding Using AVX2
// Instructions" (2018). Each function carries the AVX2 target itself, so nothing here leaks
// AVX2 code into other translation units.
#include "zantrel/host/internal/codec/base64_avx2.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ZANTREL_AVX2_KERNELS 1
#define ZANTREL_TARGET_AVX2 __attribute__((target("avx2")))
#endif

namespace zantrel::host::internal {

#ifdef ZANTREL_AVX2_KERNELS
namespace {

// Expects input bytes 0..11 in bytes 4..15 of the low lane and bytes 12..23 in bytes 0..11 of
// the high lane; spreads each 3-byte group over four bytes holding one 6-bit value each.
ZANTREL_TARGET_AVX2 inline __m256i encode_reshuffle(__m256i input) {
  const __m256i in = _mm256_shuffle_epi8(
      input, _mm256_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1,  //
                             14, 15, 13, 14, 11, 12, 10, 11, 8, 9, 7, 8, 5, 6, 4, 5));
  const __m256i t0 = _mm256_and_si256(in, _mm256_set1_epi32(0x0FC0FC00));
  const __m256i t1 = _mm256_mulhi_epu16(t0, _mm256_set1_epi32(0x04000040));
  const __m256i t2 = _mm256_and_si256(in, _mm256_set1_epi32(0x003F03F0));
  const __m256i t3 = _mm256_mullo_epi16(t2, _mm256_set1_epi32(0x01000010));
  return _mm256_or_si256(t1, t3);
}

// 6-bit values to alphabet characters: one offset per range, picked by a table lookup.
ZANTREL_TARGET_AVX2 inline __m256i encode_translate(__m256i in) {
  const __m256i offsets =
      _mm256_setr_epi8(65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0,  //
                       65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0);
  __m256i index = _mm256_subs_epu8(in, _mm256_set1_epi8(51));
  const __m256i above_25 = _mm256_cmpgt_epi8(in, _mm256_set1_epi8(25));
  index = _mm256_sub_epi8(index, above_25);
  return _mm256_add_epi8(in, _mm256_shuffle_epi8(offsets, index));
}

// Packs 32 6-bit values into 24 bytes at the start of the register.
ZANTREL_TARGET_AVX2 inline __m256i decode_reshuffle(__m256i in) {
  const __m256i pairs = _mm256_maddubs_epi16(in, _mm256_set1_epi32(0x01400140));
  const __m256i groups = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
  const __m256i packed = _mm256_shuffle_epi8(
      groups, _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,  //
                               2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
  return _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, -1, -1));
}

ZANTREL_TARGET_AVX2 inline void store_encoded(__m256i block, char* out) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), encode_translate(encode_reshuffle(block)));
}

}  // namespace

bool avx2_available() noexcept {
  static const bool available = __builtin_cpu_supports("avx2") != 0;
  return available;
}

ZANTREL_TARGET_AVX2 std::size_t avx2_encode_prefix(const std::uint8_t* in, std::size_t n,
                                                   char* out) noexcept {
  if (n < 32) return 0;
  // The first block is loaded from its start and moved up four bytes; later blocks are loaded
  // from four bytes before their start, so every load stays inside the input.
  const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
  store_encoded(_mm256_permutevar8x32_epi32(first, _mm256_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6)), out);
  std::size_t at = 24;
  out += 32;
  for (; at + 28 <= n; at += 24, out += 32) {
    store_encoded(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + at - 4)), out);
  }
  return at;
}

ZANTREL_TARGET_AVX2 std::size_t avx2_decode_prefix(const char* in, std::size_t n,
                                                   std::uint8_t* out) noexcept {
  // Class bits of each low and high nibble: a character is in the alphabet exactly when its
  // two lookups share no bit.
  const __m256i class_lo = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                            0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A,  //
                                            0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                            0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m256i class_hi = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10,
                                            0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,  //
                                            0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10,
                                            0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  // Offset from character to value, by high nibble ("/" gets its own slot).
  const __m256i offsets =
      _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0,
                       0,  //
                       0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i mask_2f = _mm256_set1_epi8(0x2F);
  std::size_t at = 0;
  for (; at + 32 <= n; at += 32, out += 24) {
    const __m256i text = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + at));
    const __m256i hi_nibbles = _mm256_and_si256(_mm256_srli_epi32(text, 4), mask_2f);
    const __m256i lo_nibbles = _mm256_and_si256(text, mask_2f);
    const __m256i hi = _mm256_shuffle_epi8(class_hi, hi_nibbles);
    const __m256i lo = _mm256_shuffle_epi8(class_lo, lo_nibbles);
    if (_mm256_testz_si256(lo, hi) == 0) break;
    const __m256i is_slash = _mm256_cmpeq_epi8(text, mask_2f);
    const __m256i values =
        _mm256_add_epi8(text, _mm256_shuffle_epi8(offsets, _mm256_add_epi8(is_slash, hi_nibbles)));
    const __m256i packed = decode_reshuffle(values);
    // Exactly 24 bytes: the output holds nothing beyond the decoded data.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(packed, 1));
  }
  return at;
}

#else

bool avx2_available() noexcept { return false; }
std::size_t avx2_encode_prefix(const std::uint8_t*, std::size_t, char*) noexcept { return 0; }
std::size_t avx2_decode_prefix(const char*, std::size_t, std::uint8_t*) noexcept { return 0; }

#endif

}  // namespace zantrel::host::internal
