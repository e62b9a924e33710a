// words_to_coefficients with AVX-512 F, 16 words a step. This file alone is
// compiled for AVX-512; it runs only after the CPU check of coefficients.cpp.
#include "codestream/coefficients.hpp"

#if defined(__AVX512F__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"  // GCC 12's intrinsics (bug 105593)
#include <immintrin.h>
#endif

namespace varnel::codestream::detail {

#if defined(__AVX512F__)

void words_to_coefficients_avx512(std::int32_t* row, std::size_t width, std::size_t height,
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

#else

void words_to_coefficients_avx512(std::int32_t* row, std::size_t width, std::size_t height,
                                  std::size_t stride, unsigned shift) {
  words_to_coefficients_portable(row, width, height, stride, shift);
}

#endif

}  // namespace varnel::codestream::detail
