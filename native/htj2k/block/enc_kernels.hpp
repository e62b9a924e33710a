// varnel htj2k: the kernel families of the HT block encoder.
//
// An `EncodeKernels` table holds the steps of the cleanup-pass encoder that
// run over a whole quad row without coding state (encode.cpp has the order
// of the steps); the bit writers that follow are shared. The families
// (core/cpu.hpp) are `encode_portable_kernels()` (enc_kernels_portable.cpp),
// `encode_avx2_kernels()` (enc_kernels_avx2.cpp) and
// `encode_avx512_kernels()` (enc_kernels_avx512.cpp); they give the same
// values. A new family is one file defining its table function and one
// entry in the list of `encode_kernels_for`.
//
// Row arrays hold one value per sample column; the E arrays have at least
// ENC_ROW_LEAD zero columns in front of column 0 and at least ENC_ROW_TAIL
// columns past 2 * quads, all zero past the block's width. The per-quad
// outputs have room for ENC_QUAD_TAIL quads past `quads`, which a family may
// write with values nobody reads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/cpu.hpp"

namespace varnel::htj2k {

inline constexpr std::size_t ENC_ROW_LEAD = 8;
inline constexpr std::size_t ENC_ROW_TAIL = 40;
inline constexpr std::size_t ENC_QUAD_TAIL = 16;

// A quad's VLC code: codeword (bits 0..7) | QUAD_MEL when c_q = 0, which
// sends a MEL event, | QUAD_MEL_EVENT when that event is 1 (rho != 0) |
// codeword length << 12 | u_q << 16. Its MagSgn info: U_q | e_k << 8 |
// rho << 12.
inline constexpr std::uint32_t QUAD_MEL = 0x100;
inline constexpr std::uint32_t QUAD_MEL_EVENT = 0x200;

struct EncodeKernels {
  // Per-sample terms of one sample row of `width` samples: the MagSgn value
  // v = 2 (mu - 1) + sign of a significant sample (else 0) and its exponent
  // E = bit length of 2 mu - 1 (0 for mu = 0). Writes e[0..width) and
  // v[0..width) only.
  //   words: sign-magnitude words (bit 31 the sign), mu = (w & 0x7FFFFFFF) >> p
  //   coefficients: two's complement, mu = |c|; returns the OR of every |c|
  //   (as uint32, INT32_MIN's 2^31), which the caller checks against its
  //   bit-planes before the terms of a |c| >= 2^30 are used.
  void (*load_words)(const std::uint32_t* src, std::size_t width, unsigned p, std::uint32_t* e,
                     std::uint32_t* v);
  std::uint32_t (*load_coefficients)(const std::int32_t* src, std::size_t width, std::uint32_t* e,
                                     std::uint32_t* v);
  // Planning a quad row: per quad j (samples 0 = (2j, top), 1 = (2j,
  // bottom), 2 = (2j + 1, top), 3 = (2j + 1, bottom)) its VLC code and its
  // MagSgn info (below), from the E rows of the quad row (et, eb) and,
  // outside the initial quad row, the bottom E row of the quad row above
  // (ep; null for the initial row). T.814 decides the context c_q, kappa,
  // U_q = max(E_max, kappa), u_q = U_q - kappa and EMB; the codeword comes
  // from ENC_VLC_TBL0 (initial row) or ENC_VLC_TBL1 at c_q << 8 | rho << 4 |
  // emb (enc_tables.hpp).
  void (*plan)(std::size_t quads, const std::uint32_t* et, const std::uint32_t* eb,
               const std::uint32_t* ep, std::uint32_t* code, std::uint32_t* info);
  // The MagSgn bits of each quad from `info` (U_q | e_k << 8 | rho << 12)
  // and the v rows: for a quad with U_q <= 14, words[j] holds its bits
  // (sample 0 first, each significant sample's U_q low bits of v, one fewer
  // when e_k implies its top bit) with their count in bits 56..63; other
  // quads get unspecified words.
  void (*magsgn_words)(std::size_t quads, const std::uint32_t* info, const std::uint32_t* vt,
                       const std::uint32_t* vb, std::uint64_t* words);
};

// The MagSgn bit count and bits of sample n of a quad (see magsgn_words),
// for any U_q; shared by the families and the coder's path for U_q > 14.
inline void magsgn_sample(std::uint32_t info, unsigned n, std::uint32_t v, unsigned& count,
                          std::uint32_t& bits) {
  const unsigned big_u = info & 0xFF;
  const unsigned implied = (info >> (8 + n)) & 1;
  const unsigned significant = (info >> (12 + n)) & 1;
  count = (big_u - implied) & (0u - significant);
  bits = v & ~(implied << (big_u - 1));
}

const EncodeKernels& encode_portable_kernels();
const EncodeKernels& encode_avx2_kernels();
const EncodeKernels& encode_avx512_kernels();

// The table of `isa`, or of the highest lower family the CPU runs.
const EncodeKernels& encode_kernels_for(Isa isa);
// The table encoders use by default: `encode_kernels_for(isa_selected())`,
// chosen once.
const EncodeKernels& encode_kernels();

}  // namespace varnel::htj2k
