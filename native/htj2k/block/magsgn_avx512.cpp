// The block decoder's AVX-512 family: the MagSgn step of the HT cleanup pass
// (T.814 clause 7.3.8) and its unstuffing with AVX-512 (F, BW, VL, CD and
// VBMI). This file alone is compiled for the avx512 family (core/cpu.hpp);
// its table is handed out only by block_kernels_for (decode.cpp), on a CPU
// that runs that family.
//
// Four quads (16 samples) of a quad row go at once, one sample per 32-bit
// lane: kappa from the row above, U_q, the bit counts m_n and their prefix
// sums are lane arithmetic; each sample's bits are then fetched by a byte
// permute of a 64-byte slice of the unstuffed stream and a per-lane shift.
// The reader position alone carries from one group to the next, so groups
// overlap. Quads that stick out of the code-block, and groups holding a U_q
// beyond the bound, take a scalar path that decodes quad by quad (and stops
// at the bad quad, as the other kernels do).
#include "htj2k/block/kernels.hpp"
#include "htj2k/block/magsgn.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VL__) && \
    defined(__AVX512CD__) && defined(__AVX512VBMI__)
#define VARNEL_MAGSGN_AVX512 1
// GCC 12's AVX-512 intrinsics start from a self-initialised "undefined"
// vector, which -Wmaybe-uninitialized reports (GCC bug 105593).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#endif

#include "htj2k/block/readers.hpp"

