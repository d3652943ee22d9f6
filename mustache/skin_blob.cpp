#include "skin_blob.h"

#include "console.h"
#include "pixel_memory.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavrin::mustache {

namespace {

template <typename T> HeapArray<T> allocate(size_t count) {
  return HeapArray<T>(static_cast<T *>(std::malloc(count * sizeof(T))));
}

#if defined(__SSE2__)
// Lanes of x not above c (unsigned bytes): all ones there.
inline __m128i not_above(__m128i x, char c) {
  return _mm_cmpeq_epi8(_mm_subs_epu8(x, _mm_set1_epi8(c)), _mm_setzero_si128());
}
#endif

// Column of the first unlabelled skin pixel of `row` from column x on, or
// `width` when there is none; eight labels at a time where possible.
int32_t next_unlabelled(const int16_t *row, int32_t x, int32_t width) {
#if defined(__SSE2__)
  const __m128i wanted = _mm_set1_epi16(kUnlabelledSkin);
  for (; x + 8 <= width; x += 8) {
    const __m128i labels = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + x));
    const int hits = _mm_movemask_epi8(_mm_cmpeq_epi16(labels, wanted));
    if (hits != 0) return x + __builtin_ctz(static_cast<unsigned>(hits)) / 2;
  }
#endif
  while (x < width && row[x] != kUnlabelledSkin) ++x;
  return x;
}

} // namespace

void classify_skin(const uint8_t *rgb, size_t n, int16_t *labels) {
  size_t i = 0;
#if defined(__SSE2__)
  // Sixteen pixels are 48 bytes, three vectors. The lanes of blue bytes
  // (byte index 2 mod 3) carry the result, with the green and red bytes of
  // the same pixel shifted in from one and two bytes before. With red above
  // green and blue, red is the largest channel and the spread is at least
  // red minus green, so the rule is: red > 95, green > 40, blue > 20,
  // red - green > 15, red > blue.
  for (; i + 16 <= n; i += 16) {
    const uint8_t *p = rgb + i * 3;
    __m128i previous = _mm_setzero_si128();
    uint64_t fails = 0;
    for (int k = 0; k < 3; ++k) {
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * k));
      const __m128i g = _mm_or_si128(_mm_slli_si128(b, 1), _mm_srli_si128(previous, 15));
      const __m128i r = _mm_or_si128(_mm_slli_si128(b, 2), _mm_srli_si128(previous, 14));
      previous = b;
      __m128i fail = _mm_or_si128(not_above(r, 95), not_above(g, 40));
      fail = _mm_or_si128(fail, not_above(b, 20));
      fail = _mm_or_si128(fail, not_above(_mm_subs_epu8(r, g), 15));
      fail = _mm_or_si128(fail, not_above(_mm_subs_epu8(r, b), 0));
      fails |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(fail))) << (16 * k);
    }
    // Pixel q's blue byte is byte 3q + 2 of the 48.
    for (int q = 0; q < 16; ++q)
      labels[i + q] = static_cast<int16_t>(kUnlabelledSkin + ((fails >> (3 * q + 2)) & 1));
  }
#endif
  for (; i < n; ++i) {
    const uint8_t *p = rgb + i * 3;
    labels[i] = is_skin_pixel(p[0], p[1], p[2]) ? kUnlabelledSkin : kNotSkin;
  }
}

bool allocate_blob_search(const RgbImage &image, BlobSearch &search) {
  search.width = image.width;
  search.height = image.height;
  search.blob_count = 0;
  const size_t pixels = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
  // Labels cover the picture: huge pages where they can be had.
  search.labels.reset(reinterpret_cast<int16_t *>(allocate_pixels(pixels * sizeof(int16_t))));
  if (search.labels &&
      (search.stack_x = allocate<int32_t>(kStackCapacity)) &&
      (search.stack_y = allocate<int32_t>(kStackCapacity)) &&
      (search.blobs = allocate<SkinBlob>(kMaxBlobs)))
    return true;
  search = BlobSearch{};
  print_error("Out of memory in find_skin_blob.\n");
  return false;
}

