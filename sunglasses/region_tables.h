// Summed-area tables over the rectangle of the picture that the fine eye
// search reads, and the window scores and lower bounds taken from them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory_resource>
#include <new>

#include "eye_maps.h"
#include "overlay_types.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavrin::sunglasses {

// Taken off the cheap lower bounds of window scores, far more than their rounding.
inline constexpr double kBoundSlack = 1e-3;
// The score of a window that can be in no pair.
inline constexpr double kNoScore = std::numeric_limits<double>::infinity();

// window_score (reference/whole_picture_tables.h) from a window's three sums,
// in the same operations. A NaN score (a variance rounded below zero) can
// never be part of a winning pair, and neither can +inf, so NaN becomes +inf
// and all comparisons stay ordered.
inline double score_from_sums(int64_t s, int64_t q, int64_t e, int64_t n) {
  const double mean = static_cast<double>(s) / n;
  const double mean_square = static_cast<double>(q) / n;
  const double v = mean_square - mean * mean;
  const double score =
      (static_cast<double>(s) / n - 1.5 * std::sqrt(v)) - 0.8 * (static_cast<double>(e) / n);
  return score == score ? score : kNoScore;
}

// Summed-area tables over a rectangle of the picture, with a zero row and
// column in front so a window sum needs no tests. Window sums are exact
// integers, the same as those of tables over the whole picture. Cells are
// doubles that hold whole numbers below 2^53 (65025 times the pixels of a
// picture that can be saved), so sums of them are exact as well and need no
// conversion.
struct RegionTables {
  int32_t x0 = 0, y0 = 0; // picture position of the rectangle's first pixel
  int32_t stride = 0;     // rectangle width + 1
  // The three tables one after the other, from the memory the tables were
  // made with (the call's arena): every cell is written before it is
  // read, so the memory is not cleared first.
  std::pmr::memory_resource *memory;
  double *cells = nullptr;
  size_t cell_count = 0;
  const double *gray = nullptr, *square = nullptr, *eye = nullptr;

  explicit RegionTables(std::pmr::memory_resource *m = std::pmr::get_default_resource()) : memory(m) {}
  ~RegionTables() { release(); }
  RegionTables(const RegionTables &) = delete;
  RegionTables &operator=(const RegionTables &) = delete;

  void release() {
    if (cells != nullptr) memory->deallocate(cells, cell_count * sizeof(double), alignof(double));
    cells = nullptr;
    cell_count = 0;
  }

  void build(const BmpImage &image, int32_t left, int32_t top, int32_t right, int32_t bottom) {
    left = std::max(left, 0);
    top = std::max(top, 0);
    right = std::min(right, image.width - 1);
    bottom = std::min(bottom, image.height - 1);
    x0 = left;
    y0 = top;
    const int32_t w = std::max(right - left + 1, 0), h = std::max(bottom - top + 1, 0);
    stride = w + 1;
    const size_t n = static_cast<size_t>(stride) * (h + 1);
    release();
    if (n > SIZE_MAX / (3 * sizeof(double))) throw std::bad_alloc();
    cells = static_cast<double *>(memory->allocate(3 * n * sizeof(double), alignof(double)));
    cell_count = 3 * n;
    double *const gray = cells, *const square = gray + n, *const eye = square + n;
    this->gray = gray, this->square = square, this->eye = eye;
    // The zero row in front, and the zero column of every row.
    std::fill(gray, gray + stride, 0.0);
    std::fill(square, square + stride, 0.0);
    std::fill(eye, eye + stride, 0.0);
    for (int32_t r = 1; r <= h; ++r) {
      const size_t at = static_cast<size_t>(r) * stride;
      gray[at] = square[at] = eye[at] = 0;
    }
    std::pmr::vector<uint8_t> gray_row(static_cast<size_t>(w), memory), eye_row(static_cast<size_t>(w), memory);
    for (int32_t r = 0; r < h; ++r) {
      gray_and_eye_values(image.pixels + (static_cast<size_t>(top + r) * image.width + left) * 3, w,
                          gray_row.data(), eye_row.data());
      const size_t above = static_cast<size_t>(r) * stride, row = above + stride;
      int64_t sg = 0, sq = 0, se = 0;
      for (int32_t c = 0; c < w; ++c) {
        const int64_t v = gray_row[c];
        sg += v;
        sq += v * v;
        se += eye_row[c];
        gray[row + c + 1] = gray[above + c + 1] + static_cast<double>(sg);
        square[row + c + 1] = square[above + c + 1] + static_cast<double>(sq);
        eye[row + c + 1] = eye[above + c + 1] + static_cast<double>(se);
      }
    }
  }

