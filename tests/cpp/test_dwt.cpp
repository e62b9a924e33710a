// Tests of the reversible 5/3 wavelet: worked examples, the band layout,
// argument checks, an independent column-by-column reference, the kernel
// families against each other, and exact reversibility over many sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "families.hpp"
#include "htj2k/dwt/dwt.hpp"
#include "htj2k/dwt/kernels.hpp"

using namespace varnel;
using namespace varnel::htj2k;

namespace {

using Plane = std::vector<std::int32_t>;

// ---------------------------------------------------------------------------
// Reference transform, written straight from T.800's 1-D definitions
// (F.4.8 forward, F.3.8 inverse) with the periodic symmetric extension of
// F.3.7, applied column by column and then row by row, in 64-bit arithmetic.

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// Index of the whole-sample symmetric extension of a signal of length n >= 2.
std::int64_t mirror(std::int64_t i, std::int64_t n) {
  const std::int64_t period = 2 * (n - 1);
  i %= period;
  if (i < 0) i += period;
  return i < n ? i : period - i;
}

constexpr std::int64_t kMargin = 4;

// Interleaved 1-D forward: even outputs low-pass, odd outputs high-pass.
std::vector<std::int64_t> ref_forward_1d(const std::vector<std::int64_t>& x) {
  const auto n = static_cast<std::int64_t>(x.size());
  if (n == 1) return x;
  auto X = [&](std::int64_t i) { return x[mirror(i, n)]; };
  std::vector<std::int64_t> yext(n + 2 * kMargin);
  auto Y = [&](std::int64_t i) -> std::int64_t& { return yext[i + kMargin]; };
  for (std::int64_t i = -3; i < n + 3; ++i)
    if (i % 2 != 0) Y(i) = X(i) - floor_div(X(i - 1) + X(i + 1), 2);
  for (std::int64_t i = 0; i < n; i += 2) Y(i) = X(i) + floor_div(Y(i - 1) + Y(i + 1) + 2, 4);
  return {yext.begin() + kMargin, yext.begin() + kMargin + n};
}

std::vector<std::int64_t> ref_inverse_1d(const std::vector<std::int64_t>& y) {
  const auto n = static_cast<std::int64_t>(y.size());
  if (n == 1) return y;
  auto Y = [&](std::int64_t i) { return y[mirror(i, n)]; };
  std::vector<std::int64_t> xext(n + 2 * kMargin);
  auto X = [&](std::int64_t i) -> std::int64_t& { return xext[i + kMargin]; };
  for (std::int64_t i = -2; i < n + 2; ++i)
    if (i % 2 == 0) X(i) = Y(i) - floor_div(Y(i - 1) + Y(i + 1) + 2, 4);
  for (std::int64_t i = 1; i < n; i += 2) X(i) = Y(i) + floor_div(X(i - 1) + X(i + 1), 2);
  return {xext.begin() + kMargin, xext.begin() + kMargin + n};
}

// Interleaved <-> low half then high half.
std::vector<std::int64_t> deinterleave(const std::vector<std::int64_t>& v) {
  std::vector<std::int64_t> out;
  for (std::size_t i = 0; i < v.size(); i += 2) out.push_back(v[i]);
  for (std::size_t i = 1; i < v.size(); i += 2) out.push_back(v[i]);
  return out;
}
std::vector<std::int64_t> interleave(const std::vector<std::int64_t>& v) {
  std::vector<std::int64_t> out(v.size());
  const std::size_t nl = (v.size() + 1) / 2;
  for (std::size_t i = 0; i < v.size(); ++i) out[i] = i % 2 == 0 ? v[i / 2] : v[nl + i / 2];
  return out;
}

struct Region {
  std::size_t w, h;
};

std::vector<Region> regions(std::size_t width, std::size_t height, unsigned levels) {
  std::vector<Region> out;
  for (std::size_t w = width, h = height; out.size() < levels && (w > 1 || h > 1);
       w = (w + 1) / 2, h = (h + 1) / 2)
    out.push_back({w, h});
  return out;
}

Plane ref_forward(Plane p, std::size_t width, std::size_t height, unsigned levels) {
  for (auto [w, h] : regions(width, height, levels)) {
    for (std::size_t x = 0; x < w; ++x) {  // columns first
      std::vector<std::int64_t> col(h);
      for (std::size_t y = 0; y < h; ++y) col[y] = p[y * width + x];
      col = deinterleave(ref_forward_1d(col));
      for (std::size_t y = 0; y < h; ++y) p[y * width + x] = static_cast<std::int32_t>(col[y]);
    }
    for (std::size_t y = 0; y < h; ++y) {
      std::vector<std::int64_t> row(p.begin() + y * width, p.begin() + y * width + w);
      row = deinterleave(ref_forward_1d(row));
      for (std::size_t x = 0; x < w; ++x) p[y * width + x] = static_cast<std::int32_t>(row[x]);
    }
  }
  return p;
}

Plane ref_inverse(Plane p, std::size_t width, std::size_t height, unsigned levels) {
  auto rs = regions(width, height, levels);
  for (auto it = rs.rbegin(); it != rs.rend(); ++it) {
    const auto [w, h] = *it;
    for (std::size_t y = 0; y < h; ++y) {  // rows first
      std::vector<std::int64_t> row(p.begin() + y * width, p.begin() + y * width + w);
      row = ref_inverse_1d(interleave(row));
      for (std::size_t x = 0; x < w; ++x) p[y * width + x] = static_cast<std::int32_t>(row[x]);
    }
    for (std::size_t x = 0; x < w; ++x) {
      std::vector<std::int64_t> col(h);
      for (std::size_t y = 0; y < h; ++y) col[y] = p[y * width + x];
      col = ref_inverse_1d(interleave(col));
      for (std::size_t y = 0; y < h; ++y) p[y * width + x] = static_cast<std::int32_t>(col[y]);
    }
  }
  return p;
}

// ---------------------------------------------------------------------------

Plane random_plane(std::mt19937& rng, std::size_t n, std::int32_t lo, std::int32_t hi) {
  std::uniform_int_distribution<std::int32_t> dist(lo, hi);
  Plane p(n);
  for (auto& v : p) v = dist(rng);
  return p;
}

Plane forward(Plane p, std::size_t w, std::size_t h, unsigned levels) {
  auto r = forward_53(p, w, h, static_cast<std::uint8_t>(levels));
  EXPECT_TRUE(r.has_value());
  return p;
}

Plane inverse(Plane p, std::size_t w, std::size_t h, unsigned levels) {
  auto r = inverse_53(p, w, h, static_cast<std::uint8_t>(levels));
  EXPECT_TRUE(r.has_value());
  return p;
}

// The tables of the families this CPU runs, each once.
std::vector<const LiftKernels*> families() {
  std::vector<const LiftKernels*> out;
  for (Isa isa : isa_runnable())
    if (std::find(out.begin(), out.end(), &lift_kernels_for(isa)) == out.end())
      out.push_back(&lift_kernels_for(isa));
  return out;
}

}  // namespace

