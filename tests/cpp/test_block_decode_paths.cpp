// HT block decoder: every kernel family this CPU runs gives the words and
// the errors of the portable one, for coded blocks of many shapes and
// magnitudes, for damaged segments and for random bytes with refinement
// passes; a window that is not zero on entry gets the same words. Their
// unstuffing of the MagSgn stream gives the bytewise one's bytes. 16-bit
// coefficients are the 32-bit ones in int16.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "families.hpp"
#include "htj2k/block/decode.hpp"
#include "htj2k/block/encode.hpp"
#include "htj2k/block/magsgn.hpp"
#include "htj2k/block/readers.hpp"

namespace {

using varnel::Isa;
using varnel::htj2k::BlockDecoder;
using varnel::Result;
using varnel::htj2k::BlockPasses;

struct Decoded {
  bool ok = false;
  std::string error;
  std::vector<std::uint32_t> window;
};

// Decodes into a window with a margin column and row filled with a marker,
// so that writes outside the code-block show.
// With `dirty` the whole window starts as the marker: every sample of the
// code-block is written all the same.
Decoded run(BlockDecoder& dec, const std::vector<std::uint8_t>& data, std::size_t w,
            std::size_t h, std::uint32_t missing_msbs, BlockPasses passes, bool causal,
            bool dirty = false) {
  const std::size_t stride = w + 1;
  Decoded d;
  d.window.assign(stride * (h + 1), dirty ? 0xA5A5A5A5u : 0u);
  for (std::size_t y = 0; y <= h; ++y) d.window[y * stride + w] = 0xA5A5A5A5u;
  for (std::size_t x = 0; x < stride; ++x) d.window[h * stride + x] = 0xA5A5A5A5u;
  auto r = dec.decode(data, d.window, w, h, stride, missing_msbs, passes, causal);
  d.ok = r.has_value();
  if (!d.ok) d.error = r.error().display();
  return d;
}

void expect_same(BlockDecoder& a, BlockDecoder& b, const std::vector<std::uint8_t>& data,
                 std::size_t w, std::size_t h, std::uint32_t missing_msbs, BlockPasses passes,
                 bool causal = false) {
  const Decoded p = run(a, data, w, h, missing_msbs, passes, causal);
  const Decoded v = run(b, data, w, h, missing_msbs, passes, causal);
  ASSERT_EQ(p.ok, v.ok) << w << "x" << h << " " << p.error << " / " << v.error;
  EXPECT_EQ(p.error, v.error);
  EXPECT_EQ(p.window, v.window) << w << "x" << h << " missing_msbs " << missing_msbs;
  if (v.ok) {
    for (BlockDecoder* dec : {&a, &b}) {
      const Decoded d = run(*dec, data, w, h, missing_msbs, passes, causal, true);
      ASSERT_TRUE(d.ok);
      for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x)
          ASSERT_EQ(d.window[y * (w + 1) + x], v.window[y * (w + 1) + x]) << x << "," << y;
    }
  }
}

// Sign-magnitude words with magnitudes below 2^(31 - missing_msbs - 1) in
// bit-plane units, a share of them zero.
std::vector<std::uint32_t> block_words(std::mt19937& rng, std::size_t n,
                                       std::uint32_t missing_msbs, unsigned bits,
                                       double zero_share) {
  std::vector<std::uint32_t> words(n);
  const unsigned p = 30 - missing_msbs;
  const unsigned top = std::min(bits, 31u - p);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (auto& w : words) {
    if (u(rng) < zero_share) continue;
    const unsigned nb = 1 + rng() % top;
    std::uint32_t mu = (rng() & ((std::uint32_t{1} << nb) - 1)) | (std::uint32_t{1} << (nb - 1));
    w = (mu << p) | ((rng() & 1) ? 0x80000000u : 0u);
  }
  return words;
}

