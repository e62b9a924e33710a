// The block encoder's AVX-512 family: sixteen samples or quads per 512-bit
// vector for the terms and the plan (bit lengths from lane leading-zero
// counts, even/odd columns from one two-source permute), eight quads per
// vector for the MagSgn words. This file is compiled with the AVX-512
// flags of core/cpu.hpp; its table is handed out only by encode_kernels_for
// (enc_kernels_portable.cpp), on a CPU that runs them.
#include "htj2k/block/enc_kernels.hpp"
#include "htj2k/block/enc_tables.hpp"

#if defined(__AVX512F__) && defined(__AVX512CD__) && defined(__AVX512BW__)
// GCC 12's AVX-512 intrinsics start from an undefined vector, which
// -Wmaybe-uninitialized reports (GCC bug 105593).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#endif

namespace varnel::htj2k {

#if defined(__AVX512F__) && defined(__AVX512CD__) && defined(__AVX512BW__)
namespace {

using V = __m512i;

inline V load(const std::uint32_t* p) { return _mm512_loadu_si512(p); }
inline void store(std::uint32_t* p, V v) { _mm512_storeu_si512(p, v); }
inline V set1(int a) { return _mm512_set1_epi32(a); }

// v and E of sixteen samples from their magnitudes and sign bits (0 or 1):
// E = 32 - lzcnt(v | 1) for a significant sample.
inline void sample_terms(V mu, V sign, std::uint32_t* e, std::uint32_t* v) {
  const __mmask16 sig = _mm512_test_epi32_mask(mu, mu);
  const V twice_less_2 = _mm512_sub_epi32(_mm512_add_epi32(mu, mu), set1(2));
  const V val = _mm512_maskz_add_epi32(sig, twice_less_2, sign);
  const V lz = _mm512_lzcnt_epi32(_mm512_or_si512(val, set1(1)));
  const V bit_length = _mm512_sub_epi32(set1(32), lz);
  const V exp = _mm512_maskz_mov_epi32(sig, bit_length);
  store(v, val);
  store(e, exp);
}

void load_words(const std::uint32_t* src, std::size_t width, unsigned p, std::uint32_t* e,
                std::uint32_t* v) {
  const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(p));
  std::size_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const V w = load(src + x);
    sample_terms(_mm512_srl_epi32(_mm512_and_si512(w, set1(0x7FFFFFFF)), shift),
                 _mm512_srli_epi32(w, 31), e + x, v + x);
  }
  encode_avx2_kernels().load_words(src + x, width - x, p, e + x, v + x);
}

std::uint32_t load_coefficients(const std::int32_t* src, std::size_t width, std::uint32_t* e,
                                std::uint32_t* v) {
  V any = _mm512_setzero_si512();
  std::size_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const V c = _mm512_loadu_si512(src + x);
    const V mu = _mm512_abs_epi32(c);
    any = _mm512_or_si512(any, mu);
    sample_terms(mu, _mm512_srli_epi32(c, 31), e + x, v + x);
  }
  // Lanes ORed through memory: GCC 12's headers for the in-register
  // reductions and extractions read an undefined value (-Wuninitialized).
  alignas(64) std::uint32_t lanes[16];
  _mm512_store_si512(lanes, any);
  std::uint32_t all = encode_avx2_kernels().load_coefficients(src + x, width - x, e + x, v + x);
  for (std::uint32_t lane : lanes) all |= lane;
  return all;
}

// Columns x, x + 2, ... (even) and x + 1, x + 3, ... (odd) of 32 samples
// from p = row + x.
struct Pairs {
  V even, odd;
  static Pairs at(const std::uint32_t* p) {
    const V even_index =
        _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    const V a = load(p), b = load(p + 16);
    return {_mm512_permutex2var_epi32(a, even_index, b),
            _mm512_permutex2var_epi32(a, _mm512_add_epi32(even_index, set1(1)), b)};
  }
};

inline V nonzero(V a) { return _mm512_maskz_mov_epi32(_mm512_test_epi32_mask(a, a), set1(1)); }
inline V equal(V a, V b) { return _mm512_maskz_mov_epi32(_mm512_cmpeq_epi32_mask(a, b), set1(1)); }
inline V max(V a, V b) { return _mm512_max_epu32(a, b); }
inline V shl(V a, unsigned n) { return _mm512_slli_epi32(a, n); }
inline V either(V a, V b) { return _mm512_or_si512(a, b); }
inline V bits4(V b0, V b1, V b2, V b3) {
  return _mm512_or_si512(_mm512_or_si512(b0, _mm512_slli_epi32(b1, 1)),
                         _mm512_or_si512(_mm512_slli_epi32(b2, 2), _mm512_slli_epi32(b3, 3)));
}


