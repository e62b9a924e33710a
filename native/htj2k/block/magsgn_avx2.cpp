// The block decoder's AVX2 family: the MagSgn step of the HT cleanup pass
// (T.814 clause 7.3.8) with AVX2. This file is compiled with -mavx2; its
// table is handed out only by block_kernels_for (decode.cpp), on a CPU that
// runs AVX2.
//
// A quad's four samples are decoded at once from one 64-bit bit window: the
// bit counts m_n and their running offsets are formed as bytes in a scalar
// word, widened to four 64-bit lanes, and each lane shifts the broadcast
// window by its own offset. Only the reader position (the sum of the m_n)
// carries from one quad to the next.
#include "htj2k/block/kernels.hpp"
#include "htj2k/block/magsgn.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <bit>
#include <string>

#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include "htj2k/block/dec_tables.hpp"
#include "htj2k/block/readers.hpp"

#if defined(__AVX2__)
namespace varnel::htj2k::detail {
namespace {

// One quad from a window holding all its bits: 64-bit lane n of the result
// holds the output word of sample n in its low half and the sample's value v
// (2 mu - 2 + s, the sign s in bit 0; 0 for insignificant samples) in its
// high half.
// With coef, the word is the coefficient instead: magnitude >> cshift,
// negated for sign 1 (kernels.hpp).
inline __m256i quad_vector(std::uint64_t bits, std::uint32_t m_all, std::uint32_t off_all,
                           unsigned rho, unsigned e1, __m128i pm1, bool coef, __m128i cshift) {
  const __m256i one = _mm256_set1_epi64x(1);
  const __m256i m = _mm256_cvtepu8_epi64(_mm_cvtsi32_si128(static_cast<int>(m_all)));
  const __m256i off = _mm256_cvtepu8_epi64(_mm_cvtsi32_si128(static_cast<int>(off_all)));
  const __m256i sig = _mm256_cvtepi8_epi64(
      _mm_cvtsi32_si128(static_cast<int>(SPREAD[rho] * 0xFFu)));
  const __m256i t = _mm256_cvtepu8_epi64(_mm_cvtsi32_si128(static_cast<int>(SPREAD[e1])));
  const __m256i window = _mm256_set1_epi64x(static_cast<long long>(bits));
  const __m256i mask = _mm256_sub_epi64(_mm256_sllv_epi64(one, m), one);
  const __m256i r = _mm256_and_si256(_mm256_srlv_epi64(window, off), mask);
  // v with its implied top bit (0 for an insignificant sample: its e_1 bit
  // is clear in every table entry); the low 32 bits of each lane count.
  const __m256i v = _mm256_or_si256(r, _mm256_sllv_epi64(t, m));
  __m256i mag = _mm256_add_epi64(_mm256_or_si256(v, one), _mm256_set1_epi64x(2));
  mag = _mm256_sll_epi64(mag, pm1);
  mag = _mm256_and_si256(mag, _mm256_set1_epi64x(0x7FFFFFFF));
  __m256i word;
  if (!coef) {
    word = _mm256_and_si256(_mm256_or_si256(mag, _mm256_slli_epi64(r, 31)), sig);
  } else {
    // Low 32 bits of each lane: (m ^ neg) - neg, neg = -(sign bit).
    const __m256i m = _mm256_srl_epi64(mag, cshift);
    const __m256i neg = _mm256_sub_epi64(_mm256_setzero_si256(), _mm256_and_si256(r, one));
    word = _mm256_and_si256(_mm256_sub_epi64(_mm256_xor_si256(m, neg), neg), sig);
  }
  // word in the low half of each lane, v in the high half (v < 2^32).
  return _mm256_blend_epi32(word, _mm256_slli_epi64(v, 32), 0xAA);
}

// 57 or more bits of the unstuffed stream from bit position pos (see
// unstuff_magsgn: past `cap` every bit is 1).
inline std::uint64_t window(const std::uint8_t* bits, std::size_t cap, std::size_t pos) {
  std::uint64_t w;
  std::memcpy(&w, bits + std::min(pos >> 3, cap), 8);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w >> (pos & 7u);
}

template <class Out>
Result<void> cleanup_magsgn_avx2(const std::uint8_t* seg, std::size_t length,
                                 const std::uint16_t* qe, const std::uint8_t* qu,
                                 std::uint32_t* line, Out* out, std::size_t width,
                                 std::size_t height, std::size_t stride,
                                 std::uint32_t missing_msbs, std::uint8_t* sig,
                                 std::size_t sstride, std::uint8_t* bitbuf, unsigned coef) {
  const std::size_t nqx = (width + 1) / 2;
  const std::size_t nqy = (height + 1) / 2;
  const __m128i pm1 = _mm_cvtsi32_si128(static_cast<int>(29u - missing_msbs));  // p - 1
  const bool as_coef = coef != 0;
  const __m128i cshift = _mm_cvtsi32_si128(static_cast<int>(as_coef ? coef - 1 : 0));
  const unsigned u_max = missing_msbs + 2u;
  // The stream without its stuffed bits: a window is then one load at the
  // bit position, and the position is all that carries from quad to quad.
  const std::size_t cap = unstuff_magsgn(seg, length, bitbuf);
  std::size_t pos = 0;
  // Two lines (the quad row above, this one) of the values v of each quad's
  // bottom samples, two per quad, with one zero quad on either side.
  std::uint32_t* above = line;
  std::uint32_t* cur = line + 2 * (nqx + 2);
  std::fill_n(line, 4 * (nqx + 2), 0u);

  // Decodes quad qx of the row (er, ur) (see quad_vector), or reports a U_q
  // beyond the bound.
  auto quad = [&](const std::uint16_t* er, const std::uint8_t* ur, std::size_t qx,
                  __m256i& q) -> bool {
    const unsigned e = er[qx];
    const unsigned rho = (e >> 4) & 0xFu;
    if (rho == 0) {
      // An empty quad reads no bit; its U_q is 1 (no U-VLC offset).
      q = _mm256_setzero_si256();
      return true;
    }
    // kappa = 1 for fewer than two significant samples, else
    // floor(log2(L | 2)) with L the OR of v over the four bottom samples
    // above in columns 2 qx - 1 .. 2 qx + 2.
    const std::uint32_t* const a = above + 2 * qx;  // quad qx - 1
    const std::uint32_t L = a[1] | a[2] | a[3] | a[4];
    const unsigned lg = static_cast<unsigned>(31 - std::countl_zero(L | 2u));
    const unsigned multi = 0u - static_cast<unsigned>((rho & (rho - 1u)) != 0);
    const unsigned u_q = 1u + ((lg - 1u) & multi) + ur[qx];
    if (u_q > u_max) [[unlikely]]
      return false;
    const unsigned ek = e >> 12;
    const unsigned e1 = (e >> 8) & 0xFu;
    // Byte n: m_n = U_q - e_k(n) bits for a significant sample, else 0.
    const std::uint32_t m_all = (u_q * 0x01010101u - SPREAD[ek]) & (SPREAD[rho] * 0xFFu);
    const std::uint32_t sums = m_all * 0x01010101u;  // byte n: m_0 + .. + m_n
    const unsigned total = sums >> 24;
    if (total <= 56) [[likely]] {
      q = quad_vector(window(bitbuf, cap, pos), m_all, sums << 8, rho, e1, pm1, as_coef, cshift);
      pos += total;
      return true;
    }
    // More bits than one window holds: one sample at a time.
    q = _mm256_setzero_si256();
    for (unsigned n = 0; n < 4; ++n) {
      const std::uint32_t mn = (m_all >> (8 * n)) & 0xFFu;
      q = _mm256_or_si256(q, quad_vector(window(bitbuf, cap, pos), mn << (8 * n), 0,
                                         rho & (1u << n), e1 & (1u << n), pm1, as_coef,
                                         cshift));
      pos += mn;
    }
    return true;
  };

  for (std::size_t r = 0; r < nqy; ++r) {
    const std::uint16_t* const er = qe + r * nqx;
    const std::uint8_t* const ur = qu + r * nqx;
    const bool has_bottom = 2 * r + 1 < height;
    Out* const o0 = out + 2 * r * stride;
    Out* const o1 = o0 + stride;  // only touched when has_bottom
    // Full quads (both columns, both rows inside) first.
    const std::size_t nfull = has_bottom ? width / 2 : 0;
    for (std::size_t qx = 0; qx < nfull; ++qx) {
      __m256i q;
      if (!quad(er, ur, qx, q)) [[unlikely]]
        return std::unexpected(malformed(0, std::string("U_q exceeds the magnitude bound")));
      // Lanes as 32-bit elements: lo = w0 v0 w1 v1, hi = w2 v2 w3 v3.
      const __m128i lo = _mm256_castsi256_si128(q);
      const __m128i hi = _mm256_extracti128_si256(q, 1);
      const __m128i row0 = _mm_unpacklo_epi32(lo, hi);  // w0 w2 v0 v2
      const __m128i row1 = _mm_unpackhi_epi32(lo, hi);  // w1 w3 v1 v3
      if constexpr (sizeof(Out) == 4) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o0 + 2 * qx), row0);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o1 + 2 * qx), row1);
      } else {  // int16 lanes: w0 w2 v0 v2 w1 w3 v1 v3 (the w fit, the v are not stored)
        const __m128i both = _mm_packs_epi32(row0, row1);
        const int top = _mm_cvtsi128_si32(both), bottom = _mm_extract_epi32(both, 2);
        std::memcpy(o0 + 2 * qx, &top, 4);
        std::memcpy(o1 + 2 * qx, &bottom, 4);
      }
      _mm_storeh_pd(reinterpret_cast<double*>(cur + 2 * (qx + 1)), _mm_castsi128_pd(row1));
    }
    // Then the quads that stick out: samples outside the code-block are
    // decoded but never written.
    for (std::size_t qx = nfull; qx < nqx; ++qx) {
      __m256i q;
      if (!quad(er, ur, qx, q))
        return std::unexpected(malformed(0, std::string("U_q exceeds the magnitude bound")));
      const __m128i lo = _mm256_castsi256_si128(q);
      const __m128i hi = _mm256_extracti128_si256(q, 1);
      const __m128i row1 = _mm_unpackhi_epi32(lo, hi);  // w1 w3 v1 v3
      _mm_storeh_pd(reinterpret_cast<double*>(cur + 2 * (qx + 1)), _mm_castsi128_pd(row1));
      alignas(16) std::uint32_t wd[4];  // w0 w1 w2 w3
      _mm_store_si128(reinterpret_cast<__m128i*>(wd),
                      _mm_unpacklo_epi64(_mm_shuffle_epi32(lo, _MM_SHUFFLE(3, 1, 2, 0)),
                                         _mm_shuffle_epi32(hi, _MM_SHUFFLE(3, 1, 2, 0))));
      const std::size_t x = 2 * qx;
      o0[x] = static_cast<Out>(wd[0]);
      if (has_bottom) o1[x] = static_cast<Out>(wd[1]);
      if (x + 1 < width) {
        o0[x + 1] = static_cast<Out>(wd[2]);
        if (has_bottom) o1[x + 1] = static_cast<Out>(wd[3]);
      }
    }
    std::swap(above, cur);
  }
  if (sig) cleanup_significance(qe, width, height, sig, sstride);
  return ok();
}

std::size_t unstuff_avx2(const std::uint8_t* src, std::size_t size, std::uint8_t* dst) {
  return unstuff_magsgn(src, size, dst);
}

constexpr BlockKernels kAvx2{cleanup_magsgn_avx2<std::uint32_t>, cleanup_magsgn_avx2<std::int16_t>,
                             unstuff_avx2, UNSTUFF_PAD};

}  // namespace

}  // namespace varnel::htj2k::detail

namespace varnel::htj2k {
const BlockKernels& block_avx2_kernels() { return detail::kAvx2; }
}  // namespace varnel::htj2k

#else  // a compiler without AVX2: the portable family stands in

namespace varnel::htj2k {
const BlockKernels& block_avx2_kernels() { return block_portable_kernels(); }
}  // namespace varnel::htj2k

#endif
