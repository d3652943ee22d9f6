#include "skin_table.h"

#include <algorithm>
#include <new>

#include "pixel_buffer.h"
#include "pixel_lanes.h"


namespace tavrin::face_hat {

namespace {

#if defined(__SSE2__)
// Lanes of x above c (unsigned bytes) hold a non-zero excess.
inline __m128i excess(__m128i x, int c) { return _mm_subs_epu8(x, _mm_set1_epi8(static_cast<char>(c))); }

// Pixels that can be skin at all. Every test follows from the rule for the
// doubles as computed (they are within 1e-12 of the exact decimal values, and
// the bounds are whole numbers): Y > 80 needs the largest channel above 79;
// Cr > 133 needs 50000 r >= 500000 + 41869 g + 8131 b, so r >= 10 + g / 2 + g / 4;
// Cb < 127 needs b <= max(r, g) - 2; Cr < 173 needs r <= 90 + max(g, b).
inline int candidates(__m128i r, __m128i g, __m128i b) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i g_half = _mm_and_si128(_mm_srli_epi16(g, 1), _mm_set1_epi8(0x7F));
  const __m128i g_quarter = _mm_and_si128(_mm_srli_epi16(g, 2), _mm_set1_epi8(0x3F));
  __m128i low = excess(_mm_max_epu8(_mm_max_epu8(r, g), b), 79);
  low = _mm_min_epu8(low, excess(_mm_subs_epu8(r, _mm_add_epi8(g_half, g_quarter)), 9));
  low = _mm_min_epu8(low, excess(_mm_subs_epu8(_mm_max_epu8(r, g), b), 1));
  const __m128i high = excess(_mm_subs_epu8(r, _mm_max_epu8(g, b)), 90);
  return ~_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(low, zero), _mm_xor_si128(_mm_cmpeq_epi8(high, zero),
                                                                                   _mm_set1_epi8(-1)))) &
         0xFFFF;
}

// The rule on exact whole numbers: with Y = 587 g + 299 r + 114 b,
// Cb = 50000 b - 33126 g - 16874 r and Cr = 50000 r - 41869 g - 8131 b (the
// decimal values times 1000, 100000 and 100000, offsets taken out), skin is
// Y > 80000, -5100000 < Cb < -100000 and 500000 < Cr < 4500000. Every product
// and partial sum is a whole number below 2^24, so single-precision floats
// hold them exactly. Where a value lands exactly on a bound, the doubles as
// computed may fall either side: those pixels are marked in `ties`.
inline void exact_rule(__m128 r, __m128 g, __m128 b, int &skin, int &ties) {
  auto k = [](float v) { return _mm_set1_ps(v); };
  const __m128 y = _mm_add_ps(_mm_add_ps(_mm_mul_ps(k(587), g), _mm_mul_ps(k(299), r)), _mm_mul_ps(k(114), b));
  const __m128 cb = _mm_sub_ps(_mm_sub_ps(_mm_mul_ps(k(50000), b), _mm_mul_ps(k(33126), g)), _mm_mul_ps(k(16874), r));
  const __m128 cr = _mm_sub_ps(_mm_sub_ps(_mm_mul_ps(k(50000), r), _mm_mul_ps(k(41869), g)), _mm_mul_ps(k(8131), b));
  __m128 in = _mm_and_ps(_mm_cmpgt_ps(y, k(80000)), _mm_cmpgt_ps(cb, k(-5100000)));
  in = _mm_and_ps(in, _mm_and_ps(_mm_cmplt_ps(cb, k(-100000)), _mm_cmpgt_ps(cr, k(500000))));
  in = _mm_and_ps(in, _mm_cmplt_ps(cr, k(4500000)));
  __m128 on = _mm_or_ps(_mm_cmpeq_ps(y, k(80000)), _mm_cmpeq_ps(cb, k(-5100000)));
  on = _mm_or_ps(on, _mm_or_ps(_mm_cmpeq_ps(cb, k(-100000)), _mm_cmpeq_ps(cr, k(500000))));
  on = _mm_or_ps(on, _mm_cmpeq_ps(cr, k(4500000)));
  skin = _mm_movemask_ps(in);
  ties = _mm_movemask_ps(on);
}

unsigned skin_block(const uint8_t *p) {
  __m128i r, g, b;
  split_channels(p, r, g, b);
  const int maybe = candidates(r, g, b);
  if (maybe == 0) return 0;
  const __m128i zero = _mm_setzero_si128();
  const __m128i r16[2] = {_mm_unpacklo_epi8(r, zero), _mm_unpackhi_epi8(r, zero)};
  const __m128i g16[2] = {_mm_unpacklo_epi8(g, zero), _mm_unpackhi_epi8(g, zero)};
  const __m128i b16[2] = {_mm_unpacklo_epi8(b, zero), _mm_unpackhi_epi8(b, zero)};
  int skin = 0, ties = 0;
  for (int q = 0; q < 4; ++q) {
    auto widen = [&](const __m128i *v) {
      const __m128i half = v[q / 2];
      return _mm_cvtepi32_ps(q % 2 == 0 ? _mm_unpacklo_epi16(half, zero) : _mm_unpackhi_epi16(half, zero));
    };
    int s = 0, t = 0;
    exact_rule(widen(r16), widen(g16), widen(b16), s, t);
    skin |= s << (4 * q);
    ties |= t << (4 * q);
  }
  skin &= maybe & ~ties;
  for (int m = ties & maybe; m != 0; m &= m - 1) {
    const int i = __builtin_ctz(static_cast<unsigned>(m));
    if (is_skin_ycbcr(p[3 * i], p[3 * i + 1], p[3 * i + 2])) skin |= 1 << i;
  }
  return static_cast<unsigned>(skin);
}
#endif