// --- worked examples --------------------------------------------------------

TEST(Dwt53, FiveSampleRow) {
  EXPECT_EQ(forward({3, 7, 1, 8, 2}, 5, 1, 1), (Plane{6, 4, 6, 5, 7}));
  EXPECT_EQ(inverse({6, 4, 6, 5, 7}, 5, 1, 1), (Plane{3, 7, 1, 8, 2}));
}

TEST(Dwt53, TwoByTwoRunsColumnsBeforeRows) {
  EXPECT_EQ(forward({0, -3, 3, 3}, 2, 2, 1), (Plane{1, -2, 5, 3}));
  EXPECT_EQ(inverse({1, -2, 5, 3}, 2, 2, 1), (Plane{0, -3, 3, 3}));
  EXPECT_NE(forward({0, -3, 3, 3}, 2, 2, 1), (Plane{1, -1, 4, 3}));  // rows first
}

TEST(Dwt53, TwoSampleRowsFollowTheClosedForm) {
  for (std::int32_t x0 = -9; x0 <= 9; ++x0)
    for (std::int32_t x1 = -9; x1 <= 9; ++x1) {
      const std::int32_t d = x1 - x0;
      const auto s = static_cast<std::int32_t>(x0 + floor_div(2 * d + 2, 4));
      EXPECT_EQ(forward({x0, x1}, 2, 1, 1), (Plane{s, d}));
      EXPECT_EQ(forward({x0, x1}, 1, 2, 1), (Plane{s, d}));
    }
}