void flood_fill_blob(BlobSearch &search, int32_t x0, int32_t y0, int16_t label, SkinBlob &blob) {
  const int32_t width = search.width, height = search.height;
  int16_t *const labels = search.labels.get();
  int32_t *const stack_x = search.stack_x.get();
  int32_t *const stack_y = search.stack_y.get();

  // A pixel is labelled when it is pushed, so none is pushed twice. Once the
  // stack is full a neighbour keeps the label but is neither pushed nor counted.
  int32_t depth = 0;
  auto take = [&](int32_t x, int32_t y) {
    int16_t &l = labels[static_cast<size_t>(y) * width + x];
    if (l != kUnlabelledSkin) return;
    l = label;
    if (depth < kStackLimit) {
      stack_x[depth] = x;
      stack_y[depth] = y;
      ++depth;
    }
  };

  labels[static_cast<size_t>(y0) * width + x0] = label;
  stack_x[0] = x0;
  stack_y[0] = y0;
  depth = 1;
  blob = SkinBlob{x0, y0, x0, y0, 0};
  while (depth > 0) {
    --depth;
    const int32_t x = stack_x[depth], y = stack_y[depth];
    ++blob.count;
    if (x < blob.minX) blob.minX = x;
    if (x > blob.maxX) blob.maxX = x;
    if (y < blob.minY) blob.minY = y;
    if (y > blob.maxY) blob.maxY = y;
    if (x + 1 < width) take(x + 1, y);
    if (x > 0) take(x - 1, y);
    if (y + 1 < height) take(x, y + 1);
    if (y > 0) take(x, y - 1);
  }
}

void label_skin_blobs(const RgbImage &image, BlobSearch &search) {
  const size_t pixels = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
  int16_t *const labels = search.labels.get();
  classify_skin(image.pixels, pixels, labels);

  int32_t k = 0;
  for (int32_t y = 0; y < image.height && k < kMaxBlobs; ++y) {
    const int16_t *row = labels + static_cast<size_t>(y) * image.width;
    for (int32_t x = 0; k < kMaxBlobs; ++x) {
      x = next_unlabelled(row, x, image.width);
      if (x == image.width) break;
      flood_fill_blob(search, x, y, static_cast<int16_t>(k), search.blobs[k]);
      ++k;
    }
  }
  search.blob_count = k;
}

int32_t choose_face_blob(const BlobSearch &search) {
  const int64_t min_count = int64_t{search.width} * search.height / 500;
  int32_t best = -1;
  int32_t best_count = 0;
  for (int32_t i = 0; i < search.blob_count; ++i) {
    const SkinBlob &b = search.blobs[i];
    const int64_t bw = int64_t{b.maxX} - b.minX + 1;
    const int64_t bh = int64_t{b.maxY} - b.minY + 1;
    const double aspect = static_cast<double>(bw) / static_cast<double>(bh);
    const double fill = static_cast<double>(b.count) / static_cast<double>(bw * bh);
    if (aspect >= 0.3 && aspect <= 2.5 && fill >= 0.2 && b.count > best_count &&
        b.count > min_count) {
      best = i;
      best_count = b.count;
    }
  }
  return best;
}

int32_t measure_face_width(const BlobSearch &search, const SkinBlob &blob, int16_t label) {
  const int64_t last_row = blob.minY + (int64_t{blob.maxY} - blob.minY) * 50 / 100;
  int32_t widest = 0;
  for (int64_t y = blob.minY; y <= last_row; ++y) {
    const int16_t *row = search.labels.get() + static_cast<size_t>(y) * search.width;
    int32_t left = blob.minX, right = blob.maxX;
    while (left <= right && row[left] != label) ++left;
    if (left > right) continue;
    while (row[right] != label) --right;
    if (right - left + 1 > widest) widest = right - left + 1;
  }
  return widest;
}

bool find_skin_blob(const RgbImage &image, int32_t *cx, int32_t *top, int32_t *w) {
  BlobSearch search;
  if (!allocate_blob_search(image, search)) return false;
  label_skin_blobs(image, search);
  const int32_t chosen = choose_face_blob(search);
  if (chosen < 0) return false;
  const SkinBlob &b = search.blobs[chosen];
  *w = measure_face_width(search, b, static_cast<int16_t>(chosen));
  *cx = (b.minX + b.maxX) / 2;
  *top = b.minY;
  return true;
}

} // namespace tavrin::mustache
