// Decoded words to coefficients: the AVX-512 form gives the portable one's
// coefficients, for windows of many widths (whole 16-word steps and tails)
// inside a wider plane whose other samples stay as they were, and every
// shift. (Without AVX-512 the test is skipped.)
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "codestream/coefficients.hpp"
#include "htj2k/block/magsgn.hpp"

namespace {

using namespace varnel::codestream;

TEST(Coefficients, Avx512MatchesPortable) {
  if (!varnel::htj2k::detail::cpu_has_avx512_kernels()) GTEST_SKIP() << "no AVX-512";
  std::mt19937 rng(31);
  const std::size_t stride = 90;
  for (std::size_t width : {1, 2, 15, 16, 17, 31, 32, 33, 64, 70})
    for (unsigned shift : {0u, 1u, 17u, 30u, 31u}) {
      const std::size_t height = 1 + rng() % 5;
      std::vector<std::int32_t> a(stride * height);
      for (auto& w : a) w = static_cast<std::int32_t>(rng());
      std::vector<std::int32_t> b = a;
      detail::words_to_coefficients_portable(a.data() + 3, width, height, stride, shift);
      detail::words_to_coefficients_avx512(b.data() + 3, width, height, stride, shift);
      EXPECT_EQ(a, b) << "width " << width << " shift " << shift;
    }
}

}  // namespace