// The plan of the portable family, sixteen quads at a time.
template <bool Initial>
void plan_rows(std::size_t quads, const std::uint32_t* et, const std::uint32_t* eb,
               const std::uint32_t* ep, std::uint32_t* code, std::uint32_t* info) {
  const void* table = Initial ? ENC_VLC_TBL0_WIDE.data() : ENC_VLC_TBL1_WIDE.data();
  const V zero = _mm512_setzero_si512();
  for (std::size_t j = 0; j < quads; j += 16) {
    const std::size_t x = 2 * j;
    const Pairs t = Pairs::at(et + x), b = Pairs::at(eb + x);
    const Pairs tl = Pairs::at(et + x - 2), bl = Pairs::at(eb + x - 2);  // columns x - 2, x - 1
    const V rho = bits4(nonzero(t.even), nonzero(b.even), nonzero(t.odd), nonzero(b.odd));
    const V e_max = max(max(t.even, b.even), max(t.odd, b.odd));
    const V at_max =
        bits4(equal(t.even, e_max), equal(b.even, e_max), equal(t.odd, e_max), equal(b.odd, e_max));
    V c, kappa;
    if constexpr (Initial) {
      c = bits4(nonzero(_mm512_or_si512(tl.even, bl.even)), nonzero(tl.odd), nonzero(bl.odd), zero);
      kappa = set1(1);
    } else {
      const Pairs p = Pairs::at(ep + x), pl = Pairs::at(ep + x - 2), pr = Pairs::at(ep + x + 2);
      const V n0 = max(pl.odd, p.even), n1 = max(p.odd, pr.even);
      c = bits4(nonzero(n0), nonzero(_mm512_or_si512(tl.odd, bl.odd)), nonzero(n1), zero);
      const __mmask16 two_or_more = _mm512_test_epi32_mask(rho, _mm512_sub_epi32(rho, set1(1)));
      kappa = _mm512_add_epi32(
          set1(1), _mm512_maskz_sub_epi32(two_or_more, max(max(n0, n1), set1(2)), set1(2)));
    }
    const V big_u = max(e_max, kappa);
    const V u = _mm512_sub_epi32(big_u, kappa);
    const V emb = _mm512_maskz_mov_epi32(_mm512_test_epi32_mask(u, u), at_max);
    const V key = either(either(shl(c, 8), shl(rho, 4)), emb);
    const V entry = _mm512_i32gather_epi32(key, table, 4);  // codeword << 8 | length << 4 | e_k
    const __mmask16 no_context = _mm512_cmpeq_epi32_mask(c, zero);
    const V mel = _mm512_maskz_mov_epi32(no_context, either(set1(QUAD_MEL), shl(nonzero(rho), 9)));
    const V length = _mm512_and_si512(entry, set1(0x70));
    const V e_k = _mm512_and_si512(entry, set1(0xF));
    const V codeword = _mm512_srli_epi32(entry, 8);
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

// Eight quads per iteration, one per 64-bit lane (the AVX2 family's scheme).
void magsgn_words(std::size_t quads, const std::uint32_t* info, const std::uint32_t* vt,
                  const std::uint32_t* vb, std::uint64_t* words) {
  const V one = _mm512_set1_epi64(1);
  const V even_index = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
  for (std::size_t j = 0; j < quads; j += 8) {
    const V in =
        _mm512_cvtepu32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(info + j)));
    const V big_u = _mm512_and_si512(in, _mm512_set1_epi64(0xFF));
    const V top_shift = _mm512_sub_epi64(big_u, one);
    // Columns 2j.. of each row: even columns are samples 0 (top) and 1
    // (bottom), odd ones samples 2 and 3.
    const V t = _mm512_permutexvar_epi32(even_index, load(vt + 2 * j));
    const V b = _mm512_permutexvar_epi32(even_index, load(vb + 2 * j));
    const V v[4] = {_mm512_cvtepu32_epi64(_mm512_castsi512_si256(t)),
                    _mm512_cvtepu32_epi64(_mm512_castsi512_si256(b)),
                    _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(t, 1)),
                    _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(b, 1))};
    V word = _mm512_setzero_si512(), at = _mm512_setzero_si512();
    for (int n = 0; n < 4; ++n) {
      const V implied = _mm512_and_si512(_mm512_srli_epi64(in, 8 + n), one);
      const __mmask8 significant = _mm512_test_epi64_mask(in, _mm512_set1_epi64(1ll << (12 + n)));
      const V count = _mm512_maskz_sub_epi64(significant, big_u, implied);
      const V bits = _mm512_andnot_si512(_mm512_sllv_epi64(implied, top_shift), v[n]);
      word = _mm512_or_si512(word, _mm512_sllv_epi64(bits, at));
      at = _mm512_add_epi64(at, count);
    }
    _mm512_storeu_si512(words + j, _mm512_or_si512(word, _mm512_slli_epi64(at, 56)));
  }
}

constexpr EncodeKernels kAvx512{load_words, load_coefficients, plan, magsgn_words};

}  // namespace

const EncodeKernels& encode_avx512_kernels() { return kAvx512; }

#else  // a compiler without AVX-512: the AVX2 family stands in

const EncodeKernels& encode_avx512_kernels() { return encode_avx2_kernels(); }

#endif

}  // namespace varnel::htj2k