TEST(Dwt53, NegativeSumsRoundDown) {
  // d = 0 - floor((-1 + 0) / 2) = 1; s = -1 + floor((1 + 1 + 2) / 4) = 0, 0 + 1 = 1.
  EXPECT_EQ(forward({-1, 0, 0}, 3, 1, 1), (Plane{0, 1, 1}));
  EXPECT_EQ(forward({-1, 0, 0}, 1, 3, 1), (Plane{0, 1, 1}));
}

// --- layout and degenerate sizes -------------------------------------------

TEST(Dwt53, OddSizeBandLayout) {
  // A constant plane has all its energy in LL: 5 x 3 leaves LL 3 x 2 and
  // zero HL 2 x 2, LH 3 x 1, HH 2 x 1.
  const Plane out = forward(Plane(15, 7), 5, 3, 1);
  EXPECT_EQ(out, (Plane{7, 7, 7, 0, 0,  //
                        7, 7, 7, 0, 0,  //
                        0, 0, 0, 0, 0}));
  // A single unit sample at (4, 2) is a corner: it reaches HH at (4, 2)
  // and the neighbouring bands only through the lifting steps.
  Plane impulse(15, 0);
  impulse[2 * 5 + 4] = 64;
  EXPECT_EQ(forward(impulse, 5, 3, 1), ref_forward(impulse, 5, 3, 1));
}

TEST(Dwt53, ZeroLevelsAndSinglePixelLeaveThePlane) {
  std::mt19937 rng(1);
  const Plane p = random_plane(rng, 35, -1000, 1000);
  EXPECT_EQ(forward(p, 7, 5, 0), p);
  EXPECT_EQ(inverse(p, 7, 5, 0), p);
  for (unsigned levels : {0u, 1u, 2u, 7u, 255u}) {
    EXPECT_EQ(forward({-42}, 1, 1, levels), Plane{-42});
    EXPECT_EQ(inverse({-42}, 1, 1, levels), Plane{-42});
  }
}

TEST(Dwt53, StopsAtTheFirstSinglePixelRegion) {
  // Width 1, height 8: vertical steps at heights 8, 4, 2, then 1 x 1.
  std::mt19937 rng(2);
  const Plane p = random_plane(rng, 8, -500, 500);
  const Plane three = forward(p, 1, 8, 3);
  EXPECT_EQ(forward(p, 1, 8, 5), three);
  EXPECT_EQ(three, ref_forward(p, 1, 8, 3));
  EXPECT_EQ(inverse(three, 1, 8, 5), p);
  // Height 1: horizontal steps only.
  EXPECT_EQ(forward(p, 8, 1, 255), ref_forward(p, 8, 1, 3));
  // 255 levels on 100 x 60 stop after 7 levels (100 -> 1 takes 7 halvings).
  const Plane q = random_plane(rng, 6000, -4096, 4095);
  const Plane seven = forward(q, 100, 60, 7);
  EXPECT_EQ(forward(q, 100, 60, 255), seven);
  EXPECT_EQ(inverse(seven, 100, 60, 255), q);
}

// --- argument checks --------------------------------------------------------

TEST(Dwt53, RejectsEmptyOrShortPlanes) {
  Plane p(12, 5);
  const std::string msg = "invalid argument: plane buffer smaller than width * height";
  for (auto op : {forward_53, inverse_53}) {
    for (auto [w, h, len] : {std::tuple{0uz, 4uz, 12uz}, {3, 0, 12}, {0, 0, 0}, {3, 4, 11},
                             {5, 3, 12}}) {
      auto r = op(std::span(p).first(len), w, h, 1);
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().display(), msg);
    }
    const auto huge = std::numeric_limits<std::size_t>::max() / 2 + 1;
    EXPECT_FALSE(op(p, huge, 2, 1).has_value());
    EXPECT_FALSE(op(p, 2, huge, 0).has_value());  // checked even with no levels
    EXPECT_EQ(p, Plane(12, 5));                   // untouched on every failure
  }
}

