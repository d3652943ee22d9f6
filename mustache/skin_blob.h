// The face of the mustache plug-in: the largest face-shaped blob of
// 4-connected skin-coloured pixels.
#pragma once

#include <cstdint>

#include "bitmap_file.h"
#include "pixel_memory.h"

namespace tavrin::mustache {

inline constexpr int16_t kNotSkin = -1;
inline constexpr int16_t kUnlabelledSkin = -2;
inline constexpr int32_t kMaxBlobs = 4096;         // labels 0 .. 4095 fit 16 bits
inline constexpr int32_t kStackCapacity = 1 << 20; // entries per stack array
inline constexpr int32_t kStackLimit = kStackCapacity - 1;

struct SkinBlob {
  int32_t minX;
  int32_t minY;
  int32_t maxX;
  int32_t maxY;
  int32_t count; // pixels taken from the fill stack
};

// Arrays released with std::free, from malloc or allocate_pixels.
template <typename T> using HeapArray = PixelArray<T>;

// Working storage of one blob search. Each call owns its own, so searches on
// different threads never meet.
struct BlobSearch {
  int32_t width = 0;
  int32_t height = 0;
  HeapArray<int16_t> labels;     // width * height, row order
  HeapArray<int32_t> stack_x;    // kStackCapacity entries
  HeapArray<int32_t> stack_y;    // kStackCapacity entries
  HeapArray<SkinBlob> blobs;     // kMaxBlobs records
  int32_t blob_count = 0;
};

inline bool is_skin_pixel(uint8_t r, uint8_t g, uint8_t b) {
  int hi = r > g ? r : g, lo = r < g ? r : g;
  hi = hi > b ? hi : b;
  lo = lo < b ? lo : b;
  int rg = r > g ? r - g : g - r;
  return r > 95 && g > 40 && b > 20 && hi - lo > 15 && rg > 15 && r > g && r > b;
}

// Labels `n` pixels (red, green, blue) kUnlabelledSkin or kNotSkin by
// is_skin_pixel, sixteen at a time where the processor allows.
void classify_skin(const uint8_t *rgb, size_t n, int16_t *labels);

// Allocates the search's buffers for `image`. Prints the out-of-memory line
// and returns false when one cannot be had.
bool allocate_blob_search(const RgbImage &image, BlobSearch &search);

// Classifies every pixel and labels the blobs in scan order, at most
// kMaxBlobs of them. The search must be allocated for this image.
void label_skin_blobs(const RgbImage &image, BlobSearch &search);

// Labels the blob of unlabelled skin that contains (x0, y0) with `label`.
void flood_fill_blob(BlobSearch &search, int32_t x0, int32_t y0, int16_t label, SkinBlob &blob);

// Index of the face-shaped blob that is chosen, or -1 for none.
int32_t choose_face_blob(const BlobSearch &search);

// Widest outer span of `label` over the upper half of `blob`.
int32_t measure_face_width(const BlobSearch &search, const SkinBlob &blob, int16_t label);

// Finds the face blob. On success stores its centre column, top row and face
// width and returns true; otherwise stores nothing. Frees its buffers before
// returning.
bool find_skin_blob(const RgbImage &image, int32_t *cx, int32_t *top, int32_t *w);

} // namespace tavrin::mustache
