#include "eye_pair_search.h"

#include <algorithm>
#include <cmath>
#include <compare>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <memory>
#include <memory_resource>
#include <new>
#include <utility>
#include <vector>

#include "eye_maps.h"
#include "region_tables.h"
#include "pixel_memory.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavrin::sunglasses {

namespace {

// Every work vector of a search comes from the call's arena.
template <typename T> using Vec = std::pmr::vector<T>;
using Memory = std::pmr::memory_resource *;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Position of a combination in the plain scan order: pass, width, left row,
// left column, right column, vertical offset (indices within the pass).
struct ScanIndex {
  int32_t pass, w, i, k, kr, j;
  auto operator<=>(const ScanIndex &) const = default;
};

// The penalty products (offset factor times spacing factor, both at least 1)
// of a group of combinations lie in [lo, hi].
struct Factors {
  double lo, hi;
};

// The lowest total of a group of combinations whose score sums are at least
// `sum_bound` and whose penalty products lie in `f`: a sum of zero or more is
// lowered least by the smallest product, a negative one most by the largest.
// Both factors of each product and the sum are at least their bounds, and
// rounding is monotonic, so the bound holds for the totals as computed. (On
// a flat picture every sum is the same and positive; the smallest product
// is then what lets all but the first of the equal totals go.)
inline double total_bound(double sum_bound, Factors f) {
  return sum_bound >= 0 ? f.lo * sum_bound : f.hi * sum_bound;
}

// out[k] = min(in[k .. k + span - 1]) for k = 0 .. n - span (van Herk).
void sliding_min(const double *in, int32_t n, int32_t span, double *out, Vec<double> &pre, Vec<double> &suf) {
  if (n < span) return;
  if (span == 1) {
    std::copy(in, in + n, out);
    return;
  }
  pre.resize(n);
  suf.resize(n);
  for (int32_t b = 0; b < n; b += span) {
    const int32_t e = std::min(n, b + span);
    pre[b] = in[b];
    for (int32_t i = b + 1; i < e; ++i) pre[i] = std::min(pre[i - 1], in[i]);
    suf[e - 1] = in[e - 1];
    for (int32_t i = e - 2; i >= b; --i) suf[i] = std::min(suf[i + 1], in[i]);
  }
  for (int32_t k = 0; k + span <= n; ++k) out[k] = std::min(suf[k], pre[k + span - 1]);
}

int32_t floor_div(int32_t a, int32_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// One window width of one pass, in index space: left window (k, i) starts at
// (x0 + k*s, y0 + i*s); right window (kr, u) at (rx0 + kr*s, y0 + dy_min + u*s),
// so the left window i pairs with right rows u = i + j, offset dy_min + j*s.
struct WidthPlan {
  int32_t pass, w, h, s;
  int32_t x0, y0, rx0, dy_min;
  int32_t n_x, n_y, n_rx, n_dy, n_ry;
  // Spacing factor by column distance t = kr - k, valid for t in [t_lo, t_hi].
  int32_t t_min, t_lo, t_hi;
  Vec<double> spacing;
  Vec<double> offset; // vertical factor by j
  double offset_max = 0, spacing_max = 0, offset_min = 0, spacing_min = 0;

  explicit WidthPlan(Memory m) : spacing(m), offset(m) {}
  // Over every pair of the width.
  Factors factors() const { return {offset_min * spacing_min, offset_max * spacing_max}; }
};

bool make_width_plan(const SearchFrame &f, const PassPlan &p, int32_t pass, int32_t w, WidthPlan &g) {
  g.pass = pass;
  g.w = w;
  // The plan may be an earlier width's.
  g.offset_max = g.spacing_max = 0;
  g.offset_min = g.spacing_min = kInf;
  g.h = eye_window_height(w);
  g.s = position_step(p, w);
  if (p.y_end - g.h < p.y_first || p.x_end - w < p.x_first || p.rx_end - w < p.rx_first ||
      f.dy_max < f.dy_min)
    return false;
  g.x0 = p.x_first;
  g.y0 = p.y_first;
  g.rx0 = p.rx_first;
  g.dy_min = f.dy_min;
  g.n_y = (p.y_end - g.h - p.y_first) / g.s + 1;
  g.n_x = (p.x_end - w - p.x_first) / g.s + 1;
  g.n_rx = (p.rx_end - w - p.rx_first) / g.s + 1;
  g.n_dy = (f.dy_max - f.dy_min) / g.s + 1;
  g.n_ry = g.n_y + g.n_dy - 1;

  // The factors exactly as the plain scan computes them; the spacing depends
  // on the column distance only, since both window centres are exact.
  const double fw = f.face.width, fh = f.face.height, half = w * 0.5;
  g.t_min = -(g.n_x - 1);
  g.t_lo = g.n_rx;
  g.t_hi = g.t_min - 1;
  g.spacing.assign(g.n_rx - g.t_min, 0);
  for (int32_t t = g.t_min; t < g.n_rx; ++t) {
    const int32_t x = g.x0, rx = g.rx0 + t * g.s; // any pair at this distance
    const double q = ((rx + half) - (x + half)) / fw;
    if (!(0.25 <= q && q <= 0.6)) continue;
    const double factor = 1 + 2 * std::fabs(q - 0.4);
    g.spacing[t - g.t_min] = factor;
    g.spacing_max = std::max(g.spacing_max, factor);
    g.spacing_min = std::min(g.spacing_min, factor);
    g.t_lo = std::min(g.t_lo, t);
    g.t_hi = std::max(g.t_hi, t);
  }
  if (g.t_lo > g.t_hi) return false;
  g.offset.resize(g.n_dy);
  for (int32_t j = 0; j < g.n_dy; ++j) {
    g.offset[j] = 1 + 3.0 * std::abs(g.dy_min + j * g.s) / fh;
    g.offset_max = std::max(g.offset_max, g.offset[j]);
    g.offset_min = std::min(g.offset_min, g.offset[j]);
  }
  return true;
}

// Scores of the windows still in the race, over the boxes they occupy: left
// windows (k, i) in [k0, k0 + n_k) x [i0, i0 + n_i), right windows (kr, u) in
// [rk0, rk0 + n_rk) x [ru0, ru0 + n_ru). Windows out of the race, or out of
// the picture, hold +inf.
struct PairTables {
  int32_t k0 = 0, i0 = 0, n_k = 0, n_i = 0;
  int32_t rk0 = 0, n_rk = 0, ru0 = 0, n_ru = 0;
  Vec<double> left;  // row-major: left[(i - i0) * n_k + (k - k0)]
  Vec<double> right; // column-major: right[(kr - rk0) * n_ru + (u - ru0)]

  explicit PairTables(Memory m) : left(m), right(m) {}
  // Empty, keeping the vectors' memory.
  void clear() {
    k0 = i0 = n_k = n_i = rk0 = n_rk = ru0 = n_ru = 0;
    left.clear();
    right.clear();
  }
};

// Column and row ranges of window positions, both ends included.
struct PositionBox {
  int32_t k_lo, k_hi, i_lo, i_hi;
};

// Sizes the pair tables to the left and right positions still in the race,
// every entry out of it (+inf); false when no right row is in reach of a
// left row.
bool frame_pair_tables(PairTables &t, const WidthPlan &g, PositionBox left, PositionBox right) {
  // Right rows the left rows can reach.
  const int32_t u_lo = std::max(right.i_lo, left.i_lo);
  const int32_t u_hi = std::min(right.i_hi, left.i_hi + g.n_dy - 1);
  if (u_lo > u_hi) return false;
  t.k0 = left.k_lo;
  t.n_k = left.k_hi - left.k_lo + 1;
  t.i0 = left.i_lo;
  t.n_i = left.i_hi - left.i_lo + 1;
  t.rk0 = right.k_lo;
  t.n_rk = right.k_hi - right.k_lo + 1;
  t.ru0 = u_lo;
  t.n_ru = u_hi - u_lo + 1;
  t.left.assign(static_cast<size_t>(t.n_k) * t.n_i, kInf);
  t.right.assign(static_cast<size_t>(t.n_rk) * t.n_ru, kInf);
  return true;
}

// Work buffers kept across widths.
struct Buffers {
  Vec<double> col_min, row_block_min, block_min, column, slid, pre, suf;

  explicit Buffers(Memory m) : col_min(m), row_block_min(m), block_min(m), column(m), slid(m), pre(m), suf(m) {}
};

struct PairSearch {
  EyePair best;
  ScanIndex best_at{-1, 0, 0, 0, 0, 0};
  int32_t image_w = 0, image_h = 0;
  FineScoring scoring;
  Memory memory;
  Buffers buf;

  explicit PairSearch(Memory m) : memory(m), buf(m) {}

  // Whether a group of combinations whose totals are at least `bound` and
  // whose first member in scan order is `first` cannot hold a new winner.
  bool hopeless(double bound, const ScanIndex &first) const {
    return bound > best.total || (bound == best.total && !(first < best_at));
  }
  // Whether a window of score v can be in a pair that beats the best, given
  // the lowest score `other` on the other side. The best comes from earlier
  // widths here, so only a strictly lower total counts.
  bool in_race(double v, double other, Factors f) const { return total_bound(v + other, f) < best.total; }
#if defined(__SSE2__)
  // in_race for v[0] and v[1], one bit each, in the same operations.
  int race_mask(const double *v, double other, Factors f) const {
    const __m128d sum = _mm_add_pd(_mm_loadu_pd(v), _mm_set1_pd(other));
    const __m128d negative = _mm_cmplt_pd(sum, _mm_setzero_pd());
    const __m128d bound = _mm_or_pd(_mm_andnot_pd(negative, _mm_mul_pd(_mm_set1_pd(f.lo), sum)),
                                    _mm_and_pd(negative, _mm_mul_pd(_mm_set1_pd(f.hi), sum)));
    return _mm_movemask_pd(_mm_cmplt_pd(bound, _mm_set1_pd(best.total)));
  }
#endif
};

constexpr int32_t kChunk = 8;  // vertical offsets bounded together
constexpr int32_t kBlock = 16; // right columns bounded together

// Tries every pair of the tables' windows that could beat the best, and keeps
// the winner by the plain scan's rule.
void search_pairs(PairSearch &c, const WidthPlan &g, const PairTables &t) {
  Buffers &b = c.buf;
  // Right scores: lowest per column over runs of kChunk rows (aligned), and
  // over each left row's full offset range.
  const int32_t n_row_blocks = t.n_ru / kChunk + 2;
  b.row_block_min.assign(static_cast<size_t>(t.n_rk) * n_row_blocks, kInf);
  b.col_min.assign(static_cast<size_t>(t.n_i) * t.n_rk, kInf);
  const int32_t reach = t.n_i + g.n_dy - 1; // rows a left row of the box can reach
  for (int32_t rk = 0; rk < t.n_rk; ++rk) {
    const double *col = &t.right[static_cast<size_t>(rk) * t.n_ru];
    double *blocks = &b.row_block_min[static_cast<size_t>(rk) * n_row_blocks];
    int32_t first = -1, last = -1;
    double lowest = kInf;
    for (int32_t r = 0; r < t.n_ru; ++r) {
      if (col[r] == kInf) continue;
      if (first < 0) first = r;
      last = r;
      lowest = std::min(lowest, col[r]);
      blocks[r / kChunk] = std::min(blocks[r / kChunk], col[r]);
    }
    if (first < 0) continue;
    if (last - first < 64) {
      // Few rows: most left rows see all of them.
      for (int32_t bi = 0; bi < t.n_i; ++bi) {
        const int32_t top = bi + t.i0 - t.ru0;
        const int32_t lo = std::max(top, first), hi = std::min(top + g.n_dy - 1, last);
        if (lo > hi) continue;
        double m = lowest;
        if (lo != first || hi != last) {
          m = kInf;
          for (int32_t r = lo; r <= hi; ++r) m = std::min(m, col[r]);
        }
        b.col_min[static_cast<size_t>(bi) * t.n_rk + rk] = m;
      }
      continue;
    }
    b.column.resize(reach);
    b.slid.resize(reach);
    for (int32_t q = 0; q < reach; ++q) {
      const int32_t r = t.i0 - t.ru0 + q;
      b.column[q] = r >= 0 && r < t.n_ru ? col[r] : kInf;
    }
    sliding_min(b.column.data(), reach, g.n_dy, b.slid.data(), b.pre, b.suf);
    for (int32_t bi = 0; bi < t.n_i; ++bi) b.col_min[static_cast<size_t>(bi) * t.n_rk + rk] = b.slid[bi];
  }
  const int32_t n_blocks = (t.n_rk + kBlock - 1) / kBlock;
  b.block_min.assign(static_cast<size_t>(t.n_i) * n_blocks, kInf);
  for (int32_t i = 0; i < t.n_i; ++i)
    for (int32_t rk = 0; rk < t.n_rk; ++rk) {
      double &m = b.block_min[static_cast<size_t>(i) * n_blocks + rk / kBlock];
      m = std::min(m, b.col_min[static_cast<size_t>(i) * t.n_rk + rk]);
    }

  const Factors all = g.factors();
  auto spacing = [&](int32_t kr, int32_t k) { return g.spacing[kr - k - g.t_min]; };

  // Box-relative left window (bi, bk) against every right window it pairs with.
  auto search_left = [&](int32_t bi, int32_t bk) {
    const double ls = t.left[static_cast<size_t>(bi) * t.n_k + bk];
    if (ls == kInf) return;
    const int32_t i = bi + t.i0, k = bk + t.k0;
    const int32_t lo = std::max(t.rk0, k + g.t_lo) - t.rk0, hi = std::min(t.rk0 + t.n_rk - 1, k + g.t_hi) - t.rk0;
    // Offsets whose right rows lie in the box.
    const int32_t j_lo = std::max(0, t.ru0 - i), j_hi = std::min(g.n_dy - 1, t.ru0 + t.n_ru - 1 - i);
    if (lo > hi || j_lo > j_hi) return;
    const double *blocks = &b.block_min[static_cast<size_t>(bi) * n_blocks];
    double lowest = kInf;
    for (int32_t blk = lo / kBlock; blk <= hi / kBlock; ++blk) lowest = std::min(lowest, blocks[blk]);
    if (c.hopeless(total_bound(ls + lowest, all), ScanIndex{g.pass, g.w, i, k, -1, -1})) return;
    const int32_t x = g.x0 + k * g.s, y = g.y0 + i * g.s;
    for (int32_t blk = lo / kBlock; blk <= hi / kBlock; ++blk) {
      const int32_t ra = std::max(lo, blk * kBlock), rb = std::min(hi, blk * kBlock + kBlock - 1);
      // The spacing factor falls and then rises with the distance, so its
      // largest value over a run of columns is at one end.
      const double block_factor = std::max(spacing(ra + t.rk0, k), spacing(rb + t.rk0, k));
      if (c.hopeless(total_bound(ls + blocks[blk], Factors{all.lo, g.offset_max * block_factor}),
                     ScanIndex{g.pass, g.w, i, k, ra + t.rk0, -1}))
        continue;
      for (int32_t rk = ra; rk <= rb; ++rk) {
        const int32_t kr = rk + t.rk0;
        const double sp = spacing(kr, k), lowest_factor = g.offset_min * sp;
        if (c.hopeless(total_bound(ls + b.col_min[static_cast<size_t>(bi) * t.n_rk + rk],
                                   Factors{lowest_factor, g.offset_max * sp}),
                       ScanIndex{g.pass, g.w, i, k, kr, -1}))
          continue;
        // col[i - ru0 + j]: the right window at offset j.
        const double *col = &t.right[static_cast<size_t>(rk) * t.n_ru];
        const int32_t row_of_j0 = i - t.ru0;
        const double *row_blocks = &b.row_block_min[static_cast<size_t>(rk) * n_row_blocks];
        for (int32_t ja = j_lo; ja <= j_hi; ja += kChunk) {
          const int32_t jb = std::min(j_hi + 1, ja + kChunk);
          // The offset factor grows with |dy|: largest at one end of a run.
          const double chunk_factor = std::max(g.offset[ja], g.offset[jb - 1]) * sp;
          const int32_t ra_row = i + ja - t.ru0, rb_row = i + jb - 1 - t.ru0;
          double chunk_low = kInf;
          for (int32_t q = ra_row / kChunk; q <= rb_row / kChunk; ++q) chunk_low = std::min(chunk_low, row_blocks[q]);
          if (c.hopeless(total_bound(ls + chunk_low, Factors{lowest_factor, chunk_factor}),
                         ScanIndex{g.pass, g.w, i, k, kr, ja - 1}))
            continue;
          for (int32_t j = ja; j < jb; ++j) {
            // The plain scan's total, operation for operation.
            const double rs = col[row_of_j0 + j];
            const double total = (g.offset[j] * sp) * (rs + ls);
            const ScanIndex at{g.pass, g.w, i, k, kr, j};
            if (total < c.best.total || (total == c.best.total && at < c.best_at)) {
              const int32_t rx = g.rx0 + kr * g.s, ry = y + g.dy_min + j * g.s;
              const int32_t w = g.w, h = g.h;
              c.best.found = true;
              c.best.total = total;
              c.best.left = EyeRecord{x + w / 2, y + h / 2, w / 2, h / 2, ls};
              c.best.right = EyeRecord{rx + w / 2, ry + h / 2, w / 2, h / 2, rs};
              c.best_at = at;
            }
          }
        }
      }
    }
  };

  // The most promising left windows first, so the bound is tight early.
  Vec<std::pair<double, int32_t>> first(c.memory);
  first.reserve(static_cast<size_t>(t.n_i) * t.n_k); // one allocation, the newest when it goes
  for (int32_t q = 0; q < t.n_i * t.n_k; ++q)
    if (t.left[q] != kInf) first.emplace_back(t.left[q], q);
  const size_t probes = std::min<size_t>(8, first.size());
  std::partial_sort(first.begin(), first.begin() + probes, first.end());
  for (size_t q = 0; q < probes; ++q) search_left(first[q].second / t.n_k, first[q].second % t.n_k);
  for (int32_t bi = 0; bi < t.n_i; ++bi)
    for (int32_t bk = 0; bk < t.n_k; ++bk) search_left(bi, bk);
}

// Index rectangle of the windows of one side that lie inside the picture.
struct ValidRange {
  int32_t k_lo, k_hi, i_lo, i_hi;
  bool empty() const { return k_lo > k_hi || i_lo > i_hi; }
};

ValidRange left_range(const WidthPlan &g, int32_t W, int32_t H) {
  // The plain scan skips windows that start left of the picture.
  const int32_t k_lo = std::max(0, -floor_div(g.x0, g.s));
  ValidRange r{k_lo, std::min(g.n_x - 1, floor_div(W - g.w - g.x0, g.s)), 0,
               std::min(g.n_y - 1, floor_div(H - g.h - g.y0, g.s))};
  while (r.k_lo <= r.k_hi && g.x0 + r.k_lo * g.s < 0) ++r.k_lo;
  return r;
}

ValidRange right_range(const WidthPlan &g, int32_t W, int32_t H) {
  const int32_t top = g.y0 + g.dy_min;
  ValidRange r{0, std::min(g.n_rx - 1, floor_div(W - g.w - g.rx0, g.s)), std::max(0, -floor_div(top, g.s)),
               std::min(g.n_ry - 1, floor_div(H - g.h - top, g.s))};
  while (r.i_lo <= r.i_hi && top + r.i_lo * g.s < 0) ++r.i_lo;
  return r;
}

// Fills the pair tables from full score tables of both sides, keeping only
// windows that can still be in a better pair.
void keep_contenders(const PairSearch &c, const WidthPlan &g, const Vec<double> &left, const Vec<double> &right,
                     PairTables &t) {
  const double lmin = *std::min_element(left.begin(), left.end());
  const double rmin = *std::min_element(right.begin(), right.end());
  const Factors all = g.factors();
  t.clear();
  if (!c.in_race(lmin, rmin, all)) return;
  int32_t k_lo = g.n_x, k_hi = -1, i_lo = g.n_y, i_hi = -1, r_lo = g.n_rx, r_hi = -1, u_lo = g.n_ry, u_hi = -1;
  for (int32_t i = 0; i < g.n_y; ++i)
    for (int32_t k = 0; k < g.n_x; ++k)
      if (c.in_race(left[static_cast<size_t>(i) * g.n_x + k], rmin, all)) {
        k_lo = std::min(k_lo, k), k_hi = std::max(k_hi, k);
        i_lo = std::min(i_lo, i), i_hi = std::max(i_hi, i);
      }
  for (int32_t u = 0; u < g.n_ry; ++u)
    for (int32_t kr = 0; kr < g.n_rx; ++kr)
      if (c.in_race(right[static_cast<size_t>(u) * g.n_rx + kr], lmin, all)) {
        r_lo = std::min(r_lo, kr), r_hi = std::max(r_hi, kr);
        u_lo = std::min(u_lo, u), u_hi = std::max(u_hi, u);
      }
  if (k_hi < 0 || r_hi < 0) return;
  if (!frame_pair_tables(t, g, {k_lo, k_hi, i_lo, i_hi}, {r_lo, r_hi, u_lo, u_hi})) return;
  for (int32_t i = 0; i < t.n_i; ++i)
    for (int32_t k = 0; k < t.n_k; ++k) {
      const double v = left[static_cast<size_t>(i + t.i0) * g.n_x + k + t.k0];
      if (c.in_race(v, rmin, all)) t.left[static_cast<size_t>(i) * t.n_k + k] = v;
    }
  for (int32_t u = 0; u < t.n_ru; ++u)
    for (int32_t kr = 0; kr < t.n_rk; ++kr) {
      const double v = right[static_cast<size_t>(u + t.ru0) * g.n_rx + kr + t.rk0];
      if (c.in_race(v, lmin, all)) t.right[static_cast<size_t>(kr) * t.n_ru + u] = v;
    }
}

// ---- Coarse pass: windows step by a quarter of their width, so only the
// table values at their corners are needed. One sweep over the band collects
// them for every width.

// Prefix sums of one side of one width at the corner columns and rows of its
// windows: corner c of a window index is 2*index (before it) or 2*index + 1
// (its last column or row).
struct CornerGrid {
  Vec<int32_t> cols, rows;                     // picture coordinates, 2 per window index
  Vec<int64_t> gray, square, eye;              // rows.size() x cols.size()
  Vec<int64_t> acc_gray, acc_square, acc_eye;  // running column sums
  Vec<std::pair<int32_t, int32_t>> row_events; // (row, slot), sorted
  size_t next_event = 0;

  explicit CornerGrid(Memory m)
      : cols(m), rows(m), gray(m), square(m), eye(m), acc_gray(m), acc_square(m), acc_eye(m), row_events(m) {}

  void init(int32_t x0, int32_t n_x, int32_t y0, int32_t n_y, int32_t s, int32_t w, int32_t h) {
    for (int32_t k = 0; k < n_x; ++k) {
      cols.push_back(x0 + k * s - 1);
      cols.push_back(x0 + k * s + w - 1);
    }
    for (int32_t i = 0; i < n_y; ++i) {
      rows.push_back(y0 + i * s - 1);
      rows.push_back(y0 + i * s + h - 1);
    }
    const size_t n = cols.size() * rows.size();
    gray.assign(n, 0);
    square.assign(n, 0);
    eye.assign(n, 0);
    acc_gray.assign(cols.size(), 0);
    acc_square.assign(cols.size(), 0);
    acc_eye.assign(cols.size(), 0);
    for (size_t r = 0; r < rows.size(); ++r) row_events.emplace_back(rows[r], static_cast<int32_t>(r));
    std::sort(row_events.begin(), row_events.end());
  }

  // Score of window (k, i), which must lie inside the swept band.
  double score(int32_t k, int32_t i, int64_t n) const {
    const size_t nc = cols.size();
    const size_t t = static_cast<size_t>(2 * i) * nc, b = t + nc, l = 2 * k, r = l + 1;
    return score_from_sums(gray[b + r] - gray[b + l] - gray[t + r] + gray[t + l],
                           square[b + r] - square[b + l] - square[t + r] + square[t + l],
                           eye[b + r] - eye[b + l] - eye[t + r] + eye[t + l], n);
  }
};

struct CoarseWidth {
  WidthPlan plan;
  CornerGrid left, right;

  explicit CoarseWidth(Memory m) : plan(m), left(m), right(m) {}
};

// Sweeps the band once; rows and columns of corners outside it belong to
// windows outside the picture or count as zero (before the band).
void sweep_corners(const BmpImage &image, int32_t bx0, int32_t by0, int32_t bx1, int32_t by1, Vec<CoarseWidth> &widths,
                   Memory m) {
  Vec<CornerGrid *> grids(m);
  for (CoarseWidth &cw : widths) {
    grids.push_back(&cw.left);
    grids.push_back(&cw.right);
  }
  // Corner columns before the band read the zero in front; beyond it, any value.
  auto slot = [&](int32_t col) { return static_cast<size_t>(std::clamp(col, bx0 - 1, bx1) - (bx0 - 1)); };
  Vec<Vec<size_t>> col_slots(m);
  for (CornerGrid *g : grids) {
    Vec<size_t> s(m);
    for (int32_t col : g->cols) s.push_back(slot(col));
    col_slots.push_back(std::move(s));
    // Rows above the band stay zero.
    while (g->next_event < g->row_events.size() && g->row_events[g->next_event].first < by0) ++g->next_event;
  }
  const int32_t band_w = bx1 - bx0 + 1;
  Vec<int64_t> run_gray(band_w + 1, 0, m), run_square(band_w + 1, 0, m), run_eye(band_w + 1, 0, m);
  Vec<uint8_t> gray_row(static_cast<size_t>(band_w), m), eye_row(static_cast<size_t>(band_w), m);
  for (int32_t y = by0; y <= by1; ++y) {
    gray_and_eye_values(image.pixels + (static_cast<size_t>(y) * image.width + bx0) * 3, band_w,
                        gray_row.data(), eye_row.data());
    int64_t sg = 0, sq = 0, se = 0;
    for (int32_t c = 0; c < band_w; ++c) {
      const int64_t v = gray_row[c];
      run_gray[c + 1] = sg += v;
      run_square[c + 1] = sq += v * v;
      run_eye[c + 1] = se += eye_row[c];
    }
    for (size_t gi = 0; gi < grids.size(); ++gi) {
      CornerGrid &g = *grids[gi];
      const Vec<size_t> &slots = col_slots[gi];
      for (size_t j = 0; j < slots.size(); ++j) {
        g.acc_gray[j] += run_gray[slots[j]];
        g.acc_square[j] += run_square[slots[j]];
        g.acc_eye[j] += run_eye[slots[j]];
      }
      const size_t nc = g.cols.size();
      while (g.next_event < g.row_events.size() && g.row_events[g.next_event].first == y) {
        const size_t at = static_cast<size_t>(g.row_events[g.next_event].second) * nc;
        std::copy(g.acc_gray.begin(), g.acc_gray.end(), g.gray.begin() + at);
        std::copy(g.acc_square.begin(), g.acc_square.end(), g.square.begin() + at);
        std::copy(g.acc_eye.begin(), g.acc_eye.end(), g.eye.begin() + at);
        ++g.next_event;
      }
    }
  }
}

void coarse_pass(PairSearch &c, const BmpImage &image, const SearchFrame &f, const PassPlan &p) {
  Vec<CoarseWidth> widths(c.memory);
  for (int32_t w = p.w_first; w <= p.w_last; w += p.w_step) {
    CoarseWidth cw(c.memory);
    if (!make_width_plan(f, p, 0, w, cw.plan)) continue;
    const WidthPlan &g = cw.plan;
    cw.left.init(g.x0, g.n_x, g.y0, g.n_y, g.s, g.w, g.h);
    cw.right.init(g.rx0, g.n_rx, g.y0 + g.dy_min, g.n_ry, g.s, g.w, g.h);
    widths.push_back(std::move(cw));
  }
  if (widths.empty()) return;
  // The band every window of the pass lies in, clipped to the picture.
  const int32_t W = image.width, H = image.height;
  const int32_t bx0 = std::max(std::min(p.x_first, p.rx_first), 0);
  const int32_t bx1 = std::min(std::max(p.x_end, p.rx_end) - 1, W - 1);
  const int32_t by0 = std::max(p.y_first + f.dy_min, 0);
  const int32_t by1 = std::min(p.y_end + f.dy_max - 1, H - 1);
  if (bx0 > bx1 || by0 > by1) return;
  sweep_corners(image, bx0, by0, bx1, by1, widths, c.memory);

  Vec<double> left(c.memory), right(c.memory);
  PairTables tables(c.memory);
  for (const CoarseWidth &cw : widths) {
    const WidthPlan &g = cw.plan;
    const int64_t n = int64_t{g.w} * g.h;
    left.assign(static_cast<size_t>(g.n_x) * g.n_y, kInf);
    right.assign(static_cast<size_t>(g.n_rx) * g.n_ry, kInf);
    const ValidRange lr = left_range(g, W, H), rr = right_range(g, W, H);
    if (lr.empty() || rr.empty()) continue;
    for (int32_t i = lr.i_lo; i <= lr.i_hi; ++i)
      for (int32_t k = lr.k_lo; k <= lr.k_hi; ++k) left[static_cast<size_t>(i) * g.n_x + k] = cw.left.score(k, i, n);
    for (int32_t u = rr.i_lo; u <= rr.i_hi; ++u)
      for (int32_t kr = rr.k_lo; kr <= rr.k_hi; ++kr)
        right[static_cast<size_t>(u) * g.n_rx + kr] = cw.right.score(kr, u, n);
    keep_contenders(c, g, left, right, tables);
    if (tables.n_k > 0) search_pairs(c, g, tables);
  }
}

// ---- Fine pass: positions move one pixel at a time around the coarse
// winner. Scores come from tables over the two small regions the windows
// cover. Lower bounds, over blocks of positions and then a cheap one per
// window, settle which windows can still be in a better pair; only those
// are scored exactly.

constexpr int32_t kTile = 16; // first blocks are kTile x kTile positions
constexpr int32_t kLeaf = 16; // blocks this small are never split
// A block is split only while its side is at most the window height over
// this: the bound over a block is loose when the windows it holds differ
// much, and then working out every window's bound costs less.
constexpr int32_t kSplitShare = 2;

// A rectangle of window positions with a lower bound on their scores; once
// worked out, where its windows' own bounds are kept.
struct Block {
  int32_t k0, k1, i0, i1;
  double bound;
  int32_t bound_at; // offset into the side's bounds, -1 until worked out
};

struct Contender {
  int32_t k, i;
  double score;
};

constexpr int32_t kCarried = 16;

struct Side {
  const RegionTables *tables = nullptr;
  int32_t x0 = 0, y0 = 0; // picture position of window index (0, 0)
  Vec<Block> open;         // min-heap on bound while the lowest is sought
  Vec<Block> done;         // worked out
  Vec<Block> work;         // blocks still to look at for contenders
  Vec<double> bounds;      // the windows' bounds, block by block, row-major in each
  double low_bound = kInf; // below every score of the side
  Vec<Contender> contenders;
  double low = kInf; // lowest exact score among the contenders
  ValidRange range{0, -1, 0, -1};
  // Every window scored exactly: `bounds` then holds the scores of `range`,
  // row-major, as the one block in `done`.
  bool exact = false;
  // Whether the side of the width before was scored so. Neighbouring widths
  // score much alike, so this one starts so too, skipping its blocks; but
  // after kCarried widths in a row the blocks get another chance, lest one
  // width of a photo make all later ones pay for every score.
  bool exact_before = false;
  int32_t carried = 0; // widths in a row that started scored

  explicit Side(Memory m) : open(m), done(m), work(m), bounds(m), contenders(m) {}
};

bool heap_order(const Block &a, const Block &b) { return a.bound > b.bound; }

Block make_block(const Side &side, const WidthPlan &g, int32_t k0, int32_t k1, int32_t i0, int32_t i1,
                 double floor) {
  // A part's bound is at least its whole's, whichever the rounding says.
  const double bound = side.tables->score_bound(side.x0 + k0, side.x0 + k1, side.y0 + i0, side.y0 + i1, g.w, g.h);
  return Block{k0, k1, i0, i1, std::max(bound, floor), -1};
}

bool splits(const WidthPlan &g, const Block &b) {
  const int32_t n_k = b.k1 - b.k0 + 1, n_i = b.i1 - b.i0 + 1;
  return n_k * n_i > kLeaf && std::max(n_k, n_i) * kSplitShare <= g.h;
}

// The four parts of a block, appended to `out`.
void split(const Side &side, const WidthPlan &g, const Block &b, Vec<Block> &out) {
  const int32_t km = (b.k0 + b.k1) / 2, im = (b.i0 + b.i1) / 2;
  const int32_t ks[3] = {b.k0, km + 1, b.k1 + 1}, is[3] = {b.i0, im + 1, b.i1 + 1};
  for (int32_t a = 0; a < 2; ++a)
    for (int32_t c = 0; c < 2; ++c)
      if (ks[c] < ks[c + 1] && is[a] < is[a + 1])
        out.push_back(make_block(side, g, ks[c], ks[c + 1] - 1, is[a], is[a + 1] - 1, b.bound));
}

// Works out the bound of every window of the block; returns the lowest.
double work_out(Side &side, const WidthPlan &g, Block &b) {
  const int32_t n_k = b.k1 - b.k0 + 1;
  b.bound_at = static_cast<int32_t>(side.bounds.size());
  side.bounds.resize(side.bounds.size() + static_cast<size_t>(n_k) * (b.i1 - b.i0 + 1));
  double *row = side.bounds.data() + b.bound_at, low = kInf;
  for (int32_t i = b.i0; i <= b.i1; ++i, row += n_k)
    low = std::min(low, side.tables->bound_run(side.x0 + b.k0, side.y0 + i, g.w, g.h, n_k, row));
  return low;
}

size_t window_count(const ValidRange &r) {
  return r.empty() ? 0 : static_cast<size_t>(r.k_hi - r.k_lo + 1) * (r.i_hi - r.i_lo + 1);
}

// Scores every window of the side; its floor is then the lowest score.
void score_side(Side &side, const WidthPlan &g) {
  const ValidRange &r = side.range;
  const int32_t n_k = r.k_hi - r.k_lo + 1;
  // The memory start_side set aside for every window's bound.
  side.bounds.clear();
  side.bounds.resize(window_count(r));
  double low = kInf, *row = side.bounds.data();
  for (int32_t i = r.i_lo; i <= r.i_hi; ++i, row += n_k) {
    side.tables->score_run(side.x0 + r.k_lo, side.y0 + i, g.w, g.h, n_k, row);
    for (int32_t q = 0; q < n_k; ++q) low = std::min(low, row[q]);
  }
  side.open.clear();
  side.done.assign(1, Block{r.k_lo, r.k_hi, r.i_lo, r.i_hi, low, 0});
  side.low_bound = low;
  side.exact = true;
}

void start_side(Side &side, const WidthPlan &g, const ValidRange &r) {
  side.open.clear();
  side.done.clear();
  side.bounds.clear();
  side.low_bound = kInf;
  side.range = r;
  side.exact = false;
  if (r.empty()) return;
  // Room for every window's bound at once: grown step by step, the arena
  // would keep every smaller copy.
  side.bounds.reserve(window_count(r));
  if (side.exact_before) {
    ++side.carried;
    score_side(side, g);
    return;
  }
  side.carried = 0;
  for (int32_t i0 = r.i_lo; i0 <= r.i_hi; i0 += kTile)
    for (int32_t k0 = r.k_lo; k0 <= r.k_hi; k0 += kTile)
      side.open.push_back(make_block(side, g, k0, std::min(r.k_hi, k0 + kTile - 1), i0,
                                     std::min(r.i_hi, i0 + kTile - 1), -kInf));
  std::make_heap(side.open.begin(), side.open.end(), heap_order);
}

// Below every score of the side: the lowest window bound worked out, or the
// lowest bound of a block not worked out.
double side_floor(const Side &side) {
  return side.open.empty() ? side.low_bound : std::min(side.low_bound, side.open.front().bound);
}

// Whether no block left could lower the floor.
bool side_settled(const Side &side) { return side.open.empty() || side.open.front().bound >= side.low_bound; }

// Splits or works out the block of the lowest bound.
void refine_side(Side &side, const WidthPlan &g) {
  std::pop_heap(side.open.begin(), side.open.end(), heap_order);
  Block b = side.open.back();
  side.open.pop_back();
  if (splits(g, b)) {
    const size_t before = side.open.size();
    split(side, g, b, side.open);
    for (size_t i = before + 1; i <= side.open.size(); ++i)
      std::push_heap(side.open.begin(), side.open.begin() + static_cast<ptrdiff_t>(i), heap_order);
    return;
  }
  side.low_bound = std::min(side.low_bound, work_out(side, g, b));
  side.done.push_back(b);
}

// refine_side, until more than one in `exact_share` of the side's windows
// is worked out. Blocks are not paying then: where many windows score about
// the same (a grey picture, say) nearly all would be split and worked out,
// in the heap's order, which jumps about the tables; scoring every window,
// row by row in the tables' order, costs less. Tiles of lower windows are
// never split, and their bounds cost less than scores.
static_assert(FineScoring{}.exact_height == kTile * kSplitShare);
void advance_side(Side &side, const WidthPlan &g, FineScoring scoring) {
  refine_side(side, g);
  if (scoring.exact_share != 0 && g.h >= scoring.exact_height &&
      side.bounds.size() > window_count(side.range) / scoring.exact_share)
    score_side(side, g);
}

// Calls f(q), in order, for each q < n whose v[q] is in the race against `other`.
template <typename F>
void for_each_in_race(const PairSearch &c, const double *v, int32_t n, double other, Factors all, F f) {
  int32_t q = 0;
#if defined(__SSE2__)
  for (; q + 2 <= n; q += 2) {
    const int in = c.race_mask(v + q, other, all);
    if (in & 1) f(q);
    if (in & 2) f(q + 1);
  }
#endif
  for (; q < n; ++q)
    if (c.in_race(v[q], other, all)) f(q);
}

// Scores exactly the windows whose bounds leave them in the race against
// `other`, a lower bound on the other side's scores.
void score_contenders(const PairSearch &c, Side &side, const WidthPlan &g, double other, Factors all) {
  side.contenders.clear();
  side.low = kInf;
  if (side.exact) {
    // The scores are at hand: a window is a contender if its score is in the race.
    const ValidRange &r = side.range;
    const int32_t n_k = r.k_hi - r.k_lo + 1;
    const double *row = side.bounds.data();
    for (int32_t i = r.i_lo; i <= r.i_hi; ++i, row += n_k)
      for_each_in_race(c, row, n_k, other, all, [&](int32_t q) {
        side.contenders.push_back(Contender{r.k_lo + q, i, row[q]});
        side.low = std::min(side.low, row[q]);
      });
    return;
  }
  auto take = [&](int32_t k, int32_t i) {
    double score;
    side.tables->score_run(side.x0 + k, side.y0 + i, g.w, g.h, 1, &score);
    side.contenders.push_back(Contender{k, i, score});
    side.low = std::min(side.low, score);
  };
  Vec<Block> &work = side.work;
  work.assign(side.done.begin(), side.done.end());
  work.insert(work.end(), side.open.begin(), side.open.end());
  while (!work.empty()) {
    Block b = work.back();
    work.pop_back();
    if (!c.in_race(b.bound, other, all)) continue;
    if (b.bound_at < 0) {
      if (splits(g, b)) {
        split(side, g, b, work);
        continue;
      }
      work_out(side, g, b);
    }
    const int32_t n_k = b.k1 - b.k0 + 1;
    const double *bound = side.bounds.data() + b.bound_at;
    for (int32_t i = b.i0; i <= b.i1; ++i, bound += n_k)
      for_each_in_race(c, bound, n_k, other, all, [&](int32_t q) { take(b.k0 + q, i); });
  }
}

// Every window of a pair that beats the best is in the race against the
// other side's lower bound, so it is a contender; the other window is one
// too, so the lowest contender score on each side is as good a limit as the
// side's true lowest.
void fine_width(PairSearch &c, const WidthPlan &g, Side &left, Side &right, PairTables &t) {
  const Factors all = g.factors();
  start_side(left, g, left_range(g, c.image_w, c.image_h));
  start_side(right, g, right_range(g, c.image_w, c.image_h));
  // Both floors rise until they settle, unless the width drops out before;
  // the side with the lower floor is refined first, as the one more likely
  // to hold the sum down.
  for (;;) {
    const double lf = side_floor(left), rf = side_floor(right);
    if (lf == kInf || rf == kInf || !c.in_race(lf, rf, all)) return;
    const bool ls = side_settled(left), rs = side_settled(right);
    if (ls && rs) break;
    if (rs || (!ls && lf <= rf)) advance_side(left, g, c.scoring);
    else advance_side(right, g, c.scoring);
  }
  left.low_bound = side_floor(left);
  right.low_bound = side_floor(right);
  score_contenders(c, left, g, right.low_bound, all);
  score_contenders(c, right, g, left.low_bound, all);
  const double lmin = left.low, rmin = right.low;

  int32_t k_lo = g.n_x, k_hi = -1, i_lo = g.n_y, i_hi = -1, r_lo = g.n_rx, r_hi = -1, u_lo = g.n_ry, u_hi = -1;
  for (const Contender &n : left.contenders)
    if (c.in_race(n.score, rmin, all)) {
      k_lo = std::min(k_lo, n.k), k_hi = std::max(k_hi, n.k);
      i_lo = std::min(i_lo, n.i), i_hi = std::max(i_hi, n.i);
    }
  for (const Contender &n : right.contenders)
    if (c.in_race(n.score, lmin, all)) {
      r_lo = std::min(r_lo, n.k), r_hi = std::max(r_hi, n.k);
      u_lo = std::min(u_lo, n.i), u_hi = std::max(u_hi, n.i);
    }
  if (k_hi < 0 || r_hi < 0) return;
  if (!frame_pair_tables(t, g, {k_lo, k_hi, i_lo, i_hi}, {r_lo, r_hi, u_lo, u_hi})) return;
  for (const Contender &n : left.contenders)
    if (c.in_race(n.score, rmin, all))
      t.left[static_cast<size_t>(n.i - t.i0) * t.n_k + (n.k - t.k0)] = n.score;
  for (const Contender &n : right.contenders)
    if (n.i >= t.ru0 && n.i < t.ru0 + t.n_ru && c.in_race(n.score, lmin, all))
      t.right[static_cast<size_t>(n.k - t.rk0) * t.n_ru + (n.i - t.ru0)] = n.score;
  search_pairs(c, g, t);
}

void fine_pass(PairSearch &c, const BmpImage &image, const SearchFrame &f, const PassPlan &p) {
  // Every window of the pass lies in one of these two rectangles.
  RegionTables left_tables(c.memory), right_tables(c.memory);
  left_tables.build(image, p.x_first, p.y_first, p.x_end - 1, p.y_end - 1);
  right_tables.build(image, p.rx_first, p.y_first + f.dy_min, p.rx_end - 1, p.y_end + f.dy_max - 1);
  Side left(c.memory), right(c.memory);
  left.tables = &left_tables;
  right.tables = &right_tables;
  PairTables t(c.memory);
  WidthPlan g(c.memory);
  for (int32_t w = p.w_first; w <= p.w_last; w += p.w_step) {
    if (!make_width_plan(f, p, 1, w, g)) continue;
    left.x0 = g.x0;
    left.y0 = g.y0;
    right.x0 = g.rx0;
    right.y0 = g.y0 + g.dy_min;
    fine_width(c, g, left, right, t);
    left.exact_before = left.exact && left.carried < kCarried;
    right.exact_before = right.exact && right.carried < kCarried;
  }
}

} // namespace

EyePair search_eye_pair(const BmpImage &image, FaceRect face, std::pmr::memory_resource *memory,
                        FineScoring scoring) {
  const SearchFrame frame = search_frame(face);
  WorkArena own;
  PairSearch c(memory != nullptr ? memory : &own);
  c.image_w = image.width;
  c.image_h = image.height;
  c.scoring = scoring;
  coarse_pass(c, image, frame, coarse_pass_plan(frame));
  if (!c.best.found) return c.best;
  // As in the plain scan: the fine pass must beat the coarse winner, and its
  // ranges come from that winner.
  fine_pass(c, image, frame, fine_pass_plan(frame, c.best.left, c.best.right));
  return c.best;
}

} // namespace tavrin::sunglasses
