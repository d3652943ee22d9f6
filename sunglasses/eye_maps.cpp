#include "eye_maps.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavrin::sunglasses {

void gray_and_eye_values(const uint8_t *px, int32_t n, uint8_t *gray, uint8_t *eye) {
  int32_t i = 0;
#if defined(__SSE2__)
  const __m128d zero = _mm_setzero_pd(), top = _mm_set1_pd(255), offset = _mm_set1_pd(128);
  for (; i + 2 <= n; i += 2, px += 6) {
    const __m128d b = _mm_set_pd(px[3], px[0]), g = _mm_set_pd(px[4], px[1]), r = _mm_set_pd(px[5], px[2]);
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
    const __m128i yi = _mm_cvttpd_epi32(y), vi = _mm_cvttpd_epi32(v);
    gray[i] = static_cast<uint8_t>(_mm_cvtsi128_si32(yi));
    gray[i + 1] = static_cast<uint8_t>(_mm_cvtsi128_si32(_mm_srli_si128(yi, 4)));
    eye[i] = static_cast<uint8_t>(_mm_cvtsi128_si32(vi));
    eye[i + 1] = static_cast<uint8_t>(_mm_cvtsi128_si32(_mm_srli_si128(vi, 4)));
  }
#endif
  for (; i < n; ++i, px += 3) {
    gray[i] = gray_value(px[0], px[1], px[2]);
    eye[i] = eye_map_value(px[0], px[1], px[2]);
  }
}

} // namespace tavrin::sunglasses