TEST(Dwt53, LeavesTheTailOfALongerBufferAlone) {
  std::mt19937 rng(3);
  Plane p = random_plane(rng, 40, -100, 100);
  const Plane original = p;
  ASSERT_TRUE(forward_53(p, 7, 5, 3).has_value());
  EXPECT_TRUE(std::equal(p.begin() + 35, p.end(), original.begin() + 35));
  EXPECT_EQ(p, [&] {
    Plane r = ref_forward({original.begin(), original.begin() + 35}, 7, 5, 3);
    r.insert(r.end(), original.begin() + 35, original.end());
    return r;
  }());
  ASSERT_TRUE(inverse_53(p, 7, 5, 3).has_value());
  EXPECT_EQ(p, original);
}

// --- against the column-by-column reference ---------------------------------

TEST(Dwt53, MatchesTheReferenceOnEverySmallSize) {
  std::mt19937 rng(4);
  for (std::size_t h = 1; h <= 24; ++h)
    for (std::size_t w = 1; w <= 24; ++w) {
      const Plane p = random_plane(rng, w * h, -(1 << 16), 1 << 16);
      for (unsigned levels : {1u, 2u, 3u, 6u}) {
        for (const LiftKernels* k : families()) {
          Plane f = p;
          ASSERT_TRUE(forward_53_with(*k, f, w, h, levels).has_value());
          ASSERT_EQ(f, ref_forward(p, w, h, levels)) << w << "x" << h << " L" << levels;
          // The inverse of arbitrary coefficients, not only of forward output.
          Plane i = p;
          ASSERT_TRUE(inverse_53_with(*k, i, w, h, levels).has_value());
          ASSERT_EQ(i, ref_inverse(p, w, h, levels)) << w << "x" << h << " L" << levels;
        }
      }
    }
}

TEST(Dwt53, MatchesTheReferenceOnLargerShapes) {
  std::mt19937 rng(5);
  for (auto [w, h] : {std::pair{1uz, 300uz}, {300, 1}, {257, 129}, {129, 257}, {64, 64},
                      {97, 3}, {3, 97}, {200, 17}, {31, 33}}) {
    const Plane p = random_plane(rng, w * h, -(1 << 20), 1 << 20);
    for (unsigned levels : {1u, 5u, 9u}) {
      EXPECT_EQ(forward(p, w, h, levels), ref_forward(p, w, h, levels)) << w << "x" << h;
      EXPECT_EQ(inverse(p, w, h, levels), ref_inverse(p, w, h, levels)) << w << "x" << h;
    }
  }
}

// --- kernel families ---------------------------------------------------------

TEST(LiftKernels, EachKernelComputesItsStep) {
  std::mt19937 rng(6);
  for (const LiftKernels* k : families()) {
    for (std::size_t n = 0; n <= 41; ++n) {
      // Full-range values: sums wrap in 32 bits, the same in every lane.
      const Plane x = random_plane(rng, n, INT32_MIN, INT32_MAX);
      const Plane a = random_plane(rng, n, INT32_MIN, INT32_MAX);
      const Plane b = random_plane(rng, n, INT32_MIN, INT32_MAX);
      struct Case {
        LiftRow fn;
        std::int32_t (*want)(std::int32_t, std::int32_t, std::int32_t);
      };
      const Case cases[] = {
          {k->predict_sub, [](std::int32_t x, std::int32_t a, std::int32_t b) {
             return lift_diff(x, predict_term(a, b)); }},
          {k->predict_add, [](std::int32_t x, std::int32_t a, std::int32_t b) {
             return lift_sum(x, predict_term(a, b)); }},
          {k->update_add, [](std::int32_t x, std::int32_t a, std::int32_t b) {
             return lift_sum(x, update_term(a, b)); }},
          {k->update_sub, [](std::int32_t x, std::int32_t a, std::int32_t b) {
             return lift_diff(x, update_term(a, b)); }},
      };
      for (const Case& c : cases) {
        Plane out(n + 1, 99);  // one guard element past the row
        c.fn(out.data(), x.data(), a.data(), b.data(), n);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], c.want(x[i], a[i], b[i]));
        EXPECT_EQ(out[n], 99);
        Plane in_place = x;  // dst == x, a == b
        c.fn(in_place.data(), in_place.data(), a.data(), a.data(), n);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(in_place[i], c.want(x[i], a[i], a[i]));
      }
      // split then merge is the identity; split picks even and odd samples.
      Plane lo(n / 2 + 2, 99), hi(n / 2 + 2, 99), back(n + 1, 99);
      k->split(x.data(), lo.data(), hi.data(), n);
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(i % 2 ? hi[i / 2] : lo[i / 2], x[i]);
      EXPECT_EQ(lo[n - n / 2], 99);
      EXPECT_EQ(hi[n / 2], 99);
      k->merge(lo.data(), hi.data(), back.data(), n);
      EXPECT_TRUE(std::equal(x.begin(), x.end(), back.begin()));
      EXPECT_EQ(back[n], 99);
    }
  }
}

