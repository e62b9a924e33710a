// The portable row kernels: SSE2 only (part of every x86-64 processor), eight
// samples per step as two 128-bit vectors, then one sample at a time.
#include "core/simd128.hpp"

#include "htj2k/dwt/kernels.hpp"

namespace varnel::htj2k {
namespace {

using V = __m128i;

inline V load(const std::int32_t* p) { return _mm_loadu_si128(reinterpret_cast<const V*>(p)); }
// Four int16 widened to int32 (the sign spread by the arithmetic shift).
inline V load(const std::int16_t* p) {
  const V v = _mm_loadl_epi64(reinterpret_cast<const V*>(p));
  return _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
}
inline void store(std::int32_t* p, V v) { _mm_storeu_si128(reinterpret_cast<V*>(p), v); }

struct PredictSub {
  static V vec(V x, V a, V b) { return _mm_sub_epi32(x, _mm_srai_epi32(_mm_add_epi32(a, b), 1)); }
  static std::int32_t one(std::int32_t x, std::int32_t a, std::int32_t b) {
    return lift_diff(x, predict_term(a, b));
  }
};
struct PredictAdd {
  static V vec(V x, V a, V b) { return _mm_add_epi32(x, _mm_srai_epi32(_mm_add_epi32(a, b), 1)); }
  static std::int32_t one(std::int32_t x, std::int32_t a, std::int32_t b) {
    return lift_sum(x, predict_term(a, b));
  }
};
struct UpdateAdd {
  static V vec(V x, V a, V b) {
    const V t = _mm_add_epi32(_mm_add_epi32(a, b), _mm_set1_epi32(2));
    return _mm_add_epi32(x, _mm_srai_epi32(t, 2));
  }
  static std::int32_t one(std::int32_t x, std::int32_t a, std::int32_t b) {
    return lift_sum(x, update_term(a, b));
  }
};
struct UpdateSub {
  static V vec(V x, V a, V b) {
    const V t = _mm_add_epi32(_mm_add_epi32(a, b), _mm_set1_epi32(2));
    return _mm_sub_epi32(x, _mm_srai_epi32(t, 2));
  }
  static std::int32_t one(std::int32_t x, std::int32_t a, std::int32_t b) {
    return lift_diff(x, update_term(a, b));
  }
};

template <class Op, class X = std::int32_t, class AB = std::int32_t>
void rows(std::int32_t* dst, const X* x, const AB* a, const AB* b, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const V lo = Op::vec(load(x + i), load(a + i), load(b + i));
    const V hi = Op::vec(load(x + i + 4), load(a + i + 4), load(b + i + 4));
    store(dst + i, lo);
    store(dst + i + 4, hi);
  }
  for (; i < n; ++i) dst[i] = Op::one(x[i], a[i], b[i]);
}

void split(const std::int32_t* row, std::int32_t* low, std::int32_t* high, std::size_t n) {
  std::size_t k = 0;
  for (; 2 * k + 8 <= n; k += 4) {
    const __m128 v0 = _mm_castsi128_ps(load(row + 2 * k));
    const __m128 v1 = _mm_castsi128_ps(load(row + 2 * k + 4));
    store(low + k, _mm_castps_si128(_mm_shuffle_ps(v0, v1, _MM_SHUFFLE(2, 0, 2, 0))));
    store(high + k, _mm_castps_si128(_mm_shuffle_ps(v0, v1, _MM_SHUFFLE(3, 1, 3, 1))));
  }
  for (; 2 * k + 1 < n; ++k) {
    low[k] = row[2 * k];
    high[k] = row[2 * k + 1];
  }
  if (2 * k < n) low[k] = row[2 * k];
}

void merge(const std::int32_t* low, const std::int32_t* high, std::int32_t* row, std::size_t n) {
  std::size_t k = 0;
  for (; 2 * k + 8 <= n; k += 4) {
    const V l = load(low + k), h = load(high + k);
    store(row + 2 * k, _mm_unpacklo_epi32(l, h));
    store(row + 2 * k + 4, _mm_unpackhi_epi32(l, h));
  }
  for (; 2 * k + 1 < n; ++k) {
    row[2 * k] = low[k];
    row[2 * k + 1] = high[k];
  }
  if (2 * k < n) row[2 * k] = low[k];
}

using N = std::int16_t;
using W = std::int32_t;
constexpr LiftKernels kPortable{rows<PredictSub>,           rows<UpdateAdd>,
                                rows<UpdateSub>,            rows<PredictAdd>,
                                split,                      merge,
                                rows<UpdateSub, W, N>,      rows<UpdateSub, N, N>,
                                rows<PredictAdd, N, W>};

}  // namespace

const LiftKernels& lift_portable_kernels() { return kPortable; }

}  // namespace varnel::htj2k