// a decodes with the portable family, b with the family of the parameter.
class DecodePaths : public ::testing::TestWithParam<Isa> {
 protected:
  BlockDecoder a{varnel::htj2k::block_portable_kernels()};
  BlockDecoder b{varnel::htj2k::block_kernels_for(GetParam())};
};
VARNEL_FOR_EVERY_FAMILY(DecodePaths);

TEST_P(DecodePaths, CodedBlocksOfManyShapesAndMagnitudes) {
  std::mt19937 rng(20261207);
  const std::size_t sizes[] = {1, 2, 3, 4, 5, 7, 8, 15, 16, 31, 33, 64};
  for (std::size_t w : sizes)
    for (std::size_t h : sizes)
      for (std::uint32_t mm : {0u, 3u, 12u, 20u, 27u, 29u})
        for (double zeros : {0.0, 0.5, 0.9}) {
          const auto words = block_words(rng, w * h, mm, 30, zeros);
          auto seg = varnel::htj2k::encode_block(words, w, h, w, mm);
          ASSERT_TRUE(seg.has_value()) << seg.error().display();
          const auto len = static_cast<std::uint32_t>(seg->size());
          expect_same(a, b, *seg, w, h, mm, {len, 0, 1});
        }
}

TEST_P(DecodePaths, WideMagnitudesTakeTheSampleBySampleReads) {
  // Quads whose MagSgn bits exceed one 56-bit window.
  std::mt19937 rng(7);
  for (int round = 0; round < 40; ++round) {
    const std::size_t w = 1 + rng() % 64, h = 1 + rng() % 64;
    std::vector<std::uint32_t> words(w * h);
    for (auto& x : words) x = (rng() | 0x40000000u);  // every sample at the top plane
    auto seg = varnel::htj2k::encode_block(words, w, h, w, 0);
    ASSERT_TRUE(seg.has_value());
    expect_same(a, b, *seg, w, h, 0, {static_cast<std::uint32_t>(seg->size()), 0, 1});
  }
}

TEST_P(DecodePaths, DamagedSegmentsAndRandomBytes) {
  std::mt19937 rng(99);
  for (int round = 0; round < 400; ++round) {
    const std::size_t w = 1 + rng() % 64, h = 1 + rng() % 64;
    const std::uint32_t mm = rng() % 30;
    const auto words = block_words(rng, w * h, mm, 12, 0.4);
    auto seg = varnel::htj2k::encode_block(words, w, h, w, mm);
    ASSERT_TRUE(seg.has_value());
    std::vector<std::uint8_t> bytes = *seg;
    // Bit flips anywhere, then keep the interface word plausible sometimes.
    const int flips = 1 + static_cast<int>(rng() % 6);
    for (int f = 0; f < flips; ++f) bytes[rng() % bytes.size()] ^= std::uint8_t(1u << (rng() % 8));
    expect_same(a, b, bytes, w, h, mm, {static_cast<std::uint32_t>(bytes.size()), 0, 1});
    // Truncated: the cut keeps a valid-looking end.
    if (seg->size() > 4) {
      std::vector<std::uint8_t> cut(seg->begin() + static_cast<std::ptrdiff_t>(seg->size() / 2),
                                    seg->end());
      expect_same(a, b, cut, w, h, mm, {static_cast<std::uint32_t>(cut.size()), 0, 1});
    }
  }
  for (int round = 0; round < 400; ++round) {
    const std::size_t w = 1 + rng() % 64, h = 1 + rng() % 64;
    const std::size_t lcup = 2 + rng() % 300, lref = rng() % 40;
    std::vector<std::uint8_t> bytes(lcup + lref);
    for (auto& x : bytes) x = static_cast<std::uint8_t>(rng());
    // A suffix length that passes the checks.
    const std::size_t scup = 2 + rng() % std::min<std::size_t>(lcup - 1, 0xFEF);
    bytes[lcup - 1] = static_cast<std::uint8_t>(scup >> 4);
    bytes[lcup - 2] = static_cast<std::uint8_t>((bytes[lcup - 2] & 0xF0u) | (scup & 0xFu));
    const std::uint32_t mm = rng() % 30;
    const std::uint32_t npasses = 1 + rng() % 3;
    expect_same(a, b, bytes, w, h, mm,
                {static_cast<std::uint32_t>(lcup), static_cast<std::uint32_t>(lref), npasses},
                (rng() & 1) != 0);
  }
}

