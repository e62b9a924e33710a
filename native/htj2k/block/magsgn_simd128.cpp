// The block decoder's SIMD128 family: the MagSgn step of the HT cleanup pass
// (T.814 clause 7.3.8) for WebAssembly, whose baseline it is (scripts/wasm.sh
// builds with -msimd128; decode.cpp lists this table as the portable family
// there). Elsewhere this file compiles to nothing.
//
// A quad row goes in two passes. The first takes four quads per vector:
// kappa from the row above (floor(log2) from a float exponent), U_q, its
// bound, the bit counts m_n and their running sums, for the whole row. The
// second reads the bits: the stream is unstuffed first (as unstuff_magsgn
// does, sixteen bytes a step), so a quad's bit window is one load at the
// reader position and the position is all that carries from quad to quad;
// the four samples take their bits with four independent scalar shifts of
// that window (SIMD128 has no per-lane shift counts), and the rest is lane
// arithmetic on one vector: 2^m_n from a byte lookup gives both the bit mask
// and the implied top bit, then the words (or the coefficients) as the
// portable step forms them. (Unsigned float conversions are avoided: SIMD128
// has them, x86 does not, and engines expand them to a dozen instructions.)
#if defined(__wasm_simd128__)

#include <wasm_simd128.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "htj2k/block/kernels.hpp"
#include "htj2k/block/magsgn.hpp"
#include "htj2k/block/readers.hpp"

