// The AVX2 narrowing: eight samples per 256-bit vector (clamp, add, an
// unsigned range test, then packs down to the element width), the rest one
// at a time. This file is compiled with -mavx2; its table is handed out only
// by narrow_kernels_for (narrow.cpp), on a CPU that runs AVX2.
#include "zarr/narrow.hpp"

#include <algorithm>
#include <cstring>

#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace varnel::zarr {

#if defined(__AVX2__)
namespace {

using V = __m256i;

// Out-of-range samples leave non-zero bits in `bad`. Within range the packs
// below saturate nothing, so they truncate as the scalar store does.
template <unsigned Width, bool Signed>
bool run(const std::int32_t* src, std::uint8_t* dst, std::size_t n, const Narrowing& how) {
  const V clo = _mm256_set1_epi32(how.clamp_lo), chi = _mm256_set1_epi32(how.clamp_hi);
  const V add = _mm256_set1_epi32(how.add), lo = _mm256_set1_epi32(how.lo);
  const V span = _mm256_set1_epi32(static_cast<std::int32_t>(how.span));
  V bad = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    V v = _mm256_loadu_si256(reinterpret_cast<const V*>(src + i));
    v = _mm256_add_epi32(_mm256_min_epi32(_mm256_max_epi32(v, clo), chi), add);
    const V t = _mm256_sub_epi32(v, lo);
    bad = _mm256_or_si256(bad, _mm256_xor_si256(_mm256_max_epu32(t, span), span));
    if constexpr (Width == 4) {
      _mm256_storeu_si256(reinterpret_cast<V*>(dst + 4 * i), v);
    } else {
      // [v0..v3 v0..v3 | v4..v7 v4..v7] as 16-bit lanes.
      const V w = Signed ? _mm256_packs_epi32(v, v) : _mm256_packus_epi32(v, v);
      if constexpr (Width == 2) {
        const V q = _mm256_permute4x64_epi64(w, 0x08);  // v0..v3 v4..v7 in the low half
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i), _mm256_castsi256_si128(q));
      } else {
        const V b = Signed ? _mm256_packs_epi16(w, w) : _mm256_packus_epi16(w, w);
        const __m128i low = _mm256_castsi256_si128(b), high = _mm256_extracti128_si256(b, 1);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + i), _mm_unpacklo_epi32(low, high));
      }
    }
  }
  std::uint32_t outside = _mm256_testz_si256(bad, bad) ? 0u : 1u;
  for (; i < n; ++i) {
    const std::int32_t s = std::min(std::max(src[i], how.clamp_lo), how.clamp_hi) + how.add;
    outside |= static_cast<std::uint32_t>(static_cast<std::uint32_t>(s) - static_cast<std::uint32_t>(how.lo) > how.span);
    std::memcpy(dst + i * Width, &s, Width);  // the low bytes (little-endian)
  }
  return outside == 0;
}

bool narrow(const std::int32_t* src, std::uint8_t* dst, std::size_t n, const Narrowing& how) {
  const bool is_signed = how.lo < 0;
  switch (how.width) {
    case 1: return is_signed ? run<1, true>(src, dst, n, how) : run<1, false>(src, dst, n, how);
    case 2: return is_signed ? run<2, true>(src, dst, n, how) : run<2, false>(src, dst, n, how);
    default: return run<4, false>(src, dst, n, how);
  }
}

constexpr NarrowKernels kAvx2{narrow};

}  // namespace

const NarrowKernels& narrow_avx2_kernels() { return kAvx2; }

#else  // a compiler without AVX2: the portable narrowing stands in

const NarrowKernels& narrow_avx2_kernels() { return narrow_portable_kernels(); }

#endif

}  // namespace varnel::zarr
