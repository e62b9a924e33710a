// The HT block encoder's kernel families (enc_kernels.hpp): every family
// codes every block into the same bytes as the portable one, and the
// coefficient entry codes what the sign-magnitude entry codes.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "families.hpp"
#include "htj2k/block/enc_kernels.hpp"
#include "htj2k/block/encode.hpp"

namespace {

using varnel::Isa;
using varnel::htj2k::BlockEncoder;

// Two's-complement coefficients of up to `bits` magnitude bits (below
// 2^magb), a share of them 0, in a window of the given stride.
std::vector<std::int32_t> block_coefficients(std::mt19937& rng, std::size_t stride, std::size_t h,
                                             unsigned bits, double zero_share) {
  std::vector<std::int32_t> c(stride * h);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (auto& x : c) {
    if (u(rng) < zero_share) continue;
    const unsigned nb = 1 + rng() % bits;
    const auto mu = static_cast<std::int32_t>((rng() & ((1u << nb) - 1)) | (1u << (nb - 1)));
    x = (rng() & 1) ? -mu : mu;
  }
  return c;
}

// The words the coefficient entry stands for (encode.hpp).
std::vector<std::uint32_t> words_of(const std::vector<std::int32_t>& c, unsigned magb) {
  std::vector<std::uint32_t> w(c.size());
  for (std::size_t i = 0; i < c.size(); ++i) {
    const auto u = static_cast<std::uint32_t>(c[i]);
    const std::uint32_t m = c[i] < 0 ? 0u - u : u;
    w[i] = (c[i] < 0 ? 0x80000000u : 0u) | m << (31 - magb);
  }
  return w;
}

class EncodePaths : public ::testing::TestWithParam<Isa> {
 protected:
  BlockEncoder portable{varnel::htj2k::encode_portable_kernels()};
  BlockEncoder family{varnel::htj2k::encode_kernels_for(GetParam())};
};
VARNEL_FOR_EVERY_FAMILY(EncodePaths);

TEST_P(EncodePaths, EveryFamilyCodesTheSameBytes) {
  std::mt19937 rng(20261208);
  const std::size_t sizes[] = {1, 2, 3, 5, 8, 15, 16, 17, 33, 64};
  for (std::size_t w : sizes)
    for (std::size_t h : sizes)
      for (unsigned magb : {1u, 5u, 13u, 16u, 22u, 30u})
        for (double zeros : {0.0, 0.6, 0.95}) {
          const std::size_t stride = w + rng() % 3;
          const auto c = block_coefficients(rng, stride, h, magb, zeros);
          const auto words = words_of(c, magb);
          std::vector<std::uint8_t> a, b, from_words;
          auto na = portable.encode_coefficients(c, w, h, stride, magb, a);
          auto nb = family.encode_coefficients(c, w, h, stride, magb, b);
          auto nw = family.encode(words, w, h, stride, magb - 1, from_words);
          ASSERT_TRUE(na && nb && nw);
          EXPECT_EQ(a, b) << w << "x" << h << " M_b " << magb << " zeros " << zeros;
          if (*na == 0) {
            EXPECT_TRUE(a.empty());  // an all-zero block is left out
            continue;
          }
          EXPECT_EQ(a, from_words) << w << "x" << h << " M_b " << magb;
        }
}

TEST_P(EncodePaths, WideQuadsAndStuffedBytesMatchThePortableFamily) {
  // Every sample at the top plane sends quads of more than 56 MagSgn bits;
  // all-ones magnitudes make 0xFF bytes (stuffing) common.
  std::mt19937 rng(11);
  for (int round = 0; round < 30; ++round) {
    const std::size_t w = 1 + rng() % 64, h = 1 + rng() % 64;
    std::vector<std::int32_t> c(w * h);
    for (auto& x : c) {
      const auto m = static_cast<std::int32_t>(round % 2 ? (rng() | 0x20000000u) & 0x3FFFFFFFu
                                                         : 0x3FFFFFFFu >> (rng() % 24));
      x = (rng() & 1) ? -m : m;
    }
    std::vector<std::uint8_t> a, b;
    ASSERT_TRUE(portable.encode_coefficients(c, w, h, w, 30, a).has_value());
    ASSERT_TRUE(family.encode_coefficients(c, w, h, w, 30, b).has_value());
    EXPECT_EQ(a, b) << "round " << round;
  }
}

TEST_P(EncodePaths, RefusesMagnitudesTheBandCannotHold) {
  // |c| < 2^M_b is the entry's contract; at 2^M_b (and INT32_MIN, whose
  // magnitude no int32 holds) every family refuses and appends nothing.
  for (std::uint32_t magb : {1u, 16u, 30u}) {
    const std::int32_t top = static_cast<std::int32_t>((std::int64_t{1} << magb) - 1);
    for (std::int32_t bad : {top + 1, -top - 1, INT32_MIN}) {
      for (BlockEncoder* enc : {&portable, &family}) {
        std::vector<std::int32_t> c = {top, -top, 0, 1, bad, 0};
        std::vector<std::uint8_t> out = {7};
        ASSERT_TRUE(enc->encode_coefficients(c, 3, 1, 3, magb, out).has_value()) << magb;
        const std::vector<std::uint8_t> before = out;
        auto r = enc->encode_coefficients(c, 3, 2, 3, magb, out);
        ASSERT_FALSE(r.has_value()) << magb << " " << bad;
        EXPECT_EQ(r.error().message, "coefficient magnitude not below 2^M_b");
        EXPECT_EQ(out, before);
      }
    }
  }
}

TEST(EncodeCoefficients, RejectsOutOfRangeMagb) {
  BlockEncoder enc;
  std::vector<std::int32_t> c(4, 1);
  std::vector<std::uint8_t> out;
  for (std::uint32_t magb : {0u, 31u}) {
    auto r = enc.encode_coefficients(c, 2, 2, 2, magb, out);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message, "M_b must be 1..=30 for the 32-bit datapath");
  }
  EXPECT_TRUE(out.empty());
}

}  // namespace