// The inverse steps with 16-bit operands give the 32-bit steps on the
// operands widened, int16's ends included, for rows of every length.
TEST(LiftKernels, SixteenBitOperandsGiveTheWideSteps) {
  std::mt19937 rng(8);
  for (const LiftKernels* k : families()) {
    for (std::size_t n = 0; n <= 41; ++n) {
      std::vector<std::int16_t> x16(n), a16(n), b16(n);
      for (auto* v : {&x16, &a16, &b16})
        for (std::size_t i = 0; i < n; ++i)
          (*v)[i] = i % 4 == 0 ? (rng() % 2 ? INT16_MIN : INT16_MAX) : static_cast<std::int16_t>(rng());
      const Plane x(x16.begin(), x16.end()), a(a16.begin(), a16.end()), b(b16.begin(), b16.end());
      const Plane x32 = random_plane(rng, n, INT32_MIN, INT32_MAX);
      Plane want(n + 1, 99), got(n + 1, 99);
      k->update_sub(want.data(), x32.data(), a.data(), b.data(), n);
      k->update_sub_wn(got.data(), x32.data(), a16.data(), b16.data(), n);
      ASSERT_EQ(got, want) << "update_sub_wn n " << n;
      k->update_sub(want.data(), x.data(), a.data(), b.data(), n);
      k->update_sub_nn(got.data(), x16.data(), a16.data(), b16.data(), n);
      ASSERT_EQ(got, want) << "update_sub_nn n " << n;
      k->predict_add(want.data(), x.data(), x32.data(), x32.data(), n);
      k->predict_add_nw(got.data(), x16.data(), x32.data(), x32.data(), n);
      ASSERT_EQ(got, want) << "predict_add_nw n " << n;
    }
  }
}

class LiftFamily : public ::testing::TestWithParam<Isa> {};
VARNEL_FOR_EVERY_FAMILY(LiftFamily);

TEST_P(LiftFamily, GivesThePortablePlanes) {
  const LiftKernels& k = lift_kernels_for(GetParam());
  std::mt19937 rng(7);
  for (std::size_t w : {1uz, 7uz, 8uz, 9uz, 15uz, 16uz, 17uz, 31uz, 33uz, 63uz, 100uz, 263uz})
    for (std::size_t h : {1uz, 2uz, 5uz, 8uz, 13uz, 64uz, 71uz}) {
      const Plane p = random_plane(rng, w * h, INT32_MIN, INT32_MAX);
      for (unsigned levels : {1u, 4u, 255u}) {
        Plane a = p, b = p;
        ASSERT_TRUE(forward_53_with(lift_portable_kernels(), a, w, h, levels).has_value());
        ASSERT_TRUE(forward_53_with(k, b, w, h, levels).has_value());
        ASSERT_EQ(a, b) << w << "x" << h;
        ASSERT_TRUE(inverse_53_with(lift_portable_kernels(), a, w, h, levels).has_value());
        ASSERT_TRUE(inverse_53_with(k, b, w, h, levels).has_value());
        ASSERT_EQ(a, b) << w << "x" << h;
        ASSERT_EQ(a, p);
      }
    }
}

// --- reversibility -------------------------------------------------------------

TEST(Dwt53, RestoresEveryPlaneUpTo70x70) {
  std::mt19937 rng(8);
  for (const LiftKernels* k : families())
    for (std::size_t h = 1; h <= 70; ++h)
      for (std::size_t w = 1; w <= 70; ++w) {
        const Plane p = random_plane(rng, w * h, -(1 << 24), (1 << 24) - 1);
        for (unsigned levels : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 255u}) {
          Plane q = p;
          ASSERT_TRUE(forward_53_with(*k, q, w, h, levels).has_value());
          ASSERT_TRUE(inverse_53_with(*k, q, w, h, levels).has_value());
          ASSERT_EQ(q, p) << w << "x" << h << " L" << levels;
        }
      }
}