// decode_coefficients: a cleanup-only block gets the coefficients of the
// words `decode` gives (magnitude >> shift, negated for sign 1) straight
// from its cleanup pass; a block with refinement passes gets the words and
// the answer false; errors are those of `decode`.
TEST_P(DecodePaths, CoefficientsAreTheWordsConverted) {
  std::mt19937 rng(5150);
  auto check = [&](const std::vector<std::uint8_t>& data, std::size_t w, std::size_t h,
                   std::uint32_t mm, BlockPasses passes, unsigned shift) {
    const Decoded words = run(a, data, w, h, mm, passes, false);
    std::vector<std::int32_t> coef(w * h, 0x5A5A5A5A);
    auto r = b.decode_coefficients(data, coef, w, h, w, mm, passes, false, shift);
    ASSERT_EQ(r.has_value(), words.ok) << w << "x" << h;
    if (!r) {
      EXPECT_EQ(r.error().display(), words.error);
      return;
    }
    const bool refined = passes.lref > 0 && passes.count > 1 && mm < 29;
    EXPECT_EQ(*r, !refined);
    for (std::size_t y = 0; y < h; ++y)
      for (std::size_t x = 0; x < w; ++x) {
        const std::uint32_t word = words.window[y * (w + 1) + x];
        const auto m = static_cast<std::int32_t>((word & 0x7FFFFFFFu) >> shift);
        const std::int32_t want = *r ? ((word >> 31) ? -m : m) : static_cast<std::int32_t>(word);
        ASSERT_EQ(coef[y * w + x], want) << x << "," << y << " of " << w << "x" << h;
      }
  };
  for (std::size_t w : {1, 2, 5, 16, 33, 64})
    for (std::size_t h : {1, 3, 8, 64})
      for (std::uint32_t mm : {0u, 3u, 20u, 29u}) {
        const auto words = block_words(rng, w * h, mm, 30, 0.3);
        auto seg = varnel::htj2k::encode_block(words, w, h, w, mm);
        ASSERT_TRUE(seg.has_value());
        for (unsigned shift : {0u, 1u, 30u - mm, 31u})
          check(*seg, w, h, mm, {static_cast<std::uint32_t>(seg->size()), 0, 1}, shift);
      }
  for (int round = 0; round < 300; ++round) {  // random bytes, with refinement passes
    const std::size_t w = 1 + rng() % 64, h = 1 + rng() % 64;
    const std::size_t lcup = 2 + rng() % 300, lref = rng() % 40;
    std::vector<std::uint8_t> bytes(lcup + lref);
    for (auto& x : bytes) x = static_cast<std::uint8_t>(rng());
    const std::size_t scup = 2 + rng() % std::min<std::size_t>(lcup - 1, 0xFEF);
    bytes[lcup - 1] = static_cast<std::uint8_t>(scup >> 4);
    bytes[lcup - 2] = static_cast<std::uint8_t>((bytes[lcup - 2] & 0xF0u) | (scup & 0xFu));
    check(bytes, w, h, rng() % 30,
          {static_cast<std::uint32_t>(lcup), static_cast<std::uint32_t>(lref),
           1 + static_cast<std::uint32_t>(rng() % 3)},
          rng() % 32);
  }
}