#if defined(VARNEL_MAGSGN_AVX512)
namespace varnel::htj2k::detail {
namespace {

// A 64-byte slice of the unstuffed stream may start at any byte up to the
// padding: bitbuf holds this much past the segment length.
constexpr std::size_t MAGSGN_AVX512_PAD = 80;

// Groups of four quads in a row of a code-block at most 1024 samples wide.
constexpr std::size_t kMaxGroups = 1024 / 8;

// 57 or more bits of the unstuffed stream from bit position pos (past `cap`
// every bit is 1).
inline std::uint64_t window(const std::uint8_t* bits, std::size_t cap, std::size_t pos) {
  std::uint64_t w;
  std::memcpy(&w, bits + std::min(pos >> 3, cap), 8);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w >> (pos & 7u);
}

// One quad, sample by sample: words (coefficients with coef, kernels.hpp)
// to w, values v (2 mu - 2 + s with the
// sign s in bit 0, 0 when insignificant) to v. a: the line above from the
// quad to the left. False when U_q exceeds u_max (nothing read then).
bool quad_scalar(unsigned e, unsigned u_off, const std::uint32_t* a, unsigned u_max,
                 unsigned pm1, unsigned coef, const std::uint8_t* bits, std::size_t cap,
                 std::size_t& pos, std::uint32_t w[4], std::uint32_t v[4]) {
  const unsigned rho = (e >> 4) & 0xFu;
  const std::uint32_t L = a[1] | a[2] | a[3] | a[4];
  const unsigned lg = static_cast<unsigned>(31 - std::countl_zero(L | 2u));
  const unsigned u_q = ((rho & (rho - 1u)) ? lg : 1u) + u_off;
  if (rho != 0 && u_q > u_max) return false;
  for (unsigned n = 0; n < 4; ++n) {
    w[n] = v[n] = 0;
    if (((rho >> n) & 1u) == 0) continue;
    const unsigned m = u_q - ((e >> (12 + n)) & 1u);
    const std::uint64_t mask = (std::uint64_t{1} << m) - 1u;
    const auto r = static_cast<std::uint32_t>(window(bits, cap, pos) & mask);
    pos += m;
    const auto vv = static_cast<std::uint32_t>(r | (std::uint64_t{(e >> (8 + n)) & 1u} << m));
    v[n] = vv;
    const std::uint32_t mag = (((vv | 1u) + 2u) << pm1) & 0x7FFFFFFFu;
    if (coef == 0) {
      w[n] = (r << 31) | mag;
    } else {
      const std::uint32_t m = mag >> (coef - 1), neg = 0u - (r & 1u);
      w[n] = (m ^ neg) - neg;
    }
  }
  return true;
}

// unstuff_magsgn (readers.hpp) 64 bytes at a step: the bytes up to the
// first 0xFF of a step (that one included) carry 8 bits each and leave as
// one 512-bit shift of the pending bits; a byte after 0xFF takes the
// byte-at-a-time path. Same output, same return value.
std::size_t unstuff_magsgn_avx512(const std::uint8_t* src, std::size_t size, std::uint8_t* dst) {
  std::uint8_t* d = dst;
  std::uint64_t acc = 0;  // pending bits, fewer than 8 between steps
  unsigned nb = 0;
  bool last_ff = false;
  std::size_t i = 0;
  const __m512i ff = _mm512_set1_epi8(static_cast<char>(0xFF));
  while (i < size) {
    if (size - i >= 64 && !last_ff) {
      const __m512i w = _mm512_loadu_si512(src + i);
      const std::uint64_t m = _mm512_cmpeq_epi8_mask(w, ff);
      const unsigned f = m ? static_cast<unsigned>(std::countr_zero(m)) : 64u;
      const unsigned j = std::min(f + 1, 64u);
      // 64-bit lane k of the output: lane k of w shifted up by nb, below it
      // the top nb bits of lane k - 1 (of the pending bits for lane 0).
      const __m512i carry_in =
          _mm512_set1_epi64(static_cast<long long>(nb ? acc << (64 - nb) : 0));
      const __m512i prev = _mm512_alignr_epi64(w, carry_in, 7);
      const __m512i out = _mm512_or_si512(_mm512_sllv_epi64(w, _mm512_set1_epi64(nb)),
                                          _mm512_srlv_epi64(prev, _mm512_set1_epi64(64 - nb)));
      _mm512_storeu_si512(d, out);
      d += j;
      i += j;
      acc = nb ? src[i - 1] >> (8 - nb) : 0;
      last_ff = f < 64;
      continue;
    }
    const std::uint8_t b = src[i++];
    const unsigned n = last_ff ? 7u : 8u;
    acc |= std::uint64_t{static_cast<std::uint8_t>(b & (0xFFu >> (8 - n)))} << nb;
    nb += n;
    last_ff = b == 0xFF;
    if (nb >= 8) {
      *d++ = static_cast<std::uint8_t>(acc);
      acc >>= 8;
      nb -= 8;
    }
  }
  if (nb > 0) *d++ = static_cast<std::uint8_t>(acc | (0xFFu << nb));
  std::memset(d, 0xFF, UNSTUFF_PAD);
  return static_cast<std::size_t>(d - dst);
}

template <class Out>
Result<void> cleanup_magsgn_avx512(const std::uint8_t* seg, std::size_t length,
                                   const std::uint16_t* qe, const std::uint8_t* qu,
                                   std::uint32_t* line, Out* out, std::size_t width,
                                   std::size_t height, std::size_t stride,
                                   std::uint32_t missing_msbs, std::uint8_t* sig,
                                   std::size_t sstride, std::uint8_t* bitbuf, unsigned coef) {
  const std::size_t nqx = (width + 1) / 2;
  const std::size_t nqy = (height + 1) / 2;
  const unsigned pm1 = 29u - missing_msbs;  // p - 1
  const unsigned u_max = missing_msbs + 2u;
  const std::size_t cap = unstuff_magsgn_avx512(seg, length, bitbuf);
  // A 64-byte slice from any position up to cap reads 1 bits only past it.
  std::memset(bitbuf + cap + UNSTUFF_PAD, 0xFF, MAGSGN_AVX512_PAD - UNSTUFF_PAD);
  std::size_t pos = 0;
  std::uint32_t* above = line;
  std::uint32_t* cur = line + 2 * (nqx + 2);
  std::fill_n(line, 4 * (nqx + 2), 0u);

  const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m512i one = _mm512_set1_epi32(1);
  const __m512i n_of_lane = _mm512_and_si512(lane, _mm512_set1_epi32(3));
  const __m512i quad_of_lane = _mm512_srli_epi32(lane, 2);
  // Lane 4j + n: the line word of column 2j + 1 (see L below), bit n of
  // rho, e_1 and e_k.
  const __m512i l_index = _mm512_add_epi32(_mm512_slli_epi32(quad_of_lane, 1), one);
  const __m512i rho_bit = _mm512_sllv_epi32(_mm512_set1_epi32(1 << 4), n_of_lane);
  const __m512i e1_bit = _mm512_sllv_epi32(_mm512_set1_epi32(1 << 8), n_of_lane);
  const __m512i ek_bit = _mm512_sllv_epi32(_mm512_set1_epi32(1 << 12), n_of_lane);
  // Top samples (n = 0, 2) to the low half, bottom samples to the high one.
  const __m512i rows = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
  // In each 64-bit lane: its low byte to all eight bytes, then + 0..7.
  const __m512i bcast = _mm512_set_epi64(0x0808080808080808ll, 0x0000000000000000ll,
                                         0x0808080808080808ll, 0x0000000000000000ll,
                                         0x0808080808080808ll, 0x0000000000000000ll,
                                         0x0808080808080808ll, 0x0000000000000000ll);
  const __m512i ramp = _mm512_set1_epi64(0x0706050403020100ll);
  // The same for 32-bit lanes.
  const __m512i bcast32 = _mm512_set4_epi32(0x0C0C0C0C, 0x08080808, 0x04040404, 0);
  const __m512i ramp32 = _mm512_set1_epi32(0x03020100);
  // Whether a group's samples fit one 64-byte slice (see below); the upper
  // half's offsets count from its own start otherwise.
  const bool one_window = u_max <= 24;
  const __m512i umax = _mm512_set1_epi32(static_cast<int>(u_max));
  const __m128i pm1v = _mm_cvtsi32_si128(static_cast<int>(pm1));
  const __m512i mag_mask = _mm512_set1_epi32(0x7FFFFFFF);
  const __m512i two = _mm512_set1_epi32(2);
  const __m512i zero = _mm512_setzero_si512();
  const __m128i cshift = _mm_cvtsi32_si128(static_cast<int>(coef ? coef - 1 : 0));

  // The bits of eight samples (64-bit lanes) at bit offsets rel (< 256)
  // from byte `base` of the stream, narrowed to 32 bits.
  auto fetch = [&](std::size_t base, __m256i rel) -> __m256i {
    const __m512i data = _mm512_loadu_si512(bitbuf + std::min(base, cap));
    const __m512i r64 = _mm512_cvtepu32_epi64(rel);
    const __m512i idx =
        _mm512_add_epi8(_mm512_shuffle_epi8(_mm512_srli_epi64(r64, 3), bcast), ramp);
    const __m512i x = _mm512_srlv_epi64(_mm512_permutexvar_epi8(idx, data),
                                        _mm512_and_si512(r64, _mm512_set1_epi64(7)));
    return _mm512_cvtepi64_epi32(x);
  };

  // Per group of a row, from the first loop to the second: the bit counts m,
  // the offsets of the samples from the start of the group (of their half,
  // when the halves are fetched apart), the significance and e_1 masks, and
  // the bits of the lower half and of the whole group.
  alignas(64) std::uint32_t g_m[kMaxGroups * 16];
  alignas(64) std::uint32_t g_off[kMaxGroups * 16];
  std::uint16_t g_sig[kMaxGroups];
  std::uint16_t g_e1[kMaxGroups];
  std::uint16_t g_half[kMaxGroups];
  std::uint16_t g_total[kMaxGroups];

  for (std::size_t r = 0; r < nqy; ++r) {
    const std::uint16_t* const er = qe + r * nqx;
    const std::uint8_t* const ur = qu + r * nqx;
    const bool has_bottom = 2 * r + 1 < height;
    Out* const o0 = out + 2 * r * stride;
    Out* const o1 = o0 + stride;  // only touched when has_bottom
    // Groups of four quads that lie wholly inside the code-block. First
    // everything that does not depend on the reader position.
    std::size_t ngroup = has_bottom ? (width / 2) / 4 : 0;
    for (std::size_t g = 0; g < ngroup; ++g) {
      const std::size_t qx = 4 * g;
      // Entry and u offset of quad j in lanes 4j .. 4j + 3.
      std::uint64_t e4;
      std::uint32_t u4;
      std::memcpy(&e4, er + qx, 8);
      std::memcpy(&u4, ur + qx, 4);
      const __m128i eu = _mm_or_si128(
          _mm_cvtepu16_epi32(_mm_cvtsi64_si128(static_cast<long long>(e4))),
          _mm_slli_epi32(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(static_cast<int>(u4))), 16));
      const __m512i q = _mm512_permutexvar_epi32(quad_of_lane, _mm512_castsi128_si512(eu));
      // kappa: floor(log2(L | 2)) with L the OR of the line words of
      // columns 2j + 1 .. 2j + 4 (quad j - 1 .. j + 1), 1 for fewer than two
      // significant samples.
      const __m512i a = _mm512_maskz_loadu_epi32(0x07FE, above + 2 * qx);
      const __m512i y = _mm512_or_si512(a, _mm512_alignr_epi32(zero, a, 1));
      const __m512i z = _mm512_or_si512(y, _mm512_alignr_epi32(zero, y, 2));
      const __m512i L = _mm512_or_si512(_mm512_permutexvar_epi32(l_index, z), two);
      const __m512i lg = _mm512_sub_epi32(_mm512_set1_epi32(31), _mm512_lzcnt_epi32(L));
      const __m512i rho = _mm512_and_si512(_mm512_srli_epi32(q, 4), _mm512_set1_epi32(0xF));
      const __mmask16 multi = _mm512_test_epi32_mask(rho, _mm512_sub_epi32(rho, one));
      const __m512i u_q = _mm512_add_epi32(_mm512_mask_blend_epi32(multi, one, lg),
                                           _mm512_srli_epi32(q, 16));
      const __mmask16 sigm = _mm512_test_epi32_mask(q, rho_bit);
      if (_mm512_mask_cmpgt_epu32_mask(sigm, u_q, umax) != 0) [[unlikely]] {
        ngroup = g;  // the scalar path below reports it at the right quad
        break;
      }
      // m = U_q - e_k for a significant sample, else 0.
      const __mmask16 ekm = _mm512_test_epi32_mask(q, ek_bit);
      const __m512i m = _mm512_maskz_mov_epi32(sigm, _mm512_mask_sub_epi32(u_q, ekm, u_q, one));
      // Inclusive prefix sums of m over the lanes.
      __m512i s = _mm512_add_epi32(m, _mm512_alignr_epi32(m, zero, 15));
      s = _mm512_add_epi32(s, _mm512_alignr_epi32(s, zero, 14));
      s = _mm512_add_epi32(s, _mm512_alignr_epi32(s, zero, 12));
      s = _mm512_add_epi32(s, _mm512_alignr_epi32(s, zero, 8));
      const __m128i s_hi = _mm512_extracti32x4_epi32(s, 3);
      g_total[g] = static_cast<std::uint16_t>(_mm_extract_epi32(s_hi, 3));
      g_sig[g] = sigm;
      g_e1[g] = _mm512_test_epi32_mask(q, e1_bit);
      __m512i excl = _mm512_sub_epi32(s, m);
      if (!one_window) {
        const __m128i s_mid = _mm512_extracti32x4_epi32(s, 1);
        const auto half = static_cast<unsigned>(_mm_extract_epi32(s_mid, 3));
        g_half[g] = static_cast<std::uint16_t>(half);
        excl = _mm512_mask_sub_epi32(excl, 0xFF00, excl,
                                     _mm512_set1_epi32(static_cast<int>(half)));
      }
      _mm512_store_si512(g_off + 16 * g, excl);
      _mm512_store_si512(g_m + 16 * g, m);
    }
    // Then the bits. With m_n <= 24 the 16 samples span at most
    // 7 + 15 * 24 + 24 bits: one 64-byte slice from byte pos / 8 holds them,
    // 32 bits per sample. Otherwise samples 0..7 come from byte pos / 8 and
    // samples 8..15 from byte (pos + half) / 8, 64 bits per sample (each half
    // spans at most 7 + 8 * 31 bits).
    std::size_t qx = 0;
    for (std::size_t g = 0; g < ngroup; ++g, qx += 4) {
      __m512i x;
      if (one_window) {
        const __m512i rel = _mm512_add_epi32(_mm512_load_si512(g_off + 16 * g),
                                             _mm512_set1_epi32(static_cast<int>(pos & 7u)));
        const __m512i data = _mm512_loadu_si512(bitbuf + std::min(pos >> 3, cap));
        const __m512i idx =
            _mm512_add_epi8(_mm512_shuffle_epi8(_mm512_srli_epi32(rel, 3), bcast32), ramp32);
        x = _mm512_srlv_epi32(_mm512_permutexvar_epi8(idx, data),
                              _mm512_and_si512(rel, _mm512_set1_epi32(7)));
      } else {
        const std::size_t pos1 = pos + g_half[g];
        const __m512i adj = _mm512_mask_blend_epi32(
            0xFF00, _mm512_set1_epi32(static_cast<int>(pos & 7u)),
            _mm512_set1_epi32(static_cast<int>(pos1 & 7u)));
        const __m512i rel = _mm512_add_epi32(_mm512_load_si512(g_off + 16 * g), adj);
        const __m256i x0 = fetch(pos >> 3, _mm512_castsi512_si256(rel));
        const __m256i x1 = fetch(pos1 >> 3, _mm512_extracti64x4_epi64(rel, 1));
        x = _mm512_inserti64x4(_mm512_castsi256_si512(x0), x1, 1);
      }
      pos += g_total[g];
      const __m512i m = _mm512_load_si512(g_m + 16 * g);
      const __m512i top = _mm512_sllv_epi32(one, m);
      const __m512i rv = _mm512_and_si512(x, _mm512_sub_epi32(top, one));
      const __m512i v = _mm512_mask_or_epi32(rv, g_e1[g], rv, top);
      __m512i mag = _mm512_add_epi32(_mm512_or_si512(v, one), two);
      mag = _mm512_and_si512(_mm512_sll_epi32(mag, pm1v), mag_mask);
      __m512i word;
      if (coef == 0) {
        word = _mm512_maskz_or_epi32(g_sig[g], mag, _mm512_slli_epi32(rv, 31));
      } else {
        // magnitude >> (coef - 1), negated where the sign bit (bit 0 of rv)
        // is set.
        const __m512i m = _mm512_srl_epi32(mag, cshift);
        word = _mm512_maskz_mov_epi32(
            g_sig[g], _mm512_mask_sub_epi32(m, _mm512_test_epi32_mask(rv, one), zero, m));
      }
      const __m512i wr = _mm512_permutexvar_epi32(rows, word);
      const __m512i vr = _mm512_permutexvar_epi32(rows, v);
      if constexpr (sizeof(Out) == 4) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o0 + 2 * qx), _mm512_castsi512_si256(wr));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o1 + 2 * qx),
                            _mm512_extracti64x4_epi64(wr, 1));
      } else {  // the low 16 bits of each coefficient, top row then bottom row
        const __m256i w16 = _mm512_cvtepi32_epi16(wr);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o0 + 2 * qx), _mm256_castsi256_si128(w16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o1 + 2 * qx), _mm256_extracti128_si256(w16, 1));
      }
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(cur + 2 * (qx + 1)),
                          _mm512_extracti64x4_epi64(vr, 1));
    }
    // The rest of the row quad by quad: samples outside the code-block are
    // decoded but never written.
    for (; qx < nqx; ++qx) {
      std::uint32_t w[4], v[4];
      if (!quad_scalar(er[qx], ur[qx], above + 2 * qx, u_max, pm1, coef, bitbuf, cap, pos, w,
                       v))
        return std::unexpected(malformed(0, std::string("U_q exceeds the magnitude bound")));
      cur[2 * (qx + 1)] = v[1];
      cur[2 * (qx + 1) + 1] = v[3];
      const std::size_t x = 2 * qx;
      o0[x] = static_cast<Out>(w[0]);
      if (has_bottom) o1[x] = static_cast<Out>(w[1]);
      if (x + 1 < width) {
        o0[x + 1] = static_cast<Out>(w[2]);
        if (has_bottom) o1[x + 1] = static_cast<Out>(w[3]);
      }
    }
    std::swap(above, cur);
  }
  if (sig) cleanup_significance(qe, width, height, sig, sstride);
  return ok();
}

constexpr BlockKernels kAvx512{cleanup_magsgn_avx512<std::uint32_t>,
                               cleanup_magsgn_avx512<std::int16_t>, unstuff_magsgn_avx512,
                               MAGSGN_AVX512_PAD};

}  // namespace
}  // namespace varnel::htj2k::detail

namespace varnel::htj2k {
const BlockKernels& block_avx512_kernels() { return detail::kAvx512; }
}  // namespace varnel::htj2k

#else  // a compiler without these extensions: the AVX2 family stands in

namespace varnel::htj2k {
const BlockKernels& block_avx512_kernels() { return block_avx2_kernels(); }
}  // namespace varnel::htj2k

#endif
