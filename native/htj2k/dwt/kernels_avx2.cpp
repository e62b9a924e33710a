// The AVX2 row kernels: eight samples per 256-bit vector, then one sample at
// a time. This file is compiled with -mavx2; its table is handed out only by
// lift_kernels_for (dwt.cpp), on a CPU that runs AVX2.
#include "htj2k/dwt/kernels.hpp"

#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace varnel::htj2k {

#if defined(__AVX2__)
namespace {

using V = __m256i;

inline V load(const std::int32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const V*>(p)); }
inline V load(const std::int16_t* p) {  // eight int16 widened to int32
  return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
inline void store(std::int32_t* p, V v) { _mm256_storeu_si256(reinterpret_cast<V*>(p), v); }

struct PredictSub {
  static V vec(V x, V a, V b) {
    return _mm256_sub_epi32(x, _mm256_srai_epi32(_mm256_add_epi32(a, b), 1));
  }
  static std::int32_t one(std::int32_t x, std::int32_t a, std::int32_t b) {
    return lift_diff(x, predict_term(a, b));
  }
};
struct PredictAdd {
  static V vec(V x, V a, V b) {
    return _mm256_add_epi32(x, _mm256_srai_epi32(_mm256_add_epi32(a, b), 1));
  }
  static std::int32_t one(std::int32_t x, std::int32_t a, std::int32_t b) {
    return lift_sum(x, predict_term(a, b));
  }
};
struct UpdateAdd {
  static V vec(V x, V a, V b) {
    const V t = _mm256_add_epi32(_mm256_add_epi32(a, b), _mm256_set1_epi32(2));
    return _mm256_add_epi32(x, _mm256_srai_epi32(t, 2));
  }
  static std::int32_t one(std::int32_t x, std::int32_t a, std::int32_t b) {
    return lift_sum(x, update_term(a, b));
  }
};
struct UpdateSub {
  static V vec(V x, V a, V b) {
    const V t = _mm256_add_epi32(_mm256_add_epi32(a, b), _mm256_set1_epi32(2));
    return _mm256_sub_epi32(x, _mm256_srai_epi32(t, 2));
  }
  static std::int32_t one(std::int32_t x, std::int32_t a, std::int32_t b) {
    return lift_diff(x, update_term(a, b));
  }
};

// One generic row loop, instantiated once per lifting step.
template <class Op, class X = std::int32_t, class AB = std::int32_t>
void rows(std::int32_t* dst, const X* x, const AB* a, const AB* b, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) store(dst + i, Op::vec(load(x + i), load(a + i), load(b + i)));
  for (; i < n; ++i) dst[i] = Op::one(x[i], a[i], b[i]);
}

void split(const std::int32_t* row, std::int32_t* low, std::int32_t* high, std::size_t n) {
  std::size_t k = 0;
  for (; 2 * k + 16 <= n; k += 8) {
    // Per 128-bit lane the shuffle picks [r0 r2 r8 r10 | r4 r6 r12 r14]; the
    // 64-bit permute then puts the pairs in order.
    const __m256 v0 = _mm256_castsi256_ps(load(row + 2 * k));
    const __m256 v1 = _mm256_castsi256_ps(load(row + 2 * k + 8));
    const V even = _mm256_castps_si256(_mm256_shuffle_ps(v0, v1, _MM_SHUFFLE(2, 0, 2, 0)));
    const V odd = _mm256_castps_si256(_mm256_shuffle_ps(v0, v1, _MM_SHUFFLE(3, 1, 3, 1)));
    store(low + k, _mm256_permute4x64_epi64(even, _MM_SHUFFLE(3, 1, 2, 0)));
    store(high + k, _mm256_permute4x64_epi64(odd, _MM_SHUFFLE(3, 1, 2, 0)));
  }
  for (; 2 * k + 1 < n; ++k) {
    low[k] = row[2 * k];
    high[k] = row[2 * k + 1];
  }
  if (2 * k < n) low[k] = row[2 * k];
}

void merge(const std::int32_t* low, const std::int32_t* high, std::int32_t* row, std::size_t n) {
  std::size_t k = 0;
  for (; 2 * k + 16 <= n; k += 8) {
    const V l = load(low + k), h = load(high + k);
    const V a = _mm256_unpacklo_epi32(l, h);  // [l0 h0 l1 h1 | l4 h4 l5 h5]
    const V b = _mm256_unpackhi_epi32(l, h);  // [l2 h2 l3 h3 | l6 h6 l7 h7]
    store(row + 2 * k, _mm256_permute2x128_si256(a, b, 0x20));
    store(row + 2 * k + 8, _mm256_permute2x128_si256(a, b, 0x31));
  }
  for (; 2 * k + 1 < n; ++k) {
    row[2 * k] = low[k];
    row[2 * k + 1] = high[k];
  }
  if (2 * k < n) row[2 * k] = low[k];
}

using N = std::int16_t;
using W = std::int32_t;
constexpr LiftKernels kAvx2{rows<PredictSub>,      rows<UpdateAdd>,       rows<UpdateSub>,
                            rows<PredictAdd>,      split,                 merge,
                            rows<UpdateSub, W, N>, rows<UpdateSub, N, N>, rows<PredictAdd, N, W>};

}  // namespace

const LiftKernels& lift_avx2_kernels() { return kAvx2; }

#else  // a compiler without AVX2: the portable family stands in

const LiftKernels& lift_avx2_kernels() { return lift_portable_kernels(); }

#endif

}  // namespace varnel::htj2k
