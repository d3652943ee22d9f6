#include "skin_blob.h"

#include "console.h"

namespace tavrin::mustache {

namespace {

template <typename T> HeapArray<T> allocate(size_t count) {
  return HeapArray<T>(static_cast<T *>(std::malloc(count * sizeof(T))));
}

} // namespace

bool allocate_blob_search(const RgbImage &image, BlobSearch &search) {
  search.width = image.width;
  search.height = image.height;
  search.blob_count = 0;
  const size_t pixels = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
  if ((search.labels = allocate<int16_t>(pixels)) &&
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
  const uint8_t *rgb = image.pixels;
  for (size_t i = 0; i < pixels; ++i, rgb += 3)
    labels[i] = is_skin_pixel(rgb[0], rgb[1], rgb[2]) ? kUnlabelledSkin : kNotSkin;

  int32_t k = 0;
  for (int32_t y = 0; y < image.height && k < kMaxBlobs; ++y) {
    const int16_t *row = labels + static_cast<size_t>(y) * image.width;
    for (int32_t x = 0; x < image.width && k < kMaxBlobs; ++x) {
      if (row[x] != kUnlabelledSkin) continue;
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
