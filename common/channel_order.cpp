#include "channel_order.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavrin {

namespace {

#if defined(__SSE2__)
// Sixteen pixels are three vectors. In vector k, byte j of the output comes
// from two bytes later (pixel start), the same byte (green) or two bytes
// earlier (pixel end), by the position 16k + j mod 3; the bytes shifted in
// across a vector edge come from the neighbouring vector.
inline __m128i lanes(int phase) {
  alignas(16) uint8_t m[16];
  for (int j = 0; j < 16; ++j) m[j] = (j + phase) % 3 == 0 ? 0xFF : 0;
  return _mm_load_si128(reinterpret_cast<const __m128i *>(m));
}

void swap_blocks(uint8_t *to, const uint8_t *from, size_t blocks) {
  // Output byte p takes from[p + 2] when p % 3 == 0 and from[p - 2] when
  // p % 3 == 2; vector k starts at p = 16k, so its phase is 16k mod 3.
  const __m128i start[3] = {lanes(0), lanes(1), lanes(2)};
  const __m128i end[3] = {lanes(1), lanes(2), lanes(0)};
  const __m128i green[3] = {lanes(2), lanes(0), lanes(1)};
  for (size_t n = 0; n < blocks; ++n, to += 48, from += 48) {
    const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from));
    const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + 16));
    const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + 32));
    const __m128i v[3] = {v0, v1, v2};
    __m128i out[3];
    for (int k = 0; k < 3; ++k) {
      __m128i later = _mm_srli_si128(v[k], 2), earlier = _mm_slli_si128(v[k], 2);
      if (k < 2) later = _mm_or_si128(later, _mm_slli_si128(v[k + 1], 14));
      if (k > 0) earlier = _mm_or_si128(earlier, _mm_srli_si128(v[k - 1], 14));
      // Phases of vectors 0, 1, 2: 0, 1, 2 (16 mod 3 is 1).
      out[k] = _mm_or_si128(_mm_or_si128(_mm_and_si128(later, start[k]), _mm_and_si128(v[k], green[k])),
                            _mm_and_si128(earlier, end[k]));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i *>(to), out[0]);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(to + 16), out[1]);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(to + 32), out[2]);
  }
}
#endif

} // namespace

void swap_red_blue(uint8_t *to, const uint8_t *from, size_t pixels) {
  size_t i = 0;
#if defined(__SSE2__)
  const size_t blocks = pixels / 16;
  swap_blocks(to, from, blocks);
  i = blocks * 16;
#endif
  for (; i < pixels; ++i) {
    const uint8_t first = from[3 * i], second = from[3 * i + 1], third = from[3 * i + 2];
    to[3 * i] = third;
    to[3 * i + 1] = second;
    to[3 * i + 2] = first;
  }
}

} // namespace tavrin
