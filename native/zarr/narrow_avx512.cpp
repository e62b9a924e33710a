// The AVX-512 narrowing: sixteen samples per 512-bit vector (clamp, add, an
// unsigned range test into a lane mask, then a truncating store in the
// element width), and the last fewer than sixteen in one more vector under a
// lane mask, so a row takes no scalar loop. This file is compiled for the
// avx512 family (core/cpu.hpp); its table is handed out only by
// narrow_kernels_for (narrow.cpp), on a CPU that runs that family.
#include "zarr/narrow.hpp"

#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VL__)
#define VARNEL_NARROW_AVX512 1
// GCC 12's AVX-512 intrinsics start from a self-initialised "undefined"
// vector, which -Wmaybe-uninitialized reports (GCC bug 105593).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#endif

namespace varnel::zarr {

#if defined(VARNEL_NARROW_AVX512)
namespace {

using V = __m512i;

// The low `Width` bytes of every lane of m, to dst (truncation: what the
// scalar store keeps).
template <unsigned Width>
inline void store(std::uint8_t* dst, __mmask16 m, V v) {
  if constexpr (Width == 4)
    _mm512_mask_storeu_epi32(dst, m, v);
  else if constexpr (Width == 2)
    _mm512_mask_cvtepi32_storeu_epi16(dst, m, v);
  else
    _mm512_mask_cvtepi32_storeu_epi8(dst, m, v);
}

template <unsigned Width>
bool run(const std::int32_t* src, std::uint8_t* dst, std::size_t n, const Narrowing& how) {
  const V clo = _mm512_set1_epi32(how.clamp_lo), chi = _mm512_set1_epi32(how.clamp_hi);
  const V add = _mm512_set1_epi32(how.add), lo = _mm512_set1_epi32(how.lo);
  const V span = _mm512_set1_epi32(static_cast<std::int32_t>(how.span));
  __mmask16 bad = 0;
  std::size_t i = 0;
  auto step = [&](__mmask16 m) {
    V v = _mm512_maskz_loadu_epi32(m, src + i);
    v = _mm512_add_epi32(_mm512_min_epi32(_mm512_max_epi32(v, clo), chi), add);
    bad |= _mm512_mask_cmpgt_epu32_mask(m, _mm512_sub_epi32(v, lo), span);
    store<Width>(dst + Width * i, m, v);
  };
  for (; i + 16 <= n; i += 16) step(0xFFFF);
  if (i < n) step(static_cast<__mmask16>((std::uint32_t{1} << (n - i)) - 1u));
  return bad == 0;
}

bool narrow(const std::int32_t* src, std::uint8_t* dst, std::size_t n, const Narrowing& how) {
  switch (how.width) {
    case 1: return run<1>(src, dst, n, how);
    case 2: return run<2>(src, dst, n, how);
    default: return run<4>(src, dst, n, how);
  }
}

constexpr NarrowKernels kAvx512{narrow};

}  // namespace

const NarrowKernels& narrow_avx512_kernels() { return kAvx512; }

#else  // a compiler without AVX-512: the AVX2 narrowing stands in

const NarrowKernels& narrow_avx512_kernels() { return narrow_avx2_kernels(); }

#endif

}  // namespace varnel::zarr
