#include "face_projection.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace tavrin::beard {

namespace {

constexpr int64_t kMinSkinPixels = 300;
constexpr int32_t kMinBand = 10;

// Five pixels at a time where SSE2 is there: lane i of a 16-byte load holds
// blue, the same lane of the load shifted by one and two bytes holds that
// pixel's green and red, and lanes 0, 3, 6, 9 and 12 start whole pixels.
#if defined(__SSE2__) || defined(_M_X64)
constexpr bool kBlocks = true;

// 0xFF in every lane whose pixel is skin: each "how far below the lower bound
// or above the upper bound" is zero there.
inline __m128i skin_lanes(const uint8_t *bgr) {
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bgr));
  const __m128i g = _mm_srli_si128(b, 1), r = _mm_srli_si128(b, 2);
  __m128i miss = _mm_subs_epu8(_mm_set1_epi8(96), r);
  miss = _mm_or_si128(miss, _mm_subs_epu8(_mm_set1_epi8(41), g));
  miss = _mm_or_si128(miss, _mm_subs_epu8(g, _mm_subs_epu8(r, _mm_set1_epi8(16))));
  miss = _mm_or_si128(miss, _mm_subs_epu8(_mm_set1_epi8(21), b));
  miss = _mm_or_si128(miss, _mm_subs_epu8(b, _mm_subs_epu8(r, _mm_set1_epi8(1))));
  return _mm_cmpeq_epi8(miss, _mm_setzero_si128());
}

int32_t count_blocks(const uint8_t *bgr, int32_t blocks) {
  const __m128i pixel_starts = _mm_setr_epi8(1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 0);
  int32_t n = 0;
  while (blocks > 0) {
    // Byte lanes count up to 255 before they are summed.
    const int32_t chunk = blocks < 255 ? blocks : 255;
    __m128i lanes = _mm_setzero_si128();
    for (int32_t k = 0; k < chunk; ++k, bgr += 15)
      lanes = _mm_add_epi8(lanes, _mm_and_si128(skin_lanes(bgr), pixel_starts));
    const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    n += _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_srli_si128(sums, 8));
    blocks -= chunk;
  }
  return n;
}

// Bit 3 * j set when pixel j of the block is skin.
inline unsigned skin_bits(const uint8_t *bgr) {
  return static_cast<unsigned>(_mm_movemask_epi8(skin_lanes(bgr))) & 0x1249u;
}
#else
constexpr bool kBlocks = false;
int32_t count_blocks(const uint8_t *, int32_t) { return 0; }
inline unsigned skin_bits(const uint8_t *) { return 0; }
#endif

// Pixels that go through whole blocks: the last block's 16-byte read must stay
// inside the row.
int32_t block_pixels(int32_t width) {
  if (!kBlocks || width < 6) return 0;
  return (width - 6) / 5 * 5 + 5;
}

} // namespace

int32_t count_skin(const uint8_t *bgr, int32_t width) {
  const int32_t blocked = block_pixels(width);
  int32_t n = count_blocks(bgr, blocked / 5);
  for (int32_t x = blocked; x < width; ++x)
    n += is_skin_rgb(bgr[3 * x + 2], bgr[3 * x + 1], bgr[3 * x]);
  return n;
}

void add_skin_columns(const uint8_t *bgr, int32_t width, int32_t *columns) {
  int32_t x = 0;
  for (const int32_t end = block_pixels(width); x < end; x += 5, bgr += 15) {
    const unsigned m = skin_bits(bgr);
    for (int j = 0; j < 5; ++j) columns[x + j] += (m >> (3 * j)) & 1u;
  }
  for (; x < width; ++x, bgr += 3) columns[x] += is_skin_rgb(bgr[2], bgr[1], bgr[0]);
}

Run longest_run(const int32_t *counts, int32_t n, int32_t threshold) {
  Run best{0, 0};
  int32_t start = 0;
  bool in_run = false;
  for (int32_t i = 0; i < n; ++i) {
    if (counts[i] < threshold) {
      in_run = false;
      continue;
    }
    if (!in_run) {
      start = i;
      in_run = true;
    }
    if (i - start + 1 > best.length) best = Run{i - start + 1, start};
  }
  return best;
}

// One pass over the picture. The longest band of skin-rich rows is followed
// as the rows go by (the same rule as longest_run: only a longer band
// replaces the best), and every row of a band adds its skin to the column
// counts of that band while the row is still in the cache, so a picture
// larger than the cache is read from memory once.
FaceSearch find_face_rect(const BmpImage &image, FaceRect &face) {
  const int32_t width = image.width, height = image.height;
  if (width <= 0 || height <= 0) return FaceSearch::kNotFound;
  // Column counts of the band being read and of the best band so far.
  std::unique_ptr<int32_t[]> current(new (std::nothrow) int32_t[width]);
  std::unique_ptr<int32_t[]> best(new (std::nothrow) int32_t[width]);
  if (!current || !best) return FaceSearch::kOutOfMemory;

  const int32_t row_threshold = width / 10;
  const size_t row_bytes = static_cast<size_t>(width) * 3;
  int64_t total = 0; // a whole 65535 x 65535 picture of skin does not fit 32 bits
  Run band{0, 0};
  int32_t start = 0;
  bool in_band = false, best_is_current = false;
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t *row = image.pixels + static_cast<size_t>(y) * row_bytes;
    const int32_t skin = count_skin(row, width);
    total += skin;
    if (skin < row_threshold) {
      if (best_is_current) current.swap(best); // keep the finished best band's columns
      in_band = best_is_current = false;
      continue;
    }
    if (!in_band) {
      start = y;
      in_band = true;
      std::fill(current.get(), current.get() + width, 0);
    }
    add_skin_columns(row, width, current.get());
    if (y - start + 1 > band.length) {
      band = Run{y - start + 1, start};
      best_is_current = true;
    }
  }
  if (best_is_current) current.swap(best);
  if (total < kMinSkinPixels || band.length < kMinBand) return FaceSearch::kNotFound;

  const Run span = longest_run(best.get(), width, band.length / 8);
  if (span.length < kMinBand) return FaceSearch::kNotFound;

  face = FaceRect{span.start, band.start, span.length, band.length};
  return FaceSearch::kFound;
}

} // namespace tavrin::beard
