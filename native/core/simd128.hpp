// varnel core: the 128-bit integer vectors of the portable kernel family.
//
// On x86-64 the portable family is SSE2 (<emmintrin.h>). On WebAssembly the
// same kernels run on SIMD128: this header gives the handful of SSE2
// intrinsics they use, each one SIMD128 instruction or a short sequence with
// SSE2's exact lane semantics (saturating packs, arithmetic shifts by a
// count, the shuffles' lane orders), so the kernels keep one body.
#pragma once

#if defined(__wasm_simd128__)

#include <wasm_simd128.h>

#include <cstdint>

using __m128i = v128_t;
using __m128 = v128_t;

#ifndef _MM_SHUFFLE
#define _MM_SHUFFLE(z, y, x, w) (((z) << 6) | ((y) << 4) | ((x) << 2) | (w))
#endif

inline __m128i _mm_loadu_si128(const __m128i* p) { return wasm_v128_load(p); }
inline __m128i _mm_loadl_epi64(const __m128i* p) { return wasm_v128_load64_zero(p); }
inline void _mm_storeu_si128(__m128i* p, __m128i v) { wasm_v128_store(p, v); }
inline __m128i _mm_set1_epi32(int v) { return wasm_i32x4_splat(v); }
inline __m128i _mm_set_epi32(int d, int c, int b, int a) { return wasm_i32x4_make(a, b, c, d); }
inline __m128i _mm_cvtsi32_si128(int v) { return wasm_i32x4_make(v, 0, 0, 0); }
inline __m128i _mm_add_epi32(__m128i a, __m128i b) { return wasm_i32x4_add(a, b); }
inline __m128i _mm_sub_epi32(__m128i a, __m128i b) { return wasm_i32x4_sub(a, b); }
inline __m128i _mm_and_si128(__m128i a, __m128i b) { return wasm_v128_and(a, b); }
inline __m128i _mm_or_si128(__m128i a, __m128i b) { return wasm_v128_or(a, b); }
inline __m128i _mm_xor_si128(__m128i a, __m128i b) { return wasm_v128_xor(a, b); }
inline __m128i _mm_cmpeq_epi32(__m128i a, __m128i b) { return wasm_i32x4_eq(a, b); }
// SSE2 shifts by 32 or more give 0 (logical) or the sign (arithmetic);
// SIMD128 takes the count modulo 32, so counts are clamped first.
inline __m128i _mm_srai_epi32(__m128i a, int n) { return wasm_i32x4_shr(a, n > 31 ? 31 : n); }
inline __m128i _mm_slli_epi32(__m128i a, int n) { return n > 31 ? wasm_i32x4_splat(0) : wasm_i32x4_shl(a, n); }
inline __m128i _mm_srli_epi32(__m128i a, int n) { return n > 31 ? wasm_i32x4_splat(0) : wasm_u32x4_shr(a, n); }
inline __m128i _mm_sll_epi32(__m128i a, __m128i n) {
  const std::uint64_t c = wasm_u64x2_extract_lane(n, 0);
  return c > 31 ? wasm_i32x4_splat(0) : wasm_i32x4_shl(a, static_cast<std::uint32_t>(c));
}
inline __m128i _mm_srl_epi32(__m128i a, __m128i n) {
  const std::uint64_t c = wasm_u64x2_extract_lane(n, 0);
  return c > 31 ? wasm_i32x4_splat(0) : wasm_u32x4_shr(a, static_cast<std::uint32_t>(c));
}
inline __m128i _mm_packs_epi32(__m128i a, __m128i b) { return wasm_i16x8_narrow_i32x4(a, b); }
inline __m128i _mm_unpacklo_epi16(__m128i a, __m128i b) {
  return wasm_i16x8_shuffle(a, b, 0, 8, 1, 9, 2, 10, 3, 11);
}
inline __m128i _mm_unpacklo_epi32(__m128i a, __m128i b) { return wasm_i32x4_shuffle(a, b, 0, 4, 1, 5); }
inline __m128i _mm_unpackhi_epi32(__m128i a, __m128i b) { return wasm_i32x4_shuffle(a, b, 2, 6, 3, 7); }
inline __m128 _mm_castsi128_ps(__m128i v) { return v; }
inline __m128i _mm_castps_si128(__m128 v) { return v; }
// _mm_shuffle_ps with a constant selector: lanes 0, 1 from a, 2, 3 from b.
#define _mm_shuffle_ps(a, b, imm)                                                   \
  wasm_i32x4_shuffle((a), (b), (imm) & 3, ((imm) >> 2) & 3, 4 + (((imm) >> 4) & 3), \
                     4 + (((imm) >> 6) & 3))

#else

#include <emmintrin.h>

#endif