// The streamed finest levels against the in-place transform, for every
// size, level count and kernel family (they have their own boundary rules at
// the top, at the bottom and for 1-row and 1-column planes): inverse_53_rows
// hands over the rows of inverse_53, in order. With `gated`, the finest
// level's high-pass coefficients start out as garbage and a gate copies each
// row in when asked (j = 0, 1, ... in order): rows read before they were
// asked for would show.
std::vector<std::int32_t> streamed_inverse(const LiftKernels& k, Plane plane, std::size_t w,
                                           std::size_t h, unsigned levels, bool gated = false) {
  struct Collect {
    std::vector<std::int32_t> rows;
    std::size_t width, next_y = 0;
    bool in_order = true;
  } c{{}, w};
  RowSink sink{&c, [](void* ctx, std::size_t y, const std::int32_t* row) {
                 auto& c = *static_cast<Collect*>(ctx);
                 c.in_order = c.in_order && y == c.next_y++;
                 c.rows.insert(c.rows.end(), row, row + c.width);
                 return true;
               }};
  const bool has_level = levels > 0 && (w > 1 || h > 1);
  const std::size_t nl = h - h / 2, wl = w - w / 2;
  struct Fill {
    const Plane coeffs;
    Plane* plane;
    std::size_t width, height, nl, wl, next_j = 0;
    bool in_order = true;
  } f{plane, &plane, w, h, nl, wl};
  if (gated && has_level)
    for (std::size_t y = 0; y < h; ++y)
      for (std::size_t x = y < nl ? wl : 0; x < w; ++x) plane[y * w + x] = 0x7EADBEEF;
  RowGate gate{&f, [](void* ctx, std::size_t j) {
                 auto& f = *static_cast<Fill*>(ctx);
                 f.in_order = f.in_order && j == f.next_j++;
                 auto copy = [&](std::size_t y, std::size_t x0) {
                   const auto at = static_cast<std::ptrdiff_t>(y * f.width + x0);
                   std::copy_n(f.coeffs.begin() + at, f.width - x0, f.plane->begin() + at);
                 };
                 copy(j, f.wl);
                 if (f.nl + j < f.height) copy(f.nl + j, 0);
                 return true;
               }};
  EXPECT_TRUE(inverse_53_rows_with(k, plane, w, h, levels, sink, gated ? gate : RowGate{})
                  .has_value());
  EXPECT_TRUE(c.in_order);
  if (gated) {
    EXPECT_TRUE(f.in_order && f.next_j == (has_level ? nl : 0));
  }
  return c.rows;
}

// forward_53_rows gives the plane of forward_53 from rows it asks for in
// order, each once.
Plane streamed_forward(const LiftKernels& k, const Plane& samples, std::size_t w, std::size_t h,
                       unsigned levels) {
  struct Feed {
    const Plane* samples;
    std::size_t width, next_y = 0;
    bool in_order = true;
  } f{&samples, w};
  RowSource source{&f, [](void* ctx, std::size_t y, std::int32_t* row) {
                     auto& f = *static_cast<Feed*>(ctx);
                     f.in_order = f.in_order && y == f.next_y++;
                     std::copy_n(f.samples->begin() + std::ptrdiff_t(y * f.width), f.width, row);
                   }};
  Plane out(w * h, 0x5A5A5A5A);  // whatever the plane held is overwritten
  EXPECT_TRUE(forward_53_rows_with(k, out, w, h, levels, source).has_value());
  EXPECT_TRUE(f.in_order && f.next_y == h);
  return out;
}

