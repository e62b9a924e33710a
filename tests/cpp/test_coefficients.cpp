// Decoded words to coefficients: every family this CPU runs gives the
// portable coefficients, for windows of many widths (whole 16-word steps and
// tails) inside a wider plane whose other samples stay as they were, and
// every shift; the portable ones are the sign-magnitude rule itself. And
// coefficients to 16 bits, saturated, on every family.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "codestream/coefficients.hpp"
#include "families.hpp"

namespace {

using namespace varnel::codestream;

class Coefficients : public ::testing::TestWithParam<varnel::Isa> {};
VARNEL_FOR_EVERY_FAMILY(Coefficients);

TEST_P(Coefficients, GiveThePortableOnes) {
  const auto portable = coefficient_portable_kernels().words_to_coefficients;
  const auto family = coefficient_kernels_for(GetParam()).words_to_coefficients;
  std::mt19937 rng(31);
  const std::size_t stride = 90;
  for (std::size_t width : {1, 2, 15, 16, 17, 31, 32, 33, 64, 70})
    for (unsigned shift : {0u, 1u, 17u, 30u, 31u}) {
      const std::size_t height = 1 + rng() % 5;
      std::vector<std::int32_t> a(stride * height);
      for (auto& w : a) w = static_cast<std::int32_t>(rng());
      std::vector<std::int32_t> b = a, want = a;
      for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x) {
          const auto w = static_cast<std::uint32_t>(want[y * stride + 3 + x]);
          const auto m = static_cast<std::int32_t>((w & 0x7FFFFFFFu) >> shift);
          want[y * stride + 3 + x] = (w >> 31) ? -m : m;
        }
      portable(a.data() + 3, width, height, stride, shift);
      family(b.data() + 3, width, height, stride, shift);
      EXPECT_EQ(a, want) << "width " << width << " shift " << shift;
      EXPECT_EQ(b, want) << "width " << width << " shift " << shift;
    }
}

// Coefficients to 16 bits: every family saturates (values past int16 and
// at its ends) into a window of a wider strip and leaves the rest alone.
TEST_P(Coefficients, NarrowSaturatingIntoTheirWindow) {
  const auto family = coefficient_kernels_for(GetParam()).narrow_coefficients;
  std::mt19937 rng(37);
  const std::int32_t edges[] = {32767, 32768, -32768, -32769, INT32_MAX, INT32_MIN, 0, -1};
  const std::size_t stride = 90;
  for (std::size_t width : {1, 7, 8, 9, 15, 16, 17, 33, 64, 70}) {
    const std::size_t height = 1 + rng() % 5;
    std::vector<std::int32_t> from(width * height);
    for (std::size_t i = 0; i < from.size(); ++i)
      from[i] = i % 3 == 0 ? edges[rng() % 8] : static_cast<std::int32_t>(rng() % 70000) - 35000;
    std::vector<std::int16_t> to(stride * height, 0x5A5A), want = to;
    for (std::size_t y = 0; y < height; ++y)
      for (std::size_t x = 0; x < width; ++x)
        want[y * stride + 3 + x] = static_cast<std::int16_t>(
            std::min<std::int32_t>(std::max<std::int32_t>(from[y * width + x], -32768), 32767));
    family(from.data(), width, height, to.data() + 3, stride);
    EXPECT_EQ(to, want) << "width " << width;
  }
}

}  // namespace