template <typename T> std::unique_ptr<T[]> allocate(size_t n) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[n]);
}

} // namespace

bool is_skin_ycbcr(uint8_t red, uint8_t green, uint8_t blue) {
  const double r = red, g = green, b = blue;
  // The grouping decides the colours that land exactly on a bound.
  const double y = (0.587 * g + 0.299 * r) + 0.114 * b;
  const double cb = (0.5 * b - (0.33126 * g + 0.16874 * r)) + 128;
  const double cr = ((0.5 * r - 0.41869 * g) - 0.08131 * b) + 128;
  return y > 80 && cb > 77 && cb < 127 && cr > 133 && cr < 173;
}

void skin_masks(const uint8_t *rgb, int32_t n, uint16_t *masks) {
  int32_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) masks[i / 16] = static_cast<uint16_t>(skin_block(rgb + 3 * static_cast<size_t>(i)));
#endif
  for (; i < n; i += 16) {
    unsigned m = 0;
    for (int32_t j = 0; j < 16 && i + j < n; ++j) {
      const uint8_t *p = rgb + 3 * static_cast<size_t>(i + j);
      if (is_skin_ycbcr(p[0], p[1], p[2])) m |= 1u << j;
    }
    masks[i / 16] = static_cast<uint16_t>(m);
  }
}

bool build_skin_table(const uint8_t *pixels, int32_t width, int32_t height, const uint8_t *keep_column,
                      const uint8_t *keep_row, SkinTable &table) {
  table = SkinTable{};
  table.width = width;
  table.height = height;
  table.column_slot = allocate<int32_t>(static_cast<size_t>(width));
  table.row_slot = allocate<int32_t>(static_cast<size_t>(height));
  if (!table.column_slot || !table.row_slot) return false;
  int32_t columns = 0, rows = 0, last_column = -1, last_row = -1;
  for (int32_t x = 0; x < width; ++x) {
    table.column_slot[x] = keep_column[x] != 0 ? columns++ : -1;
    if (keep_column[x] != 0) last_column = x;
  }
  for (int32_t y = 0; y < height; ++y) {
    table.row_slot[y] = keep_row[y] != 0 ? rows++ : -1;
    if (keep_row[y] != 0) last_row = y;
  }
  table.kept_columns = columns;
  table.cells = allocate<uint32_t>(static_cast<size_t>(columns) * static_cast<size_t>(rows));
  // Pixels right of the last kept column or below the last kept row count in
  // no cell.
  const int32_t read = last_column + 1;
  const size_t blocks = (static_cast<size_t>(read) + 15) / 16;
  std::unique_ptr<int32_t[]> kept = allocate<int32_t>(static_cast<size_t>(columns));
  std::unique_ptr<uint32_t[]> down = allocate<uint32_t>(static_cast<size_t>(columns));
  std::unique_ptr<uint16_t[]> masks = allocate<uint16_t>(blocks);
  std::unique_ptr<uint32_t[]> before = allocate<uint32_t>(blocks);
  if (!table.cells || !kept || !down || !masks || !before) return false;
  for (int32_t x = 0, j = 0; x < width; ++x)
    if (keep_column[x] != 0) kept[j++] = x;
  std::fill(down.get(), down.get() + columns, 0u);

  // Cell (x, y) = cell (x, y - 1) + skin pixels of row y up to x: each kept
  // column adds its row count as the rows go by.
  for (int32_t y = 0; y <= last_row; ++y) {
    skin_masks(pixels + pixel_offset(width, 0, y), read, masks.get());
    uint32_t count = 0;
    for (size_t k = 0; k < blocks; ++k) {
      before[k] = count;
      count += bit_count16(masks[k]);
    }
    for (int32_t j = 0; j < columns; ++j) {
      const uint32_t x = static_cast<uint32_t>(kept[j]);
      down[j] += before[x / 16] + bit_count16(masks[x / 16] & ((2u << (x % 16)) - 1));
    }
    if (table.row_slot[y] >= 0)
      std::copy(down.get(), down.get() + columns,
                table.cells.get() + static_cast<size_t>(table.row_slot[y]) * static_cast<size_t>(columns));
  }
  return true;
}

double rect_sum(const SkinTable &table, int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
  if (x1 < x0 || y1 < y0) return 0.0;
  // Every cell is a whole number below 2^53, so each double step is exact and
  // the result equals the integer count; the order is kept all the same.
  double v = table.at(x1, y1);
  if (x0 > 0) v = v - table.at(x0 - 1, y1);
  if (y0 > 0) v = v - table.at(x1, y0 - 1);
  if (x0 > 0 && y0 > 0) v = table.at(x0 - 1, y0 - 1) + v;
  return v;
}

} // namespace tavrin::face_hat
