// The portable (SSE2) coefficient kernels and the family list.
#include "codestream/coefficients.hpp"

#include <algorithm>
#include "core/simd128.hpp"

namespace varnel::codestream {
namespace {

void words_to_coefficients(std::int32_t* row, std::size_t width, std::size_t height,
                           std::size_t stride, unsigned shift) {
  for (std::size_t y = 0; y < height; ++y, row += stride) {
    for (std::size_t x = 0; x < width; ++x) {
      const std::uint32_t w = static_cast<std::uint32_t>(row[x]);
      const std::int32_t m = static_cast<std::int32_t>((w & 0x7FFFFFFFu) >> shift);
      const std::int32_t s = static_cast<std::int32_t>(w) >> 31;  // 0 or -1
      row[x] = (m ^ s) - s;
    }
  }
}

void narrow_coefficients(const std::int32_t* from, std::size_t width, std::size_t height,
                         std::int16_t* to, std::size_t stride) {
  for (std::size_t y = 0; y < height; ++y, from += width, to += stride) {
    std::size_t x = 0;
    for (; x + 8 <= width; x += 8) {  // packssdw saturates
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + x));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + x + 4));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + x), _mm_packs_epi32(a, b));
    }
    for (; x < width; ++x)
      to[x] = static_cast<std::int16_t>(std::clamp<std::int32_t>(from[x], INT16_MIN, INT16_MAX));
  }
}

constexpr CoefficientKernels kPortable{words_to_coefficients, narrow_coefficients};

}  // namespace

const CoefficientKernels& coefficient_portable_kernels() { return kPortable; }

const CoefficientKernels& coefficient_kernels_for(Isa isa) {
  static constexpr Family<CoefficientKernels> kFamilies[] = {
      {Isa::portable, coefficient_portable_kernels},
      {Isa::avx512, coefficient_avx512_kernels},
  };
  return pick_family(kFamilies, isa);
}

const CoefficientKernels& coefficient_kernels() {
  static const CoefficientKernels& chosen = coefficient_kernels_for(isa_selected());
  return chosen;
}

}  // namespace varnel::codestream
