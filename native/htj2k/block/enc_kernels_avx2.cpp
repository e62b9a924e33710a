// The block encoder's AVX2 family: eight samples or eight quads per 256-bit
// vector for the terms and the plan, four quads per vector (one 64-bit lane
// each) for the MagSgn words. This file is compiled with -mavx2; its table
// is handed out only by encode_kernels_for (enc_kernels_portable.cpp), on a
// CPU that runs AVX2.
#include "htj2k/block/enc_kernels.hpp"
#include "htj2k/block/enc_tables.hpp"

#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace varnel::htj2k {

#if defined(__AVX2__)
namespace {

using V = __m256i;

inline V load(const std::uint32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const V*>(p)); }
inline void store(std::uint32_t* p, V v) { _mm256_storeu_si256(reinterpret_cast<V*>(p), v); }
inline V set1(int a) { return _mm256_set1_epi32(a); }

// v and E of eight samples from their magnitudes and sign bits (0 or 1),
// as the portable family computes them (the float exponent gives the bit
// length).
inline void sample_terms(V mu, V sign, std::uint32_t* e, std::uint32_t* v) {
  const V zero = _mm256_setzero_si256();
  const V sig = _mm256_andnot_si256(_mm256_cmpeq_epi32(mu, zero), set1(-1));
  const V val = _mm256_and_si256(
      _mm256_add_epi32(_mm256_sub_epi32(_mm256_add_epi32(mu, mu), set1(2)), sign), sig);
  const V t = _mm256_or_si256(val, _mm256_srli_epi32(sig, 31));
  const V f = _mm256_castps_si256(
      _mm256_cvtepi32_ps(_mm256_andnot_si256(_mm256_srli_epi32(t, 1), t)));
  const V exp = _mm256_sub_epi32(_mm256_srli_epi32(f, 23), set1(126));
  store(v, val);
  store(e, _mm256_and_si256(exp, sig));
}

void load_words(const std::uint32_t* src, std::size_t width, unsigned p, std::uint32_t* e,
                std::uint32_t* v) {
  const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(p));
  std::size_t x = 0;
  for (; x + 8 <= width; x += 8) {
    const V w = load(src + x);
    sample_terms(_mm256_srl_epi32(_mm256_and_si256(w, set1(0x7FFFFFFF)), shift),
                 _mm256_srli_epi32(w, 31), e + x, v + x);
  }
  encode_portable_kernels().load_words(src + x, width - x, p, e + x, v + x);
}

std::uint32_t load_coefficients(const std::int32_t* src, std::size_t width, std::uint32_t* e,
                                std::uint32_t* v) {
  V any = _mm256_setzero_si256();
  std::size_t x = 0;
  for (; x + 8 <= width; x += 8) {
    const V c = _mm256_loadu_si256(reinterpret_cast<const V*>(src + x));
    const V s = _mm256_srai_epi32(c, 31);
    const V mu = _mm256_sub_epi32(_mm256_xor_si256(c, s), s);
    any = _mm256_or_si256(any, mu);
    sample_terms(mu, _mm256_srli_epi32(c, 31), e + x, v + x);
  }
  __m128i half = _mm_or_si128(_mm256_castsi256_si128(any), _mm256_extracti128_si256(any, 1));
  half = _mm_or_si128(half, _mm_shuffle_epi32(half, _MM_SHUFFLE(1, 0, 3, 2)));
  half = _mm_or_si128(half, _mm_shuffle_epi32(half, _MM_SHUFFLE(2, 3, 0, 1)));
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(half)) |
         encode_portable_kernels().load_coefficients(src + x, width - x, e + x, v + x);
}

