#include "face_region.h"

#include <algorithm>
#include <array>
#include <memory>
#include <memory_resource>
#include <new>
#include <vector>

#include "pixel_memory.h"
#include "skin_scan.h"

namespace tavrin::sunglasses {

namespace {

// Cells are width/12 by height/12 pixels (at least 1), so a grid side has at
// most 12 + 11 cells: a picture 23 pixels wide gets 23 cells of one pixel.
constexpr int kMaxGridSide = 23;

int32_t cell_size(int32_t extent) { return std::max<int32_t>(extent / 12, 1); }

// Rule B's shares, r * k and g * k with k = 1 / ((r + g + b) + 1), grow with r
// and g for a fixed channel sum, and rounding keeps that order, so for each
// sum the channel values whose share is inside the rule's open interval form
// a run [lo, hi]. The runs are worked out by the compiler in the same double
// operations, and a pixel then needs two integer comparisons per channel.
struct ShareRuns {
  uint8_t red_lo, red_hi, green_lo, green_hi; // empty when lo > hi
};

constexpr ShareRuns share_runs(int sum) {
  const double k = 1.0 / (static_cast<double>(sum) + 1.0);
  ShareRuns runs{255, 0, 255, 0};
  for (int v = 0; v < 256; ++v) {
    const double share = v * k;
    if (share > 0.35 && share < 0.55) {
      if (v < runs.red_lo) runs.red_lo = static_cast<uint8_t>(v);
      runs.red_hi = static_cast<uint8_t>(v);
    }
    if (share > 0.2 && share < 0.4) {
      if (v < runs.green_lo) runs.green_lo = static_cast<uint8_t>(v);
      runs.green_hi = static_cast<uint8_t>(v);
    }
  }
  return runs;
}

constexpr std::array<ShareRuns, 766> make_share_runs() {
  std::array<ShareRuns, 766> table{};
  for (int sum = 0; sum < 766; ++sum) table[sum] = share_runs(sum);
  return table;
}

constexpr std::array<ShareRuns, 766> kShareRuns = make_share_runs();

} // namespace

bool is_skin_pixel(uint8_t blue, uint8_t green, uint8_t red) {
  const int r = red, g = green, b = blue;
  // Rule A. Its "red above green" and "red above blue" follow from the two
  // differences above 15, and then red is the largest channel, so the
  // spread is red minus the smaller of the others and is above 15 already.
  if ((r > 95) & (g > 40) & (b > 20) & (r - g > 15) & (r - b > 15) & (r - std::min(g, b) < 170))
    return true;
  if (!((r > 60) & (g > 30) & (b > 15) & (r > b))) return false;
  // Rule B: red share r * k and green share g * k, with k = 1 / ((r + g + b)
  // + 1), products with one reciprocal; as runs of channel values per sum.
  const ShareRuns &runs = kShareRuns[r + g + b];
  return (r >= runs.red_lo) & (r <= runs.red_hi) & (g >= runs.green_lo) & (g <= runs.green_hi);
}

FaceRect fallback_face_region(int32_t width, int32_t height) {
  return FaceRect{width / 6, height / 8, static_cast<int32_t>((2 * int64_t{width}) / 3),
                  static_cast<int32_t>((3 * int64_t{height}) / 4)};
}

FaceRect detect_face_region(const BmpImage &image, std::pmr::memory_resource *memory) {
  WorkArena own;
  if (memory == nullptr) memory = &own;
  const int32_t width = image.width, height = image.height;
  const int32_t cell_w = cell_size(width), cell_h = cell_size(height);
  const int32_t grid_w = static_cast<int32_t>((int64_t{width} + cell_w - 1) / cell_w);
  const int32_t grid_h = static_cast<int32_t>((int64_t{height} + cell_h - 1) / cell_h);
  std::array<int32_t, kMaxGridSide * kMaxGridSide> grid{};

  // The run of every cell on every row, kept when rows are wide enough for
  // it to cost little beside the picture: the window scan below then needs
  // no second look at the pixels. Without the memory for them, it looks again.
  std::pmr::vector<SkinRun> runs(memory);
  if (width >= 64) {
    try {
      runs.resize(static_cast<size_t>(height) * grid_w);
    } catch (const std::bad_alloc &) {
    }
  }
  const uint8_t *px = image.pixels;
  const int64_t pixels = int64_t{width} * height;
  for (int32_t y = 0; y < height; ++y) {
    int32_t *grid_row = grid.data() + (y / cell_h) * grid_w;
    // Cell by cell, so no pixel needs a division.
    for (int32_t x = 0, cell = 0; x < width; x += cell_w, ++cell) {
      const int32_t n = static_cast<int32_t>(std::min<int64_t>(cell_w, int64_t{width} - x));
      const SkinRun run = scan_skin_run(px, n, pixels - (px - image.pixels) / 3);
      grid_row[cell] += run.count;
      if (!runs.empty()) runs[static_cast<size_t>(y) * grid_w + cell] = run;
      px += static_cast<size_t>(n) * 3;
    }
  }

  int64_t best_sum = 0;
  int32_t best_row = grid_h / 3, best_col = grid_w / 2;
  for (int32_t i = 1; i <= grid_h - 2; ++i) {
    for (int32_t j = 1; j <= grid_w - 2; ++j) {
      int64_t sum = 0;
      for (int32_t di = -1; di <= 1; ++di)
        for (int32_t dj = -1; dj <= 1; ++dj) sum += grid[(i + di) * grid_w + j + dj];
      if (sum > best_sum) {
        best_sum = sum;
        best_row = i;
        best_col = j;
      }
    }
  }
  if (best_sum < (9 * int64_t{cell_w} * cell_h) / 8) return fallback_face_region(width, height);

  // Seven cells each way, centred on the best cell.
  const int32_t x0 = static_cast<int32_t>(std::max<int64_t>((int64_t{best_col} - 3) * cell_w, 0));
  const int32_t y0 = static_cast<int32_t>(std::max<int64_t>((int64_t{best_row} - 3) * cell_h, 0));
  const int32_t x1 = static_cast<int32_t>(std::min<int64_t>((int64_t{best_col} + 4) * cell_w, width));
  const int32_t y1 = static_cast<int32_t>(std::min<int64_t>((int64_t{best_row} + 4) * cell_h, height));

  int64_t count = 0;
  int32_t min_x = x1, max_x = x0, min_y = y1, max_y = y0;
  // Adds the skin pixels of `run`, a stretch of row y starting at column x.
  auto take = [&](const SkinRun &run, int32_t x, int32_t y) {
    if (run.count == 0) return;
    count += run.count;
    min_x = std::min(min_x, x + run.first);
    max_x = std::max(max_x, x + run.last);
    min_y = std::min(min_y, y);
    max_y = std::max(max_y, y);
  };
  for (int32_t y = y0; y < y1 && x0 < x1; ++y) {
    if (!runs.empty()) {
      // The window is made of whole cells.
      const SkinRun *row = runs.data() + static_cast<size_t>(y) * grid_w;
      for (int32_t cell = x0 / cell_w, x = x0; x < x1; ++cell, x += cell_w) take(row[cell], x, y);
    } else {
      take(scan_skin_run(image.pixels + (static_cast<size_t>(y) * width + x0) * 3, x1 - x0), x0, y);
    }
  }
  if (count <= 10) return fallback_face_region(width, height);

  const int32_t m = (max_x - min_x) / 8;
  FaceRect face;
  face.x = std::max(min_x - m, 0);
  face.y = std::max(min_y - m, 0);
  face.width = int64_t{max_x} + m > width ? width - face.x : max_x + m - face.x;
  face.height = int64_t{max_y} + m > height ? height - face.y : max_y + m - face.y;
  return face;
}

} // namespace tavrin::sunglasses
