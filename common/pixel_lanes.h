// Small pieces the plug-ins' vector loops share.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavrin {

// Set bits of a 16-bit mask, without a popcount instruction (not in the
// x86-64 baseline, and elsewhere the builtin can become a library call).
inline uint32_t bit_count16(uint32_t m) {
  m = m - ((m >> 1) & 0x5555);
  m = (m & 0x3333) + ((m >> 2) & 0x3333);
  m = (m + (m >> 4)) & 0x0F0F;
  return (m + (m >> 8)) & 0x1F;
}

#if defined(__SSE2__)
// Sixteen three-byte pixels (48 bytes at p) as one vector per channel: byte i
// of `first` is p[3i], of `second` p[3i + 1], of `third` p[3i + 2]. Four rounds
// of the same byte interleave undo the three-way one.
inline void split_channels(const uint8_t *p, __m128i &first, __m128i &second, __m128i &third) {
  __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16));
  __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 32));
  for (int round = 0; round < 4; ++round) {
    const __m128i x = _mm_unpacklo_epi8(a, _mm_unpackhi_epi64(b, b));
    const __m128i y = _mm_unpacklo_epi8(_mm_unpackhi_epi64(a, a), c);
    const __m128i z = _mm_unpacklo_epi8(b, _mm_unpackhi_epi64(c, c));
    a = x, b = y, c = z;
  }
  first = a, second = b, third = c;
}
#endif

} // namespace tavrin