  // Sum of `table` over the inclusive picture window, which lies inside.
  double sum(const double *table, int32_t xa, int32_t ya, int32_t xb, int32_t yb) const {
    const size_t top = static_cast<size_t>(ya - y0) * stride, bottom = static_cast<size_t>(yb - y0 + 1) * stride;
    const size_t a = static_cast<size_t>(xa - x0), b = static_cast<size_t>(xb - x0 + 1);
    return table[bottom + b] - table[bottom + a] - table[top + b] + table[top + a];
  }

#if defined(__SSE2__)
  // Sums of `t` over two windows side by side: the table offsets of the
  // first one's corner rows are `top` and `bottom`, its corner columns a
  // and b; the second is one column further.
  static __m128d pair_sums(const double *t, size_t top, size_t bottom, size_t a, size_t b) {
    return _mm_add_pd(_mm_sub_pd(_mm_sub_pd(_mm_loadu_pd(t + bottom + b), _mm_loadu_pd(t + bottom + a)),
                                 _mm_loadu_pd(t + top + b)),
                      _mm_loadu_pd(t + top + a));
  }
#endif

  // Scores of the w x h windows at (x + k, y) for k = 0 .. count - 1.
  void score_run(int32_t x, int32_t y, int32_t w, int32_t h, int32_t count, double *out) const {
    const size_t top = static_cast<size_t>(y - y0) * stride, bottom = static_cast<size_t>(y - y0 + h) * stride;
    const size_t a = static_cast<size_t>(x - x0), b = a + w;
    const int64_t n = int64_t{w} * h;
    const double *g = gray, *q = square, *e = eye;
    int32_t k = 0;
#if defined(__SSE2__)
    // Two windows at a time, the same operations in the same order.
    const __m128d count_d = _mm_set1_pd(static_cast<double>(n));
    auto window_sums = [&](const double *t, size_t at) { return pair_sums(t, top + at, bottom + at, a, b); };
    for (; k + 2 <= count; k += 2) {
      const size_t at = static_cast<size_t>(k);
      const __m128d mean = _mm_div_pd(window_sums(g, at), count_d);
      const __m128d mean_square = _mm_div_pd(window_sums(q, at), count_d);
      const __m128d v = _mm_sub_pd(mean_square, _mm_mul_pd(mean, mean));
      const __m128d e_mean = _mm_div_pd(window_sums(e, at), count_d);
      const __m128d score = _mm_sub_pd(_mm_sub_pd(mean, _mm_mul_pd(_mm_set1_pd(1.5), _mm_sqrt_pd(v))),
                                       _mm_mul_pd(_mm_set1_pd(0.8), e_mean));
      // NaN, from a variance rounded below zero, becomes +inf as below.
      const __m128d nan = _mm_cmpunord_pd(score, score);
      _mm_storeu_pd(out + k, _mm_or_pd(_mm_andnot_pd(nan, score), _mm_and_pd(nan, _mm_set1_pd(kNoScore))));
    }
#endif
    for (; k < count; ++k) {
      const size_t ta = top + a + k, tb = top + b + k, ba = bottom + a + k, bb = bottom + b + k;
      out[k] = score_from_sums(static_cast<int64_t>(g[bb] - g[ba] - g[tb] + g[ta]),
                               static_cast<int64_t>(q[bb] - q[ba] - q[tb] + q[ta]),
                               static_cast<int64_t>(e[bb] - e[ba] - e[tb] + e[ta]), n);
    }
  }

  // A lower bound on the score of every w x h window whose top-left corner
  // lies in [xa, xb] x [ya, yb]. Over such a window W, with I the pixels all
  // of them share and U the pixels any of them covers: the grey sum is at
  // least that over I, the eye-map sum at most that over U, and the sum of
  // squared deviations from W's mean at most that over U from U's mean. The
  // margin covers the rounding of both this bound and the score (a few
  // 1e-6 at most, from square roots of variances near zero).
  double score_bound(int32_t xa, int32_t xb, int32_t ya, int32_t yb, int32_t w, int32_t h) const {
    const double n = static_cast<double>(int64_t{w} * h);
    double shared_gray = 0;
    if (xb <= xa + w - 1 && yb <= ya + h - 1)
      shared_gray = static_cast<double>(sum(gray, xb, yb, xa + w - 1, ya + h - 1));
    const int32_t ux = xb + w - 1, uy = yb + h - 1;
    const double nu = static_cast<double>(int64_t{ux - xa + 1} * (uy - ya + 1));
    const double su = static_cast<double>(sum(gray, xa, ya, ux, uy));
    const double qu = static_cast<double>(sum(square, xa, ya, ux, uy));
    const double eu = static_cast<double>(sum(eye, xa, ya, ux, uy));
    const double mean_u = su / nu;
    const double spread = std::max(qu / nu - mean_u * mean_u, 0.0);
    return ((shared_gray / n - 1.5 * std::sqrt(nu * spread / n)) - 0.8 * (eu / n)) - 1e-3;
  }

