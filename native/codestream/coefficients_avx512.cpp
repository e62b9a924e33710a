// The avx512 family of the coefficient kernels, 16 samples a step. This file
// alone is compiled for that family; its table is handed out only by
// coefficient_kernels_for (coefficients.cpp), on a CPU that runs it.
#include "codestream/coefficients.hpp"

#if defined(__AVX512F__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"  // GCC 12's intrinsics (bug 105593)
#include <immintrin.h>

namespace varnel::codestream {
namespace {

void words_to_coefficients(std::int32_t* row, std::size_t width, std::size_t height,
                           std::size_t stride, unsigned shift) {
  const __m128i sh = _mm_cvtsi32_si128(static_cast<int>(shift));
  const __m512i mag_mask = _mm512_set1_epi32(0x7FFFFFFF);
  const __m512i zero = _mm512_setzero_si512();
  const auto tail = static_cast<__mmask16>((1u << (width % 16)) - 1u);
  auto convert = [&](__m512i w) {
    const __m512i m = _mm512_srl_epi32(_mm512_and_si512(w, mag_mask), sh);
    return _mm512_mask_sub_epi32(m, _mm512_cmplt_epi32_mask(w, zero), zero, m);
  };
  for (std::size_t y = 0; y < height; ++y, row += stride) {
    std::size_t x = 0;
    for (; x + 16 <= width; x += 16)
      _mm512_storeu_si512(row + x, convert(_mm512_loadu_si512(row + x)));
    if (x < width)
      _mm512_mask_storeu_epi32(row + x, tail, convert(_mm512_maskz_loadu_epi32(tail, row + x)));
  }
}

void narrow_coefficients(const std::int32_t* from, std::size_t width, std::size_t height,
                         std::int16_t* to, std::size_t stride) {
  const auto tail = static_cast<__mmask16>((1u << (width % 16)) - 1u);
  for (std::size_t y = 0; y < height; ++y, from += width, to += stride) {
    std::size_t x = 0;
    for (; x + 16 <= width; x += 16)  // vpmovsdw saturates
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + x),
                          _mm512_cvtsepi32_epi16(_mm512_loadu_si512(from + x)));
    if (x < width)
      _mm512_mask_cvtsepi32_storeu_epi16(to + x, tail, _mm512_maskz_loadu_epi32(tail, from + x));
  }
}

constexpr CoefficientKernels kAvx512{words_to_coefficients, narrow_coefficients};

}  // namespace

const CoefficientKernels& coefficient_avx512_kernels() { return kAvx512; }

}  // namespace varnel::codestream

#else  // a compiler without AVX-512: the portable family stands in

namespace varnel::codestream {
const CoefficientKernels& coefficient_avx512_kernels() { return coefficient_portable_kernels(); }
}  // namespace varnel::codestream

#endif
