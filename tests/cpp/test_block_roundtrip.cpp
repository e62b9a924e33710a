// HT block coder round trips: blocks coded by encode_block decode back to the
// coded magnitude indices and signs, over every size class, magnitude
// pattern and missing-MSB count.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "htj2k/block/decode.hpp"
#include "htj2k/block/encode.hpp"

namespace {

using namespace varnel;
using namespace varnel::htj2k;

enum class Pattern { OneNonZero, Sparse, Dense, AllLargest, Laplacian };

// Sample words whose coded magnitude index (magnitude >> p) uses at most the
// mu_bits that the band allows (mu < 2^(31 - p)), with random lower bits.
std::vector<std::uint32_t> make_block(std::mt19937& rng, std::size_t w, std::size_t h,
                                      std::size_t stride, std::uint32_t mm, Pattern pat) {
  const unsigned p = 30 - mm;
  const unsigned mu_bits = 31 - p;  // = mm + 1
  const std::uint32_t mu_max = mu_bits >= 32 ? 0xFFFFFFFFu : (1u << mu_bits) - 1u;
  std::vector<std::uint32_t> s(stride * (h - 1) + w, 0xFFFFFFFFu);  // padding is garbage
  std::uniform_int_distribution<std::uint32_t> any;
  auto word = [&](std::uint32_t mu) -> std::uint32_t {
    const std::uint32_t low = p == 0 ? 0u : (any(rng) & ((1u << p) - 1u));
    const std::uint32_t sign = any(rng) & 0x80000000u;
    if (mu == 0) return sign | low;  // insignificant (its sign and low bits vanish)
    return sign | (mu << p) | low;
  };
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (std::size_t y = 0; y < h; ++y)
    for (std::size_t x = 0; x < w; ++x) {
      std::uint32_t mu = 0;
      switch (pat) {
        case Pattern::OneNonZero: mu = 0; break;
        case Pattern::Sparse: mu = unit(rng) < 0.05 ? 1 + any(rng) % mu_max : 0; break;
        case Pattern::Dense: mu = any(rng) & mu_max; break;
        case Pattern::AllLargest: mu = mu_max; break;
        case Pattern::Laplacian: {
          const double scale = std::ldexp(1.0, static_cast<int>(any(rng) % (mu_bits + 1)));
          const double m = -std::log(1.0 - unit(rng)) * scale / 4.0;
          mu = m >= mu_max ? mu_max : static_cast<std::uint32_t>(m);
          break;
        }
      }
      s[y * stride + x] = word(mu);
    }
  if (pat == Pattern::OneNonZero) {
    const std::size_t x = any(rng) % w, y = any(rng) % h;
    s[y * stride + x] = word(1 + any(rng) % mu_max);
  }
  return s;
}

void check_round_trip(const std::vector<std::uint32_t>& s, std::size_t w, std::size_t h,
                      std::size_t stride, std::uint32_t mm, BlockDecoder& dec,
                      const char* what) {
  const unsigned p = 30 - mm;
  auto seg = encode_block(s, w, h, stride, mm);
  ASSERT_TRUE(seg.has_value()) << what << ": " << seg.error().display();
  // Decode into a window with a different stride and guard words around it.
  const std::size_t ostride = w + 3;
  std::vector<std::uint32_t> out(ostride * h + 8, 0);
  for (std::size_t y = 0; y < h; ++y)
    for (std::size_t x = w; x < ostride; ++x) out[y * ostride + x] = 0xA5A5A5A5u;
  for (std::size_t i = ostride * h; i < out.size(); ++i) out[i] = 0xA5A5A5A5u;
  auto r = dec.decode(*seg, std::span(out).first(ostride * (h - 1) + w), w, h, ostride, mm,
                      {static_cast<std::uint32_t>(seg->size()), 0, 1}, false);
  ASSERT_TRUE(r.has_value()) << what << ": " << r.error().display();
  for (std::size_t y = 0; y < h; ++y) {
    for (std::size_t x = 0; x < w; ++x) {
      const std::uint32_t in = s[y * stride + x];
      const std::uint32_t mu = (in & 0x7FFFFFFFu) >> p;
      const std::uint32_t got = out[y * ostride + x];
      const std::uint32_t want = mu == 0 ? 0u
                                         : (in & 0x80000000u) |
                                               static_cast<std::uint32_t>(
                                                   ((2ull * mu + 1ull) << p) >> 1);
      ASSERT_EQ(got, want) << what << " at (" << x << ", " << y << ") w=" << w << " h=" << h
                           << " mm=" << mm;
    }
    for (std::size_t x = w; x < ostride && y + 1 < h; ++x)
      ASSERT_EQ(out[y * ostride + x], 0xA5A5A5A5u) << what << ": wrote outside the window";
  }
  for (std::size_t i = ostride * h; i < out.size(); ++i)
    ASSERT_EQ(out[i], 0xA5A5A5A5u) << what << ": wrote past the window";
}

TEST(BlockRoundTrip, WorkedOneByOne) {
  const std::vector<std::uint32_t> s = {2};
  auto seg = encode_block(s, 1, 1, 1, 29);
  ASSERT_TRUE(seg.has_value());
  EXPECT_EQ(*seg, (std::vector<std::uint8_t>{0xFE, 0x00, 0x63, 0x00}));
  std::uint32_t out = 0;
  ASSERT_TRUE(decode_block(*seg, std::span(&out, 1), 1, 1, 1, 29, {4, 0, 1}, false));
  EXPECT_EQ(out, 3u);
}

TEST(BlockRoundTrip, EverySizeClass) {
  std::mt19937 rng(1234);
  BlockDecoder dec;
  const std::vector<std::pair<std::size_t, std::size_t>> sizes = {
      {1, 1},  {1, 2},   {2, 1},   {2, 2},   {3, 3},  {1, 7},   {7, 1},    {5, 3},
      {3, 5},  {1, 64},  {64, 1},  {1, 1024}, {1024, 1}, {17, 9}, {9, 17},  {33, 31},
      {64, 64}, {1024, 4}, {4, 1024}, {2, 1024}, {1024, 2}, {3, 1024}, {1023, 4}, {4, 1023},
      {5, 819}, {819, 5}, {63, 65},  {65, 63},  {127, 32}, {32, 127}, {11, 13}, {2, 3}};
  const Pattern pats[] = {Pattern::OneNonZero, Pattern::Sparse, Pattern::Dense,
                          Pattern::AllLargest, Pattern::Laplacian};
  for (auto [w, h] : sizes)
    for (Pattern pat : pats)
      for (std::uint32_t mm : {0u, 7u, 18u, 29u}) {
        const std::size_t stride = w + (w % 3);
        auto s = make_block(rng, w, h, stride, mm, pat);
        check_round_trip(s, w, h, stride, mm, dec, "size class");
        if (HasFatalFailure()) return;
      }
}

TEST(BlockRoundTrip, EveryMissingMsbCount) {
  std::mt19937 rng(99);
  BlockDecoder dec;
  for (std::uint32_t mm = 0; mm < 30; ++mm)
    for (Pattern pat : {Pattern::OneNonZero, Pattern::Sparse, Pattern::Dense,
                        Pattern::AllLargest, Pattern::Laplacian})
      for (int rep = 0; rep < 3; ++rep) {
        auto s = make_block(rng, 64, 64, 64, mm, pat);
        check_round_trip(s, 64, 64, 64, mm, dec, "missing msbs");
        if (HasFatalFailure()) return;
      }
}

TEST(BlockRoundTrip, RandomShapesUpToTheLargestArea) {
  std::mt19937 rng(4242);
  BlockDecoder dec;  // reused across every block: scratch grows and shrinks
  std::uniform_int_distribution<std::size_t> side(1, 1024);
  for (int i = 0; i < 400; ++i) {
    std::size_t w = side(rng), h = side(rng);
    while (w * h > 4096) (rng() & 1) ? w = (w + 1) / 2 : h = (h + 1) / 2;
    const std::uint32_t mm = static_cast<std::uint32_t>(rng() % 30);
    const auto pat = static_cast<Pattern>(rng() % 5);
    auto s = make_block(rng, w, h, w, mm, pat);
    check_round_trip(s, w, h, w, mm, dec, "random shape");
    if (HasFatalFailure()) return;
  }
}

}  // namespace
