// Grey and eye maps of the whole picture, their summed-area tables and the
// window score read from them: what the plain eye search scores on. The
// plug-in itself builds tables over the face's eye band only
// (eye_pair_search.cpp); these are the reference its scores must equal.
#pragma once

#include <cstdint>
#include <memory>

#include "overlay_types.h"

namespace tavrin::sunglasses {

// One byte per pixel, row-major, row 0 at the top.
using ByteMap = std::unique_ptr<uint8_t[]>;

// Summed-area table: element (x, y) holds the sum over columns 0..x of rows
// 0..y. 64-bit, so sums of large bright pictures stay exact.
using SumTable = std::unique_ptr<int64_t[]>;

// Each maker returns null when memory runs out.
ByteMap make_gray_map(const BmpImage &image);
ByteMap make_eye_map(const BmpImage &image);
SumTable build_integral(const uint8_t *map, int32_t width, int32_t height);
SumTable build_square_integral(const uint8_t *map, int32_t width, int32_t height);

// Sum over the inclusive window [x0, x1] x [y0, y1] of a table whose rows are
// `row_length` elements long.
int64_t rect_sum(const int64_t *table, int32_t row_length, int32_t x0, int32_t y0, int32_t x1,
                 int32_t y1);

double window_variance(const int64_t *gray, const int64_t *gray_square, int32_t row_length,
                       int32_t x0, int32_t y0, int32_t x1, int32_t y1);

// Darkness, texture and eye-map response of one window; lower is more eye-like.
double window_score(const int64_t *gray, const int64_t *gray_square, const int64_t *eye,
                    int32_t row_length, int32_t x0, int32_t y0, int32_t x1, int32_t y1);

} // namespace tavrin::sunglasses