  // Lower bounds on the scores score_run gives the same windows, cheaper:
  // products with 1 / n stand in for the quotients, and square roots are
  // taken in single precision. They differ from the scores by rounding
  // only, 1e-4 at most (from the square roots), and kBoundSlack is taken
  // off. Returns the lowest.
  double bound_run(int32_t x, int32_t y, int32_t w, int32_t h, int32_t count, double *out) const {
    const size_t top = static_cast<size_t>(y - y0) * stride, bottom = static_cast<size_t>(y - y0 + h) * stride;
    const size_t a = static_cast<size_t>(x - x0), b = a + w;
    const double inv = 1.0 / static_cast<double>(int64_t{w} * h);
    const double *g = gray, *q = square, *e = eye;
    double low = kNoScore;
    int32_t k = 0;
#if defined(__SSE2__)
    const __m128d inv_d = _mm_set1_pd(inv);
    auto window_sums = [&](const double *t, size_t at) { return pair_sums(t, top + at, bottom + at, a, b); };
    // Mean, spread and eye-map mean of two windows; the spread's square
    // root comes later, four at a time in single precision.
    auto parts = [&](size_t at, __m128d &mean, __m128d &v, __m128d &e_mean) {
      mean = _mm_mul_pd(window_sums(g, at), inv_d);
      v = _mm_max_pd(_mm_sub_pd(_mm_mul_pd(window_sums(q, at), inv_d), _mm_mul_pd(mean, mean)), _mm_setzero_pd());
      e_mean = _mm_mul_pd(window_sums(e, at), inv_d);
    };
    auto finish = [&](__m128d mean, __m128d root, __m128d e_mean) {
      return _mm_sub_pd(_mm_sub_pd(_mm_sub_pd(mean, _mm_mul_pd(_mm_set1_pd(1.5), root)),
                                   _mm_mul_pd(_mm_set1_pd(0.8), e_mean)),
                        _mm_set1_pd(kBoundSlack));
    };
    __m128d low2 = _mm_set1_pd(kNoScore);
    for (; k + 4 <= count; k += 4) {
      const size_t at = static_cast<size_t>(k);
      __m128d m0, v0, e0, m1, v1, e1;
      parts(at, m0, v0, e0);
      parts(at + 2, m1, v1, e1);
      const __m128 roots = _mm_sqrt_ps(_mm_movelh_ps(_mm_cvtpd_ps(v0), _mm_cvtpd_ps(v1)));
      const __m128d b0 = finish(m0, _mm_cvtps_pd(roots), e0);
      const __m128d b1 = finish(m1, _mm_cvtps_pd(_mm_movehl_ps(roots, roots)), e1);
      _mm_storeu_pd(out + k, b0);
      _mm_storeu_pd(out + k + 2, b1);
      low2 = _mm_min_pd(low2, _mm_min_pd(b0, b1));
    }
    low = std::min(_mm_cvtsd_f64(low2), _mm_cvtsd_f64(_mm_unpackhi_pd(low2, low2)));
#endif
    for (; k < count; ++k) {
      const size_t ta = top + a + k, tb = top + b + k, ba = bottom + a + k, bb = bottom + b + k;
      const double mean = (g[bb] - g[ba] - g[tb] + g[ta]) * inv;
      const double v = std::max((q[bb] - q[ba] - q[tb] + q[ta]) * inv - mean * mean, 0.0);
      const double e_mean = (e[bb] - e[ba] - e[tb] + e[ta]) * inv;
      out[k] = ((mean - 1.5 * std::sqrt(v)) - 0.8 * e_mean) - kBoundSlack;
      low = std::min(low, out[k]);
    }
    return low;
  }
};

} // namespace tavrin::sunglasses