// decode_coefficients_pair gives what two decode_coefficients calls give:
// the coefficients or words of both blocks and the first block's error,
// for pairs of one shape (decoded side by side) and of two, coded, damaged
// or random with refinement passes.
TEST_P(DecodePaths, PairsAreTwoSingleDecodes) {
  std::mt19937 rng(2718);
  struct One {
    std::vector<std::uint8_t> data;
    std::size_t w, h;
    std::uint32_t mm;
    BlockPasses passes;
    unsigned shift;
  };
  auto make = [&](std::size_t w, std::size_t h, int kind) {
    One o{{}, w, h, static_cast<std::uint32_t>(rng() % 30), {}, static_cast<unsigned>(rng() % 32)};
    if (kind < 2) {
      auto seg = varnel::htj2k::encode_block(block_words(rng, w * h, o.mm, 12, 0.4), w, h, w, o.mm);
      o.data = *seg;
      if (kind == 1) o.data[rng() % o.data.size()] ^= std::uint8_t(1u << (rng() % 8));
      o.passes = {static_cast<std::uint32_t>(o.data.size()), 0, 1};
      return o;
    }
    const std::size_t lcup = 1 + rng() % 300, lref = rng() % 40;  // some refused by the checks
    o.data.resize(lcup + lref);
    for (auto& x : o.data) x = static_cast<std::uint8_t>(rng());
    const std::size_t scup = 2 + rng() % std::min<std::size_t>(lcup, 0xFEF);
    if (lcup < 2) {
      o.passes = {1, 0, 1};
      return o;
    }
    o.data[lcup - 1] = static_cast<std::uint8_t>(scup >> 4);
    o.data[lcup - 2] = static_cast<std::uint8_t>((o.data[lcup - 2] & 0xF0u) | (scup & 0xFu));
    o.passes = {static_cast<std::uint32_t>(lcup), static_cast<std::uint32_t>(lref),
                1 + static_cast<std::uint32_t>(rng() % 3)};
    return o;
  };
  for (int round = 0; round < 600; ++round) {
    const std::size_t w = 1 + rng() % 64, h = 1 + rng() % 64;
    const bool same = round % 3 != 0;
    const One o[2] = {make(w, h, static_cast<int>(rng() % 3)),
                      make(same ? w : 1 + rng() % 64, same ? h : 1 + rng() % 64,
                           static_cast<int>(rng() % 3))};
    std::vector<std::int32_t> single[2], paired[2];
    BlockDecoder::CoefficientBlock blocks[2];
    Result<bool> want[2];
    for (int n = 0; n < 2; ++n) {
      single[n].assign(o[n].w * o[n].h, 0);
      paired[n].assign(o[n].w * o[n].h, 0);
      want[n] = a.decode_coefficients(o[n].data, single[n], o[n].w, o[n].h, o[n].w, o[n].mm,
                                      o[n].passes, false, o[n].shift);
      blocks[n] = {o[n].data, paired[n], o[n].w, o[n].h, o[n].w, o[n].mm, o[n].passes, o[n].shift, {}};
    }
    const auto got = b.decode_coefficients_pair(blocks[0], blocks[1], false);
    ASSERT_EQ(got.has_value(), want[0].has_value() && want[1].has_value()) << round;
    if (!got) {
      EXPECT_EQ(got.error().display(), (want[0] ? want[1] : want[0]).error().display());
      continue;
    }
    for (int n = 0; n < 2; ++n) {
      EXPECT_EQ((*got)[n], *want[n]) << round;
      EXPECT_EQ(paired[n], single[n]) << round << " block " << n;
    }
  }
}

