#include "skin_scan.h"

#include "face_region.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavrin::sunglasses {

namespace {

void add_pixel(SkinRun &run, int32_t i) {
  ++run.count;
  if (run.first < 0) run.first = i;
  run.last = i;
}

#if defined(__SSE2__)

// Sixteen pixels are 48 bytes, three vectors. In vector k the lanes whose
// byte is a red one (byte index 2 mod 3) carry the result; the green and
// blue bytes of the same pixel are moved into those lanes by shifting in the
// one and two bytes before. Lanes that hold no red byte compute nonsense
// that the lane mask drops.
constexpr int kRedLanes[3] = {0x4924, 0x2492, 0x9249};

// Set bits of a 16-bit mask; inline, since without a popcount instruction
// the builtin becomes a library call.
inline int bit_count(int m) {
  m = m - ((m >> 1) & 0x5555);
  m = (m & 0x3333) + ((m >> 2) & 0x3333);
  m = (m + (m >> 4)) & 0x0F0F;
  return (m + (m >> 8)) & 0x1F;
}

// Rule A of is_skin_pixel as byte arithmetic: its "red above green" and
// "red above blue" follow from the differences above 15, red is then the
// largest channel, and the spread is red minus the smaller other one. Also
// the lanes where rule A fails and rule B's first tests hold: those pixels
// get rule B's shares one by one.
inline void classify(__m128i r, __m128i g, __m128i b, int &rule_a, int &maybe_b) {
  const __m128i zero = _mm_setzero_si128();
  auto above = [](__m128i x, char c) { return _mm_subs_epu8(x, _mm_set1_epi8(c)); }; // zero unless x > c
  const __m128i rg = _mm_subs_epu8(r, g), rb = _mm_subs_epu8(r, b);
  // A lane passes the lower bounds when none of its excesses is zero, and
  // the upper bounds (differences below 170) when neither excess over 169
  // is above zero.
  __m128i low = _mm_min_epu8(above(r, 95), above(g, 40));
  low = _mm_min_epu8(low, above(b, 20));
  low = _mm_min_epu8(low, above(rg, 15));
  low = _mm_min_epu8(low, above(rb, 15));
  const __m128i high = _mm_max_epu8(above(rg, static_cast<char>(169)), above(rb, static_cast<char>(169)));
  const int a_fails = _mm_movemask_epi8(_mm_cmpeq_epi8(low, zero)) | ~_mm_movemask_epi8(_mm_cmpeq_epi8(high, zero));
  __m128i pre_b = _mm_min_epu8(above(r, 60), above(g, 30));
  pre_b = _mm_min_epu8(pre_b, above(b, 15));
  pre_b = _mm_min_epu8(pre_b, rb);
  rule_a = ~a_fails & 0xFFFF;
  maybe_b = a_fails & ~_mm_movemask_epi8(_mm_cmpeq_epi8(pre_b, zero)) & 0xFFFF;
}

#endif

} // namespace

SkinRun scan_skin_run(const uint8_t *px, int32_t n) {
  SkinRun run{0, -1, -1};
  int32_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    const uint8_t *p = px + static_cast<size_t>(i) * 3;
    __m128i previous = _mm_setzero_si128();
    int skin[3];
    for (int k = 0; k < 3; ++k) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * k));
      const __m128i g = _mm_or_si128(_mm_slli_si128(v, 1), _mm_srli_si128(previous, 15));
      const __m128i b = _mm_or_si128(_mm_slli_si128(v, 2), _mm_srli_si128(previous, 14));
      previous = v;
      int rule_a = 0, maybe_b = 0;
      classify(v, g, b, rule_a, maybe_b);
      skin[k] = rule_a & kRedLanes[k];
      for (int m = maybe_b & kRedLanes[k]; m != 0; m &= m - 1) {
        const int lane = __builtin_ctz(m);
        const uint8_t *q = p + 16 * k + lane - 2;
        if (is_skin_pixel(q[0], q[1], q[2])) skin[k] |= 1 << lane;
      }
    }
    const int found = bit_count(skin[0]) + bit_count(skin[1]) + bit_count(skin[2]);
    if (found == 0) continue;
    run.count += found;
    // Pixel of lane j in vector k: (16k + j - 2) / 3.
    for (int k = 0; k < 3; ++k)
      if (skin[k] != 0) {
        if (run.first < 0) run.first = i + (16 * k + __builtin_ctz(skin[k]) - 2) / 3;
        break;
      }
    for (int k = 2; k >= 0; --k)
      if (skin[k] != 0) {
        run.last = i + (16 * k + 31 - __builtin_clz(skin[k]) - 2) / 3;
        break;
      }
  }
#endif
  for (; i < n; ++i) {
    const uint8_t *q = px + static_cast<size_t>(i) * 3;
    if (is_skin_pixel(q[0], q[1], q[2])) add_pixel(run, i);
  }
  return run;
}

} // namespace tavrin::sunglasses