TEST(Dwt53, StreamedLevelsGiveTheInPlaceResults) {
  std::mt19937 rng(11);
  auto check = [](const LiftKernels& k, const Plane& p, std::size_t w, std::size_t h,
                  unsigned levels) {
    Plane coeffs = p;
    ASSERT_TRUE(forward_53_with(k, coeffs, w, h, levels).has_value());
    ASSERT_EQ(streamed_forward(k, p, w, h, levels), coeffs) << w << "x" << h << " L" << levels;
    Plane restored = coeffs;
    ASSERT_TRUE(inverse_53_with(k, restored, w, h, levels).has_value());
    ASSERT_EQ(streamed_inverse(k, coeffs, w, h, levels), restored) << w << "x" << h << " L" << levels;
    ASSERT_EQ(streamed_inverse(k, coeffs, w, h, levels, true), restored)
        << "gated " << w << "x" << h << " L" << levels;
  };
  for (const LiftKernels* k : families()) {
    for (std::size_t h = 1; h <= 40; ++h)
      for (std::size_t w = 1; w <= 40; ++w) {
        const Plane p = random_plane(rng, w * h, -(1 << 24), (1 << 24) - 1);
        for (unsigned levels : {0u, 1u, 2u, 3u, 6u, 255u}) check(*k, p, w, h, levels);
      }
    for (auto [w, h] : {std::pair{263uz, 71uz}, {64, 64}, {1, 300}, {300, 1}, {129, 2}})
      check(*k, random_plane(rng, w * h, INT32_MIN, INT32_MAX), w, h, 5);
  }
}

// inverse_53_levels_rows with every level's rows read from a copy of the
// coefficient plane: the rows of inverse_53, in order, on every family. Only
// the coarsest level's LL rows are asked for (the finer levels' come from
// the transform), each level's gate is called for j = 0, 1, ... in order,
// and no row is asked for before its gate.
TEST(Dwt53, LevelRowsWithoutAPlaneGiveTheInPlaceResults) {
  std::mt19937 rng(13);
  for (const LiftKernels* k : families())
    for (auto [w, h] : {std::pair{1uz, 1uz}, {1, 9}, {9, 1}, {2, 2}, {7, 5}, {40, 33}, {263, 71}})
      for (unsigned levels : {0u, 1u, 2u, 5u, 255u}) {
        Plane coeffs = random_plane(rng, w * h, -(1 << 24), (1 << 24) - 1);
        ASSERT_TRUE(forward_53_with(*k, coeffs, w, h, levels).has_value());
        Plane restored = coeffs;
        ASSERT_TRUE(inverse_53_with(*k, restored, w, h, levels).has_value());
        const unsigned count = active_levels(w, h, static_cast<std::uint8_t>(levels));
        struct Source {
          const Plane* coeffs;
          std::size_t w, h;
          unsigned count;
          std::vector<std::size_t> gated;  // per level: gates passed
          bool in_order = true;
        } src{&coeffs, w, h, count, std::vector<std::size_t>(std::max(count, 1u), 0)};
        LevelRows bands{
            &src,
            [](void* ctx, unsigned level, std::size_t j) {
              auto& s = *static_cast<Source*>(ctx);
              s.in_order = s.in_order && level < s.count && j == s.gated[level];
              ++s.gated[level];
              return true;
            },
            [](void* ctx, unsigned level, std::size_t r, BandRow* lo, BandRow* hi) {
              auto& s = *static_cast<Source*>(ctx);
              std::size_t wk = s.w, hk = s.h;
              for (unsigned i = 0; i < level; ++i) {
                wk -= wk / 2;
                hk -= hk / 2;
              }
              const std::size_t nl = hk - hk / 2;
              const bool coarsest_low = s.count == 0 || (level + 1 == s.count && r < nl);
              if (s.count > 0) {
                const std::size_t j = r < nl ? r : r - nl;
                s.in_order = s.in_order && j < s.gated[level];
              }
              if (r < nl && !coarsest_low) {
                s.in_order = s.in_order && lo->wide != nullptr;  // the coarser level's row
              } else {
                lo->wide = s.coeffs->data() + r * s.w;
              }
              hi->wide = s.coeffs->data() + r * s.w + (wk - wk / 2);
            }};
        Plane rows;
        struct Collect {
          Plane* rows;
          std::size_t w;
        } c{&rows, w};
        const RowSink sink{&c, [](void* ctx, std::size_t, const std::int32_t* row) {
                             auto& c = *static_cast<Collect*>(ctx);
                             c.rows->insert(c.rows->end(), row, row + c.w);
                             return true;
                           }};
        ASSERT_TRUE(inverse_53_levels_rows_with(*k, w, h, static_cast<std::uint8_t>(levels),
                                                bands, sink)
                        .has_value());
        EXPECT_EQ(rows, restored) << w << "x" << h << " L" << levels;
        EXPECT_TRUE(src.in_order) << w << "x" << h << " L" << levels;
      }
  const RowSink never{nullptr, [](void*, std::size_t, const std::int32_t*) { return false; }};
  EXPECT_FALSE(inverse_53_levels_rows(0, 4, 2, LevelRows{}, never).has_value());
}