// Columns x, x + 2, ... (even) and x + 1, x + 3, ... (odd) of 16 samples
// from p = row + x.
struct Pairs {
  V even, odd;
  static Pairs at(const std::uint32_t* p) {
    const __m256 a = _mm256_castsi256_ps(load(p)), b = _mm256_castsi256_ps(load(p + 8));
    const V even = _mm256_castps_si256(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
    const V odd = _mm256_castps_si256(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
    return {_mm256_permute4x64_epi64(even, _MM_SHUFFLE(3, 1, 2, 0)),
            _mm256_permute4x64_epi64(odd, _MM_SHUFFLE(3, 1, 2, 0))};
  }
};

inline V nonzero(V a) {
  return _mm256_andnot_si256(_mm256_cmpeq_epi32(a, _mm256_setzero_si256()), set1(1));
}
inline V shl(V a, int n) { return _mm256_slli_epi32(a, n); }
inline V either(V a, V b) { return _mm256_or_si256(a, b); }
inline V equal(V a, V b) { return _mm256_srli_epi32(_mm256_cmpeq_epi32(a, b), 31); }
inline V max(V a, V b) { return _mm256_max_epu32(a, b); }
inline V bits4(V b0, V b1, V b2, V b3) {
  return _mm256_or_si256(_mm256_or_si256(b0, _mm256_slli_epi32(b1, 1)),
                         _mm256_or_si256(_mm256_slli_epi32(b2, 2), _mm256_slli_epi32(b3, 3)));
}


// The plan of the portable family, eight quads at a time.
template <bool Initial>
void plan_rows(std::size_t quads, const std::uint32_t* et, const std::uint32_t* eb,
               const std::uint32_t* ep, std::uint32_t* code, std::uint32_t* info) {
  const auto* table =
      reinterpret_cast<const int*>((Initial ? ENC_VLC_TBL0_WIDE : ENC_VLC_TBL1_WIDE).data());
  for (std::size_t j = 0; j < quads; j += 8) {
    const std::size_t x = 2 * j;
    const Pairs t = Pairs::at(et + x), b = Pairs::at(eb + x);
    const Pairs tl = Pairs::at(et + x - 2), bl = Pairs::at(eb + x - 2);  // columns x - 2, x - 1
    const V rho = bits4(nonzero(t.even), nonzero(b.even), nonzero(t.odd), nonzero(b.odd));
    const V e_max = max(max(t.even, b.even), max(t.odd, b.odd));
    const V at_max =
        bits4(equal(t.even, e_max), equal(b.even, e_max), equal(t.odd, e_max), equal(b.odd, e_max));
    V c, kappa;
    if constexpr (Initial) {
      c = bits4(nonzero(_mm256_or_si256(tl.even, bl.even)), nonzero(tl.odd), nonzero(bl.odd),
                _mm256_setzero_si256());
      kappa = set1(1);
    } else {
      const Pairs p = Pairs::at(ep + x), pl = Pairs::at(ep + x - 2), pr = Pairs::at(ep + x + 2);
      const V n0 = max(pl.odd, p.even), n1 = max(p.odd, pr.even);
      c = bits4(nonzero(n0), nonzero(_mm256_or_si256(tl.odd, bl.odd)), nonzero(n1),
                _mm256_setzero_si256());
      const V fewer_than_two = _mm256_cmpeq_epi32(
          _mm256_and_si256(rho, _mm256_sub_epi32(rho, set1(1))), _mm256_setzero_si256());
      kappa = _mm256_add_epi32(
          set1(1), _mm256_andnot_si256(fewer_than_two,
                                       _mm256_sub_epi32(max(max(n0, n1), set1(2)), set1(2))));
    }
    const V big_u = max(e_max, kappa);
    const V u = _mm256_sub_epi32(big_u, kappa);
    const V emb = _mm256_andnot_si256(_mm256_cmpeq_epi32(u, _mm256_setzero_si256()), at_max);
    const V key = either(either(shl(c, 8), shl(rho, 4)), emb);
    const V entry = _mm256_i32gather_epi32(table, key, 4);  // codeword << 8 | length << 4 | e_k
    const V no_context = _mm256_cmpeq_epi32(c, _mm256_setzero_si256());
    const V mel = _mm256_and_si256(no_context, either(set1(QUAD_MEL), shl(nonzero(rho), 9)));
    const V length = _mm256_and_si256(entry, set1(0x70));
    const V e_k = _mm256_and_si256(entry, set1(0xF));
    const V codeword = _mm256_srli_epi32(entry, 8);
    store(code + j, either(either(codeword, mel), either(shl(length, 8), shl(u, 16))));
    store(info + j, either(either(big_u, shl(e_k, 8)), shl(rho, 12)));
  }
}

void plan(std::size_t quads, const std::uint32_t* et, const std::uint32_t* eb,
          const std::uint32_t* ep, std::uint32_t* code, std::uint32_t* info) {
  if (ep == nullptr)
    plan_rows<true>(quads, et, eb, ep, code, info);
  else
    plan_rows<false>(quads, et, eb, ep, code, info);
}

// Four quads per iteration, one per 64-bit lane: sample n's count and bits
// in every lane, then the four joined by variable shifts.
void magsgn_words(std::size_t quads, const std::uint32_t* info, const std::uint32_t* vt,
                  const std::uint32_t* vb, std::uint64_t* words) {
  const V one = _mm256_set1_epi64x(1);
  const V pick = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  for (std::size_t j = 0; j < quads; j += 4) {
    const V in = _mm256_cvtepu32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(info + j)));
    const V big_u = _mm256_and_si256(in, _mm256_set1_epi64x(0xFF));
    const V top_shift = _mm256_sub_epi64(big_u, one);
    // Columns 2j.. of each row: even columns are samples 0 (top) and 1
    // (bottom), odd ones samples 2 and 3.
    const V t = _mm256_permutevar8x32_epi32(load(vt + 2 * j), pick);
    const V b = _mm256_permutevar8x32_epi32(load(vb + 2 * j), pick);
    const V v[4] = {_mm256_cvtepu32_epi64(_mm256_castsi256_si128(t)),
                    _mm256_cvtepu32_epi64(_mm256_castsi256_si128(b)),
                    _mm256_cvtepu32_epi64(_mm256_extracti128_si256(t, 1)),
                    _mm256_cvtepu32_epi64(_mm256_extracti128_si256(b, 1))};
    V word = _mm256_setzero_si256(), at = _mm256_setzero_si256();
    for (int n = 0; n < 4; ++n) {
      const V implied = _mm256_and_si256(_mm256_srli_epi64(in, 8 + n), one);
      const V significant = _mm256_and_si256(_mm256_srli_epi64(in, 12 + n), one);
      const V count = _mm256_and_si256(_mm256_sub_epi64(big_u, implied),
                                       _mm256_sub_epi64(_mm256_setzero_si256(), significant));
      const V bits = _mm256_andnot_si256(_mm256_sllv_epi64(implied, top_shift), v[n]);
      word = _mm256_or_si256(word, _mm256_sllv_epi64(bits, at));
      at = _mm256_add_epi64(at, count);
    }
    _mm256_storeu_si256(reinterpret_cast<V*>(words + j),
                        _mm256_or_si256(word, _mm256_slli_epi64(at, 56)));
  }
}

constexpr EncodeKernels kAvx2{load_words, load_coefficients, plan, magsgn_words};

}  // namespace

const EncodeKernels& encode_avx2_kernels() { return kAvx2; }

#else  // a compiler without AVX2: the portable family stands in

const EncodeKernels& encode_avx2_kernels() { return encode_portable_kernels(); }

#endif

}  // namespace varnel::htj2k
