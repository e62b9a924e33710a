// HT refinement passes (SigProp, MagRef): known answers on tiny blocks, the
// vertically causal mode, and round trips of cleanup + refinement segments
// against a sample-by-sample encoder of the two passes.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "block_refine_encoder.hpp"
#include "htj2k/block/decode.hpp"
#include "htj2k/block/encode.hpp"

namespace {

using namespace varnel;
using namespace varnel::htj2k;
using varnel::htj2k::testing::encode_refinement;
using varnel::htj2k::testing::expected_refined;

std::vector<std::uint8_t> concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(BlockRefine, MagRefOfTheWorkedOneByOne) {
  // The 1x1 cleanup segment (mu = 1) read at missing_msbs 28 (p = 2): the
  // cleanup gives (2 mu + 1) << 1 = 6; one MagRef bit b then gives
  // mu << 2 | b << 1 | 1. The only sample is significant: no SigProp bits.
  const std::vector<std::uint8_t> cup = {0xFE, 0x00, 0x63, 0x00};
  std::uint32_t out = 0;
  ASSERT_TRUE(decode_block(cup, std::span(&out, 1), 1, 1, 1, 28, {4, 0, 1}, false));
  EXPECT_EQ(out, 6u);
  for (auto [ref, want] : {std::pair<std::uint8_t, std::uint32_t>{0x01, 7u}, {0x00, 5u}}) {
    const auto seg = concat(cup, {ref});
    out = 0;
    ASSERT_TRUE(decode_block(seg, std::span(&out, 1), 1, 1, 1, 28, {4, 1, 3}, false));
    EXPECT_EQ(out, want);
    // Two passes: SigProp only, the MagRef bit is not read.
    out = 0;
    ASSERT_TRUE(decode_block(seg, std::span(&out, 1), 1, 1, 1, 28, {4, 1, 2}, false));
    EXPECT_EQ(out, 6u);
  }
}

// A 1 x 8 column whose only cleanup-significant sample is row 4, the first
// row of the second stripe. Row 3 (last of the first stripe) sees it only
// when the mode is not vertically causal.
TEST(BlockRefine, VerticallyCausalHidesTheRowBelowTheStripe) {
  const std::uint32_t mm = 20, p = 30 - mm;
  std::vector<std::uint32_t> s(8, 0);
  s[4] = 1u << p;                               // mu = 1
  s[3] = 0x80000000u | (1u << (p - 1));         // SigProp bit 1, negative
  auto cup = encode_block(s, 1, 8, 1, mm);
  ASSERT_TRUE(cup.has_value());
  const auto lcup = static_cast<std::uint32_t>(cup->size());
  // Not causal: first stripe, rows 0..3: only row 3 is a member -> bit 1 and
  // sign 1 -> 0b11; second stripe: row 5 is a member (row 4 significant):
  // bit 0. Stream bits 1, 1, 0 -> byte 0x03.
  {
    const auto seg = concat(*cup, {0x03});
    std::vector<std::uint32_t> out(8, 0);
    ASSERT_TRUE(decode_block(seg, out, 1, 8, 1, mm, {lcup, 1, 2}, false));
    EXPECT_EQ(out[3], 0x80000000u | (3u << (p - 2)));
    EXPECT_EQ(out[4], 3u << (p - 1));
    for (int y : {0, 1, 2, 5, 6, 7}) EXPECT_EQ(out[y], 0u) << y;
    const auto ref = encode_refinement(s, 1, 8, 1, mm, false, false);
    EXPECT_EQ(ref.segment, (std::vector<std::uint8_t>{0x03}));
  }
  // Causal: row 3 is no member; row 5 reads bit 0 -> nothing changes, and the
  // same segment's first bit now lands on row 5 instead.
  {
    const auto seg = concat(*cup, {0x01});
    std::vector<std::uint32_t> out(8, 0);
    ASSERT_TRUE(decode_block(seg, out, 1, 8, 1, mm, {lcup, 1, 2}, true));
    EXPECT_EQ(out[3], 0u);
    EXPECT_EQ(out[5], 3u << (p - 2));  // bit 1 then sign 0 (the fill)
    const auto ref = encode_refinement(s, 1, 8, 1, mm, true, false);
    EXPECT_EQ(ref.segment, (std::vector<std::uint8_t>{0x00}));  // row 5's bit is 0
  }
}

// Significance set during the pass propagates at once to later members of
// the same group, and through the last row of the stripe above.
TEST(BlockRefine, NewSignificancePropagatesInScanOrder) {
  const std::uint32_t mm = 10, p = 30 - mm;
  // 2 x 8: (0,0) cleanup significant; (0,1), (0,2), (0,3), (0,4) all carry a
  // SigProp 1: each becomes a member only through the one above it.
  std::vector<std::uint32_t> s(16, 0);
  s[0] = 5u << p;
  for (int y = 1; y <= 4; ++y) s[y * 2] = 1u << (p - 1);
  auto cup = encode_block(s, 2, 8, 2, mm);
  ASSERT_TRUE(cup.has_value());
  const auto ref = encode_refinement(s, 2, 8, 2, mm, false, true);
  const auto seg = concat(*cup, ref.segment);
  std::vector<std::uint32_t> out(16, 0);
  ASSERT_TRUE(decode_block(seg, out, 2, 8, 2, mm,
                           {static_cast<std::uint32_t>(cup->size()),
                            static_cast<std::uint32_t>(ref.segment.size()), 3},
                           false));
  for (int y = 1; y <= 4; ++y) EXPECT_EQ(out[y * 2], 3u << (p - 2)) << y;
  EXPECT_EQ(out[0], (5u << p) | (1u << (p - 2)));  // MagRef bit 0
  EXPECT_EQ(out[10], 0u);
}

void round_trip(std::mt19937& rng, std::size_t w, std::size_t h, std::uint32_t mm,
                unsigned passes, bool causal, double density) {
  const unsigned p = 30 - mm;
  const std::uint32_t mu_max = (1u << (mm + 1)) - 1u;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const std::size_t stride = w + 1;
  std::vector<std::uint32_t> s(stride * h, 0);
  for (std::size_t y = 0; y < h; ++y)
    for (std::size_t x = 0; x < w; ++x) {
      std::uint32_t mu = unit(rng) < density ? 1 + static_cast<std::uint32_t>(rng() % mu_max) : 0;
      if (mu > mu_max) mu = mu_max;
      const std::uint32_t low = static_cast<std::uint32_t>(rng()) & ((1u << p) - 1u);
      s[y * stride + x] = (static_cast<std::uint32_t>(rng()) & 0x80000000u) | (mu << p) | low;
    }
  auto cup = encode_block(s, w, h, stride, mm);
  ASSERT_TRUE(cup.has_value()) << cup.error().display();
  const auto ref = encode_refinement(s, w, h, stride, mm, causal, passes == 3);
  const auto seg = concat(*cup, ref.segment);
  std::vector<std::uint32_t> out(w * h, 0);
  BlockPasses bp{static_cast<std::uint32_t>(cup->size()),
                 static_cast<std::uint32_t>(ref.segment.size()), passes};
  if (bp.lref == 0) {
    // An empty refinement segment counts as one pass: nothing to refine.
    bp.count = 1;
  }
  auto r = decode_block(seg, out, w, h, w, mm, bp, causal);
  ASSERT_TRUE(r.has_value()) << r.error().display();
  for (std::size_t y = 0; y < h; ++y)
    for (std::size_t x = 0; x < w; ++x) {
      const std::uint32_t in = s[y * stride + x];
      std::uint32_t want = expected_refined(in, ref.sigprop_new[y * w + x] != 0,
                                            bp.lref == 0 ? 1 : passes, mm);
      if (bp.lref == 0 && (in & 0x7FFFFFFFu) >> p)
        want = (in & 0x80000000u) | ((in & 0x7FFFFFFFu) >> p << p) | (1u << (p - 1));
      ASSERT_EQ(out[y * w + x], want)
          << "(" << x << ", " << y << ") " << w << "x" << h << " mm=" << mm
          << " passes=" << passes << " causal=" << causal << " density=" << density;
    }
}

TEST(BlockRefine, RoundTripsOverShapesPassesAndModes) {
  std::mt19937 rng(777);
  const std::vector<std::pair<std::size_t, std::size_t>> sizes = {
      {1, 1}, {1, 5}, {5, 1}, {2, 2}, {3, 7}, {7, 3}, {4, 4}, {5, 9}, {8, 8}, {13, 11},
      {64, 64}, {1024, 4}, {4, 1024}, {1, 1024}, {1024, 1}, {33, 17}, {6, 10}, {10, 6}};
  for (auto [w, h] : sizes)
    for (unsigned passes : {2u, 3u})
      for (bool causal : {false, true})
        for (double density : {0.02, 0.2, 0.6})
          for (std::uint32_t mm : {0u, 5u, 17u, 28u}) {
            round_trip(rng, w, h, mm, passes, causal, density);
            if (HasFatalFailure()) return;
          }
}

TEST(BlockRefine, RandomShapesAndEveryRefinableMissingMsbCount) {
  std::mt19937 rng(31337);
  for (std::uint32_t mm = 0; mm <= 28; ++mm)
    for (int rep = 0; rep < 6; ++rep) {
      std::size_t w = 1 + rng() % 96, h = 1 + rng() % 96;
      while (w * h > 4096) (rng() & 1) ? w = (w + 1) / 2 : h = (h + 1) / 2;
      round_trip(rng, w, h, mm, 2 + rng() % 2, rng() & 1, 0.05 + 0.1 * (rng() % 8));
      if (HasFatalFailure()) return;
    }
}

}  // namespace