// 16-bit coefficients (CoefficientBlock.narrow) are the 32-bit ones in
// int16, written into a window of a wider strip whose other samples stay as
// they were, singly and in pairs, for blocks of many shapes (quads inside
// and sticking out) with every shift from 16; a block with refinement
// passes or a shift below 16 is refused before the window is touched.
TEST_P(DecodePaths, SixteenBitCoefficientsAreTheWideOnesInItsWindow) {
  std::mt19937 rng(1616);
  for (int round = 0; round < 300; ++round) {
    const std::size_t w = 1 + rng() % 64, h = 1 + rng() % 64, stride = w + rng() % 5;
    const auto shift = static_cast<unsigned>(16 + rng() % 16);
    // Words below 2^31, so coefficients below 2^(31 - shift): at most 15 bits.
    const auto mm = static_cast<std::uint32_t>(rng() % 29);
    auto seg = varnel::htj2k::encode_block(block_words(rng, w * h, mm, 30, 0.3), w, h, w, mm);
    ASSERT_TRUE(seg.has_value());
    const BlockPasses passes{static_cast<std::uint32_t>(seg->size()), 0, 1};
    std::vector<std::int32_t> wide(w * h, 0);
    ASSERT_TRUE(a.decode_coefficients(*seg, wide, w, h, w, mm, passes, false, shift).has_value());
    std::vector<std::int16_t> want(stride * h + 3, 0x5A5A);
    for (std::size_t y = 0; y < h; ++y)
      for (std::size_t x = 0; x < w; ++x) want[y * stride + x] = static_cast<std::int16_t>(wide[y * w + x]);
    std::vector<std::int16_t> one(stride * h + 3, 0x5A5A), first = one, second = one;
    BlockDecoder::CoefficientBlock block{*seg, {}, w, h, stride, mm, passes, shift, one};
    const auto single = b.decode_coefficients(block, false);
    ASSERT_TRUE(single.has_value() && *single) << round;
    EXPECT_EQ(one, want) << round;
    BlockDecoder::CoefficientBlock pair[2] = {block, block};
    pair[0].narrow = first;
    pair[1].narrow = second;
    const auto both = b.decode_coefficients_pair(pair[0], pair[1], false);
    ASSERT_TRUE(both.has_value()) << round;
    EXPECT_EQ(first, want) << round;
    EXPECT_EQ(second, want) << round;
    std::vector<std::int16_t> untouched(stride * h + 3, 0x5A5A), kept = untouched;
    BlockDecoder::CoefficientBlock refused = block;
    refused.narrow = kept;
    refused.shift = 15;
    EXPECT_FALSE(b.decode_coefficients(refused, false).has_value());
    refused.shift = shift;
    std::vector<std::uint8_t> refined = *seg;
    refined.push_back(0);
    refused.data = refined;
    refused.passes = {passes.lcup, 1, 2};
    EXPECT_FALSE(b.decode_coefficients(refused, false).has_value());
    EXPECT_EQ(kept, untouched);
  }
}

TEST_P(DecodePaths, UnstuffingMatchesTheBytewiseOne) {
  // Streams of many lengths with few to many 0xFF bytes, runs of them, and
  // 0xFF at the edges of 64-byte steps.
  const auto unstuff = varnel::htj2k::block_kernels_for(GetParam()).unstuff_magsgn;
  std::mt19937 rng(64);
  for (const unsigned ff_per_256 : {0u, 1u, 8u, 64u, 200u, 256u}) {
    for (int round = 0; round < 60; ++round) {
      const std::size_t n = rng() % 700;
      std::vector<std::uint8_t> src(n);
      for (auto& b : src)
        b = (rng() % 256 < ff_per_256) ? 0xFF : static_cast<std::uint8_t>(rng() % 255);
      if (n > 64 && round % 3 == 0) src[63] = 0xFF;
      if (n > 129 && round % 4 == 0) src[128] = src[129] = 0xFF;
      std::vector<std::uint8_t> a(n + varnel::htj2k::UNSTUFF_PAD, 0x11), b = a;
      const std::size_t ca = varnel::htj2k::unstuff_magsgn(src.data(), n, a.data());
      const std::size_t cb = unstuff(src.data(), n, b.data());
      ASSERT_EQ(ca, cb) << "length " << n << ", 0xFF share " << ff_per_256;
      const auto used = static_cast<std::ptrdiff_t>(ca + varnel::htj2k::UNSTUFF_PAD);
      ASSERT_TRUE(std::equal(a.begin(), a.begin() + used, b.begin()))
          << "length " << n << ", 0xFF share " << ff_per_256;
    }
  }
}

}  // namespace
