#include "eye_maps.h"

#include "pixel_lanes.h"

namespace tavrin::sunglasses {

#if defined(__SSE2__)
namespace {

// gray_value and eye_map_value of two pixels whose channels are the doubles
// b, g, r, with the same operations; the results as two 32-bit lanes each.
inline void gray_and_eye_pair(__m128d b, __m128d g, __m128d r, __m128i &gray, __m128i &eye) {
  const __m128d zero = _mm_setzero_pd(), top = _mm_set1_pd(255), offset = _mm_set1_pd(128);
  const __m128d y = _mm_add_pd(_mm_add_pd(_mm_mul_pd(_mm_set1_pd(0.114), b), _mm_mul_pd(_mm_set1_pd(0.587), g)),
                               _mm_mul_pd(_mm_set1_pd(0.299), r));
  __m128d cb = _mm_sub_pd(_mm_mul_pd(_mm_set1_pd(0.5), b),
                          _mm_add_pd(_mm_mul_pd(_mm_set1_pd(0.331), g), _mm_mul_pd(_mm_set1_pd(0.169), r)));
  cb = _mm_add_pd(cb, offset);
  __m128d cr = _mm_sub_pd(_mm_sub_pd(_mm_mul_pd(_mm_set1_pd(0.5), r), _mm_mul_pd(_mm_set1_pd(0.419), g)),
                          _mm_mul_pd(_mm_set1_pd(0.081), b));
  cr = _mm_add_pd(cr, offset);
  // Clamping a zero of either sign gives a zero: the squares below agree.
  cb = _mm_min_pd(_mm_max_pd(cb, zero), top);
  cr = _mm_min_pd(_mm_max_pd(cr, zero), top);
  const __m128d inv_cr = _mm_sub_pd(top, cr);
  __m128d v = _mm_mul_pd(_mm_mul_pd(inv_cr, inv_cr), _mm_mul_pd(cb, cb));
  v = _mm_mul_pd(_mm_mul_pd(v, _mm_set1_pd(1.0 / 65025.0)), _mm_set1_pd(1.0 / 255.0));
  v = _mm_min_pd(v, top);
  gray = _mm_cvttpd_epi32(y);
  eye = _mm_cvttpd_epi32(v);
}

// Lanes 0..3 of 32-bit values from bytes 4q .. 4q + 3 of `bytes`.
inline __m128i quad(__m128i bytes, int q) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i words = q < 2 ? _mm_unpacklo_epi8(bytes, zero) : _mm_unpackhi_epi8(bytes, zero);
  return q % 2 == 0 ? _mm_unpacklo_epi16(words, zero) : _mm_unpackhi_epi16(words, zero);
}

// Sixteen pixels: channels split into planes, converted two at a time, and
// the results (0 .. 255, so saturating packs keep them) packed back to bytes.
void gray_and_eye_block(const uint8_t *px, uint8_t *gray, uint8_t *eye) {
  __m128i b8, g8, r8;
  split_channels(px, b8, g8, r8);
  __m128i gray32[4], eye32[4];
  for (int q = 0; q < 4; ++q) {
    const __m128i b = quad(b8, q), g = quad(g8, q), r = quad(r8, q);
    __m128i gl, el, gh, eh;
    gray_and_eye_pair(_mm_cvtepi32_pd(b), _mm_cvtepi32_pd(g), _mm_cvtepi32_pd(r), gl, el);
    gray_and_eye_pair(_mm_cvtepi32_pd(_mm_srli_si128(b, 8)), _mm_cvtepi32_pd(_mm_srli_si128(g, 8)),
                      _mm_cvtepi32_pd(_mm_srli_si128(r, 8)), gh, eh);
    gray32[q] = _mm_unpacklo_epi64(gl, gh);
    eye32[q] = _mm_unpacklo_epi64(el, eh);
  }
  auto pack = [](const __m128i *v) {
    return _mm_packus_epi16(_mm_packs_epi32(v[0], v[1]), _mm_packs_epi32(v[2], v[3]));
  };
  _mm_storeu_si128(reinterpret_cast<__m128i *>(gray), pack(gray32));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(eye), pack(eye32));
}

} // namespace
#endif

void gray_and_eye_values(const uint8_t *px, int32_t n, uint8_t *gray, uint8_t *eye) {
  int32_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16, px += 48) gray_and_eye_block(px, gray + i, eye + i);
#endif
  for (; i < n; ++i, px += 3) {
    gray[i] = gray_value(px[0], px[1], px[2]);
    eye[i] = eye_map_value(px[0], px[1], px[2]);
  }
}

} // namespace tavrin::sunglasses
