#include "skin_scan.h"

#include <cstring>

#include "face_region.h"
#include "pixel_lanes.h"

namespace tavrin::sunglasses {

namespace {

#if defined(__SSE2__)

// Zero unless x > c (unsigned bytes).
inline __m128i above(__m128i x, int c) { return _mm_subs_epu8(x, _mm_set1_epi8(static_cast<char>(c))); }

// Rule B's shares of eight pixels (16-bit lanes) as whole numbers: with
// s = r + g + b + 1, r / s lies in (0.35, 0.55) when 7 s < 20 r < 11 s and
// g / s in (0.2, 0.4) when s < 5 g < 2 s. The doubles r * (1 / s) and
// g * (1 / s) are within 1e-15 of the quotients, which miss a bound by at
// least 1 / (20 * 766) unless they meet it exactly: lanes that meet one are
// marked in `ties` and decided by the rule itself.
inline void share_rule(__m128i r, __m128i g, __m128i b, int &in, int &ties) {
  const __m128i s = _mm_add_epi16(_mm_add_epi16(r, g), _mm_add_epi16(b, _mm_set1_epi16(1)));
  const __m128i r20 = _mm_mullo_epi16(r, _mm_set1_epi16(20)), g5 = _mm_mullo_epi16(g, _mm_set1_epi16(5));
  const __m128i s7 = _mm_mullo_epi16(s, _mm_set1_epi16(7)), s11 = _mm_mullo_epi16(s, _mm_set1_epi16(11));
  const __m128i s2 = _mm_add_epi16(s, s);
  __m128i yes = _mm_and_si128(_mm_cmpgt_epi16(r20, s7), _mm_cmpgt_epi16(s11, r20));
  yes = _mm_and_si128(yes, _mm_and_si128(_mm_cmpgt_epi16(g5, s), _mm_cmpgt_epi16(s2, g5)));
  __m128i on = _mm_or_si128(_mm_cmpeq_epi16(r20, s7), _mm_cmpeq_epi16(r20, s11));
  on = _mm_or_si128(on, _mm_or_si128(_mm_cmpeq_epi16(g5, s), _mm_cmpeq_epi16(g5, s2)));
  // One bit per lane: pack the 16-bit masks to bytes.
  in = _mm_movemask_epi8(_mm_packs_epi16(yes, _mm_setzero_si128()));
  ties = _mm_movemask_epi8(_mm_packs_epi16(on, _mm_setzero_si128()));
}

#endif

} // namespace

uint32_t skin_block_mask(const uint8_t *px) {
#if defined(__SSE2__)
  __m128i b, g, r;
  split_channels(px, b, g, r);
  const __m128i zero = _mm_setzero_si128();
  // Rule A as byte arithmetic: its "red above green" and "red above blue"
  // follow from the differences above 15, red is then the largest channel,
  // and the spread is red minus the smaller other one. A lane passes the
  // lower bounds when none of its excesses is zero, and the upper bounds
  // (differences below 170) when neither excess over 169 is above zero.
  const __m128i rg = _mm_subs_epu8(r, g), rb = _mm_subs_epu8(r, b);
  __m128i low = _mm_min_epu8(above(r, 95), above(g, 40));
  low = _mm_min_epu8(low, above(b, 20));
  low = _mm_min_epu8(low, above(rg, 15));
  low = _mm_min_epu8(low, above(rb, 15));
  const __m128i high = _mm_max_epu8(above(rg, 169), above(rb, 169));
  const int a_fails = _mm_movemask_epi8(_mm_cmpeq_epi8(low, zero)) | ~_mm_movemask_epi8(_mm_cmpeq_epi8(high, zero));
  const int rule_a = ~a_fails & 0xFFFF;
  // Rule B's first tests: red above 60 and blue, green above 30, blue above 15.
  __m128i pre_b = _mm_min_epu8(above(r, 60), above(g, 30));
  pre_b = _mm_min_epu8(pre_b, _mm_min_epu8(above(b, 15), rb));
  const int maybe_b = a_fails & ~_mm_movemask_epi8(_mm_cmpeq_epi8(pre_b, zero)) & 0xFFFF;
  if (maybe_b == 0) return static_cast<uint32_t>(rule_a);
  int lo_in, lo_ties, hi_in, hi_ties;
  share_rule(_mm_unpacklo_epi8(r, zero), _mm_unpacklo_epi8(g, zero), _mm_unpacklo_epi8(b, zero), lo_in, lo_ties);
  share_rule(_mm_unpackhi_epi8(r, zero), _mm_unpackhi_epi8(g, zero), _mm_unpackhi_epi8(b, zero), hi_in, hi_ties);
  const int ties = (lo_ties | hi_ties << 8) & maybe_b;
  int skin = rule_a | ((lo_in | hi_in << 8) & maybe_b & ~ties);
  for (int m = ties; m != 0; m &= m - 1) {
    const int i = __builtin_ctz(static_cast<unsigned>(m));
    if (is_skin_pixel(px[3 * i], px[3 * i + 1], px[3 * i + 2])) skin |= 1 << i;
  }
  return static_cast<uint32_t>(skin);
#else
  uint32_t skin = 0;
  for (int i = 0; i < 16; ++i)
    if (is_skin_pixel(px[3 * i], px[3 * i + 1], px[3 * i + 2])) skin |= 1u << i;
  return skin;
#endif
}

SkinRun scan_skin_run(const uint8_t *px, int32_t n, int64_t readable) {
  SkinRun run{0, -1, -1};
  auto take = [&run](int32_t i, uint32_t skin) {
    if (skin == 0) return;
    run.count += static_cast<int32_t>(bit_count16(skin));
    if (run.first < 0) run.first = i + __builtin_ctz(skin);
    run.last = i + 31 - __builtin_clz(skin);
  };
  int32_t i = 0;
  for (; i + 16 <= n; i += 16) take(i, skin_block_mask(px + static_cast<size_t>(i) * 3));
  if (i < n) {
    // The bits of the lanes past the run are dropped. Where those pixels
    // may not be read, the last few go through a block of their own.
    const int32_t left = n - i;
    const uint32_t lanes = (1u << left) - 1;
    if (readable - i >= 16) {
      take(i, skin_block_mask(px + static_cast<size_t>(i) * 3) & lanes);
    } else {
      uint8_t tail[48] = {};
      std::memcpy(tail, px + static_cast<size_t>(i) * 3, static_cast<size_t>(left) * 3);
      take(i, skin_block_mask(tail) & lanes);
    }
  }
  return run;
}

} // namespace tavrin::sunglasses