TEST(Dwt53, StreamedForwardChecksBeforeAskingForRows) {
  Plane tiny(3);
  RowSource never{nullptr, [](void*, std::size_t, std::int32_t*) { FAIL() << "row asked for"; }};
  EXPECT_FALSE(forward_53_rows(tiny, 4, 4, 2, never).has_value());
}

TEST(Dwt53, StreamedInverseStopsWhenTheGateSaysSo) {
  for (auto [w, h, stop_at] : {std::tuple{16uz, 9uz, 0uz}, {16, 9, 3}, {5, 1, 0}}) {
    Plane p(w * h, 3);
    struct Count {
      std::size_t stop_at, asked = 0, taken = 0;
    } n{stop_at};
    RowGate gate{&n, [](void* ctx, std::size_t j) {
                   auto& n = *static_cast<Count*>(ctx);
                   ++n.asked;
                   return j < n.stop_at;
                 }};
    RowSink sink{&n, [](void* ctx, std::size_t, const std::int32_t*) {
                   ++static_cast<Count*>(ctx)->taken;
                   return true;
                 }};
    ASSERT_TRUE(inverse_53_rows(p, w, h, 2, sink, gate).has_value());
    EXPECT_EQ(n.asked, stop_at + 1);
    EXPECT_LE(n.taken, 2 * stop_at);  // rows 2j + 1 and beyond need high-pass row j + 1
  }
}

TEST(Dwt53, StreamedInverseStopsWhenTheSinkSaysSo) {
  for (auto [w, h, levels] : {std::tuple{16uz, 9uz, 2u}, {16, 9, 0u}, {5, 1, 3u}}) {
    Plane p(w * h, 3);
    std::size_t taken = 0;
    RowSink sink{&taken, [](void* ctx, std::size_t, const std::int32_t*) {
                   return ++*static_cast<std::size_t*>(ctx) < 2;
                 }};
    ASSERT_TRUE(inverse_53_rows(p, w, h, levels, sink).has_value());
    EXPECT_EQ(taken, std::min<std::size_t>(h, 2));
    Plane tiny(3);
    EXPECT_FALSE(inverse_53_rows(tiny, w, h, levels, sink).has_value());
  }
}

TEST(Dwt53, RestoresFullRangeSamples) {
  // Sums outside 32 bits wrap the same way forward and backward, so even
  // planes beyond the coder's bit-depth limit come back exactly.
  std::mt19937 rng(9);
  for (auto [w, h] : {std::pair{33uz, 17uz}, {8, 8}, {1, 40}, {40, 1}}) {
    const Plane p = random_plane(rng, w * h, INT32_MIN, INT32_MAX);
    EXPECT_EQ(inverse(forward(p, w, h, 6), w, h, 6), p);
    Plane extremes(w * h);
    for (std::size_t i = 0; i < extremes.size(); ++i)
      extremes[i] = (i * 7 + i / w) % 3 == 0 ? INT32_MIN : INT32_MAX;
    EXPECT_EQ(inverse(forward(extremes, w, h, 6), w, h, 6), extremes);
  }
}

TEST(Dwt53, CallsFromSeveralThreadsAgree) {
  // No shared state: concurrent calls (the first ones racing to detect the
  // processor) give the same planes as a call alone.
  std::mt19937 rng(10);
  const Plane p = random_plane(rng, 301 * 67, -(1 << 16), 1 << 16);
  const Plane want = ref_forward(p, 301, 67, 4);
  std::vector<Plane> got(4, p);
  std::vector<std::thread> threads;
  for (Plane& g : got)
    threads.emplace_back([&g] {
      for (int i = 0; i < 8; ++i) {
        if (!forward_53(g, 301, 67, 4) || !inverse_53(g, 301, 67, 4)) return;
      }
      (void)forward_53(g, 301, 67, 4);
    });
  for (auto& t : threads) t.join();
  for (const Plane& g : got) EXPECT_EQ(g, want);
}