namespace varnel::htj2k::detail {
namespace {

// Lane n all ones when bit n of the index is set: the significance of rho,
// the implied bits of e_1.
constexpr std::array<std::array<std::uint32_t, 4>, 16> make_lane_masks() {
  std::array<std::array<std::uint32_t, 4>, 16> t{};
  for (unsigned x = 0; x < 16; ++x)
    for (unsigned n = 0; n < 4; ++n) t[x][n] = ((x >> n) & 1u) ? 0xFFFFFFFFu : 0u;
  return t;
}
alignas(16) constexpr std::array<std::array<std::uint32_t, 4>, 16> kLaneMasks = make_lane_masks();

inline v128_t lane_mask(unsigned x) { return wasm_v128_load(kLaneMasks[x].data()); }

// 57 or more bits of the unstuffed stream from bit position pos (past `cap`
// every bit is 1).
inline std::uint64_t window(const std::uint8_t* bits, std::size_t cap, std::size_t pos) {
  std::uint64_t w;
  std::memcpy(&w, bits + std::min(pos >> 3, cap), 8);
  return w >> (pos & 7u);  // WebAssembly is little-endian
}

// 2^m_n in lane n, m_n <= 31 the bytes of m_all: byte j of lane n is
// 1 << (m_n - 8 j) where that lies in 0..7, else 0 (a byte lookup, which
// gives 0 for an index of 16 or more, and so for the negative ones).
inline v128_t pow2_lanes(std::uint32_t m_all) {
  const v128_t m = wasm_i32x4_splat(static_cast<int>(m_all));
  const v128_t idx = wasm_i8x16_sub(
      wasm_i8x16_shuffle(m, m, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3),
      wasm_i8x16_const(0, 8, 16, 24, 0, 8, 16, 24, 0, 8, 16, 24, 0, 8, 16, 24));
  const v128_t bits = wasm_i8x16_const(1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0);
  return wasm_i8x16_swizzle(bits, idx);
}

// SPREAD[x] (magsgn.hpp) of each lane's low 4 bits: bit n moves to bit 8 n.
inline v128_t spread_lanes(v128_t x) {
  return wasm_v128_and(wasm_i32x4_mul(x, wasm_i32x4_splat(0x00204081)),
                       wasm_i32x4_splat(0x01010101));
}

// The first pass over four quads of a row: e4, u4 their table entries and
// u values, a the line above from their first quad (five words), m and sums
// receive m_all (byte n: m_n) and its running sums. Returns the lanes whose
// U_q exceeds u_max.
inline v128_t quad_counts(const std::uint16_t* e4, const std::uint8_t* u4,
                          const std::uint32_t* a, v128_t u_max, std::uint32_t* m,
                          std::uint32_t* sums) {
  const v128_t one = wasm_i32x4_splat(1);
  // floor(log2(L | 2)) of L, the OR of the two words above: y keeps the top
  // bit of L | 2 and no two adjacent bits, so its conversion to float never
  // rounds into the next exponent (converted halved: the signed conversion
  // is the one with an instruction of its own).
  v128_t y = wasm_v128_or(wasm_v128_or(wasm_v128_load(a), wasm_v128_load(a + 1)),
                          wasm_i32x4_splat(2));
  y = wasm_u32x4_shr(wasm_v128_andnot(y, wasm_u32x4_shr(y, 1)), 1);
  const v128_t lg = wasm_i32x4_sub(wasm_u32x4_shr(wasm_f32x4_convert_i32x4(y), 23),
                                   wasm_i32x4_splat(126));
  const v128_t e = wasm_u32x4_load16x4(e4);
  std::uint32_t ub;
  std::memcpy(&ub, u4, 4);
  const v128_t u = wasm_u32x4_extend_low_u16x8(
      wasm_u16x8_extend_low_u8x16(wasm_i32x4_splat(static_cast<int>(ub))));
  const v128_t rho = wasm_v128_and(wasm_u32x4_shr(e, 4), wasm_i32x4_splat(15));
  // kappa = 1 for fewer than two significant samples, else floor(log2(L | 2)).
  const v128_t multi =
      wasm_i32x4_ne(wasm_v128_and(rho, wasm_i32x4_sub(rho, one)), wasm_i32x4_splat(0));
  const v128_t u_q =
      wasm_i32x4_add(wasm_i32x4_add(one, wasm_v128_and(wasm_i32x4_sub(lg, one), multi)), u);
  const v128_t ek = spread_lanes(wasm_u32x4_shr(e, 12));
  const v128_t sig = wasm_i32x4_mul(spread_lanes(rho), wasm_i32x4_splat(0xFF));
  const v128_t m_all =
      wasm_v128_and(wasm_i32x4_sub(wasm_i32x4_mul(u_q, wasm_i32x4_splat(0x01010101)), ek), sig);
  wasm_v128_store(m, m_all);
  wasm_v128_store(sums, wasm_i32x4_mul(m_all, wasm_i32x4_splat(0x01010101)));
  return wasm_u32x4_gt(u_q, u_max);
}

// The x_n of a quad whose bits one window does not hold: a window per
// sample, the position moved past them.
inline v128_t samples_apart(const std::uint8_t* bits, std::size_t cap, std::size_t& pos,
                            std::uint32_t m_all) {
  alignas(16) std::uint32_t xs[4];
  for (unsigned n = 0; n < 4; ++n) {
    xs[n] = static_cast<std::uint32_t>(window(bits, cap, pos));
    pos += (m_all >> (8 * n)) & 0xFFu;
  }
  return wasm_v128_load(xs);
}

struct Quad {
  v128_t word;  // the output words (coefficients with coef), 0 when insignificant
  v128_t v;     // v = 2 mu - 2 + s with the sign s in bit 0, 0 when insignificant
};

// A quad from x_n (the window at sample n's first bit) and m_all (byte n:
// m_n), as the portable quad_bits and quad_words form it.
inline Quad quad_lanes(v128_t x, std::uint32_t m_all, unsigned rho, unsigned e1, unsigned pm1,
                       unsigned coef) {
  const v128_t p = pow2_lanes(m_all);
  const v128_t r = wasm_v128_and(x, wasm_i32x4_sub(p, wasm_i32x4_splat(1)));
  const v128_t v = wasm_v128_or(r, wasm_v128_and(p, lane_mask(e1)));
  v128_t mag = wasm_i32x4_add(wasm_v128_or(v, wasm_i32x4_splat(1)), wasm_i32x4_splat(2));
  mag = wasm_v128_and(wasm_i32x4_shl(mag, pm1), wasm_i32x4_splat(0x7FFFFFFF));
  const v128_t sign = wasm_i32x4_shl(r, 31);
  v128_t word;
  if (coef == 0) {
    word = wasm_v128_or(mag, sign);
  } else {
    // The coefficient: magnitude >> (coef - 1), negated for sign 1.
    const v128_t mm = wasm_u32x4_shr(mag, coef - 1);
    const v128_t neg = wasm_i32x4_shr(sign, 31);
    word = wasm_i32x4_sub(wasm_v128_xor(mm, neg), neg);
  }
  return {wasm_v128_and(word, lane_mask(rho)), v};
}

// unstuff_magsgn with sixteen bytes a step where none of them is 0xFF and
// the byte before them was not either: no bit is stuffed then, and the step
// is the bytes shifted up by the pending bit count nb (0..7) below them. The
// other bytes go one at a time as unstuff_magsgn takes them; the output is
// the same, bit for bit.
std::size_t unstuff_simd128(const std::uint8_t* src, std::size_t size, std::uint8_t* dst) {
  std::uint8_t* d = dst;
  std::uint32_t acc = 0;  // pending bits, fewer than 8 between steps
  unsigned nb = 0;
  bool last_ff = false;
  std::size_t i = 0;
  const v128_t ff = wasm_i8x16_splat(static_cast<std::int8_t>(0xFF));
  while (i < size) {
    if (size - i >= 16 && !last_ff) {
      const v128_t v = wasm_v128_load(src + i);
      if (!wasm_v128_any_true(wasm_i8x16_eq(v, ff))) [[likely]] {
        // Lane 0 takes the pending bits below it, lane 1 the top nb bits of
        // lane 0 ((u >> 1) >> (63 - nb) stays exact for nb = 0).
        const v128_t low = wasm_u64x2_make(std::uint64_t{acc} << ((64 - nb) & 63u), 0);
        const v128_t u = wasm_i64x2_shuffle(low, v, 0, 2);
        const v128_t below = wasm_u64x2_shr(wasm_u64x2_shr(u, 1), 63 - nb);
        wasm_v128_store(d, wasm_v128_or(wasm_i64x2_shl(v, nb), below));
        acc = static_cast<std::uint32_t>(src[i + 15]) >> (8 - nb);
        d += 16;
        i += 16;
        continue;
      }
    }
    const std::uint8_t b = src[i++];
    const unsigned n = last_ff ? 7u : 8u;
    acc |= static_cast<std::uint32_t>(b & (0xFFu >> (8 - n))) << nb;
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
Result<void> cleanup_magsgn_simd128(const std::uint8_t* seg, std::size_t length,
                                    const std::uint16_t* qe, const std::uint8_t* qu,
                                    std::uint32_t* line, Out* out, std::size_t width,
                                    std::size_t height, std::size_t stride,
                                    std::uint32_t missing_msbs, std::uint8_t* sig,
                                    std::size_t sstride, std::uint8_t* bitbuf, unsigned coef) {
  const std::size_t nqx = (width + 1) / 2;
  const std::size_t nqy = (height + 1) / 2;
  const unsigned pm1 = 29u - missing_msbs;  // p - 1
  const unsigned u_max = missing_msbs + 2u;
  const std::size_t cap = unstuff_simd128(seg, length, bitbuf);
  std::size_t pos = 0;
  // line[k]: the OR of v over columns 2k - 1 and 2k of the bottom row of the
  // quad row above; line[nqx + 1] stays 0.
  std::fill_n(line, nqx + 2, 0u);

  // The first pass's results for one row (nqx <= 512, plus a partial group).
  alignas(16) std::uint32_t row_m[512 + 4];
  alignas(16) std::uint32_t row_sums[512 + 4];
  const v128_t vu_max = wasm_i32x4_splat(static_cast<int>(u_max));

  for (std::size_t r = 0; r < nqy; ++r) {
    const std::uint16_t* const er = qe + r * nqx;
    const std::uint8_t* const ur = qu + r * nqx;
    const bool has_bottom = 2 * r + 1 < height;
    Out* const o0 = out + 2 * r * stride;
    Out* const o1 = o0 + stride;  // only touched when has_bottom

    // First pass. The last group reads the line up to word nqx + 3 (within
    // magsgn_line_words) and its entries from a padded copy; lanes past the
    // row do not count for the bound.
    v128_t bad = wasm_i32x4_splat(0);
    std::size_t qx = 0;
    for (; qx + 4 <= nqx; qx += 4)
      bad = wasm_v128_or(bad, quad_counts(er + qx, ur + qx, line + qx, vu_max, row_m + qx,
                                          row_sums + qx));
    if (qx < nqx) {
      std::uint16_t et[4] = {};
      std::uint8_t ut[4] = {};
      std::copy(er + qx, er + nqx, et);
      std::copy(ur + qx, ur + nqx, ut);
      const v128_t lanes = wasm_u32x4_lt(wasm_i32x4_make(0, 1, 2, 3),
                                         wasm_i32x4_splat(static_cast<int>(nqx - qx)));
      bad = wasm_v128_or(bad, wasm_v128_and(lanes, quad_counts(et, ut, line + qx, vu_max,
                                                               row_m + qx, row_sums + qx)));
    }

    // (The portable step stops at the quad beyond the bound with the same
    // error; what the window holds after a failure is unspecified.)
    if (wasm_v128_any_true(bad)) [[unlikely]]
      return std::unexpected(malformed(0, std::string("U_q exceeds the magnitude bound")));

    // Second pass. line[k] becomes the OR of v over columns 2 k - 1 and 2 k
    // of this row's bottom samples (carry: column 2 k - 1).
    std::uint32_t carry = 0;
    auto next = [&](std::size_t q) -> Quad {
      const unsigned e = er[q];
      const std::uint32_t m_all = row_m[q], sums = row_sums[q];
      const unsigned total = sums >> 24;
      v128_t x;
      if (total <= 56) [[likely]] {
        // Every sample's bits lie within one window; sample n starts at
        // byte n - 1 of sums (at most 56, so 6 bits of each count do).
        const std::uint64_t w = window(bitbuf, cap, pos);
        x = wasm_i32x4_make(static_cast<int>(w), static_cast<int>(w >> (sums & 63u)),
                            static_cast<int>(w >> ((sums >> 8) & 63u)),
                            static_cast<int>(w >> ((sums >> 16) & 63u)));
        pos += total;
      } else {
        x = samples_apart(bitbuf, cap, pos, m_all);
      }
      const Quad d = quad_lanes(x, m_all, (e >> 4) & 0xFu, (e >> 8) & 0xFu, pm1, coef);
      line[q] = carry | static_cast<std::uint32_t>(wasm_i32x4_extract_lane(d.v, 1));
      carry = static_cast<std::uint32_t>(wasm_i32x4_extract_lane(d.v, 3));
      return d;
    };
    // Full quads (both columns, both rows inside) first.
    const std::size_t nfull = has_bottom ? width / 2 : 0;
    for (qx = 0; qx < nfull; ++qx) {
      const Quad d = next(qx);
      // Lanes w0 (x, y) w1 (x, y + 1) w2 (x + 1, y) w3 (x + 1, y + 1).
      if constexpr (sizeof(Out) == 4) {
        const v128_t rows = wasm_i32x4_shuffle(d.word, d.word, 0, 2, 1, 3);
        wasm_v128_store64_lane(o0 + 2 * qx, rows, 0);
        wasm_v128_store64_lane(o1 + 2 * qx, rows, 1);
      } else {  // the low 16 bits of each word, as the portable cast keeps them
        const v128_t rows =
            wasm_i8x16_shuffle(d.word, d.word, 0, 1, 8, 9, 4, 5, 12, 13, 0, 1, 8, 9, 4, 5, 12, 13);
        wasm_v128_store32_lane(o0 + 2 * qx, rows, 0);
        wasm_v128_store32_lane(o1 + 2 * qx, rows, 1);
      }
    }
    // Then the quads that stick out: samples outside the code-block are
    // decoded but never written.
    for (; qx < nqx; ++qx) {
      const Quad d = next(qx);
      alignas(16) std::uint32_t wd[4];
      wasm_v128_store(wd, d.word);
      const std::size_t x = 2 * qx;
      o0[x] = static_cast<Out>(wd[0]);
      if (has_bottom) o1[x] = static_cast<Out>(wd[1]);
      if (x + 1 < width) {
        o0[x + 1] = static_cast<Out>(wd[2]);
        if (has_bottom) o1[x + 1] = static_cast<Out>(wd[3]);
      }
    }
    line[nqx] = carry;
  }
  if (sig) cleanup_significance(qe, width, height, sig, sstride);
  return ok();
}

constexpr BlockKernels kSimd128{cleanup_magsgn_simd128<std::uint32_t>,
                                cleanup_magsgn_simd128<std::int16_t>, unstuff_simd128,
                                UNSTUFF_PAD};

}  // namespace
}  // namespace varnel::htj2k::detail

namespace varnel::htj2k {
const BlockKernels& block_simd128_kernels() { return detail::kSimd128; }
}  // namespace varnel::htj2k

#endif
