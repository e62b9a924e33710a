// varnel htj2k: the MagSgn step of the HT cleanup pass, shared between the
// portable decoder (decode.cpp) and its AVX2 and AVX-512 forms
// (magsgn_avx2.cpp, magsgn_avx512.cpp).
//
// cleanup_magsgn_avx2 decodes the MagSgn values of every quad of a code-block
// from the per-quad table entries (qe) and u values (qu) of the first step and
// writes the sample words to the window; it consumes the same bits and writes
// the same words as the portable step. line must hold magsgn_line_words(nqx)
// words, bitbuf length + UNSTUFF_PAD bytes (readers.hpp). It may only run
// once the CPU has been found to offer AVX2.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/error.hpp"

namespace varnel::htj2k::detail {

// Spreads the four bits of a quad pattern over four bytes, bit n to byte n:
// SPREAD[x] has 0x01 in byte n when bit n of x is set.
inline constexpr std::array<std::uint32_t, 16> make_spread() {
  std::array<std::uint32_t, 16> t{};
  for (unsigned x = 0; x < 16; ++x)
    for (unsigned n = 0; n < 4; ++n)
      if ((x >> n) & 1u) t[x] |= 1u << (8 * n);
  return t;
}
inline constexpr std::array<std::uint32_t, 16> SPREAD = make_spread();

// Scratch words the MagSgn step needs for its lines of neighbour values (the
// portable step needs nqx + 2 of them).
inline std::size_t magsgn_line_words(std::size_t nqx) { return 4 * (nqx + 2); }

// The cleanup significance of a code-block from its quad table entries (rho
// in bits 4..7): a 4-bit mask per column of each 4-row stripe (bit j = row
// 4 s + j), column c at sig[s * sstride + 1 + c]; sig must be zero on entry.
inline void cleanup_significance(const std::uint16_t* qe, std::size_t width, std::size_t height,
                                 std::uint8_t* sig, std::size_t sstride) {
  const std::size_t nqx = (width + 1) / 2;
  const std::size_t nqy = (height + 1) / 2;
  for (std::size_t r = 0; r < nqy; ++r) {
    std::uint8_t* const srow = sig + (r >> 1) * sstride + 1;
    const unsigned shift = (r & 1u) * 2u;
    const bool bottom = 2 * r + 1 < height;
    for (std::size_t qx = 0; qx < nqx; ++qx) {
      const std::size_t x = 2 * qx;
      const bool right = x + 1 < width;
      // Samples 1 (bottom left), 2 (top right) and 3 (bottom right) may lie
      // outside the code-block.
      const unsigned inside = 0x1u | (bottom ? 0x2u : 0u) | (right ? 0x4u : 0u) |
                              (bottom && right ? 0x8u : 0u);
      const unsigned s = (qe[r * nqx + qx] >> 4) & inside;
      srow[x] |= static_cast<std::uint8_t>((s & 3u) << shift);
      if (right) srow[x + 1] |= static_cast<std::uint8_t>(((s >> 2) & 3u) << shift);
    }
  }
}

// sig (may be null) receives the cleanup significance as 4-bit column masks
// per 4-row stripe, sstride bytes per stripe, column c at sig[1 + c].
Result<void> cleanup_magsgn_avx2(const std::uint8_t* seg, std::size_t length,
                                 const std::uint16_t* qe, const std::uint8_t* qu,
                                 std::uint32_t* line, std::uint32_t* out, std::size_t width,
                                 std::size_t height, std::size_t stride,
                                 std::uint32_t missing_msbs, std::uint8_t* sig,
                                 std::size_t sstride, std::uint8_t* bitbuf);

// The same with AVX-512 (F, BW, VL, CD and VBMI), four quads at a time;
// bitbuf must hold length + MAGSGN_AVX512_PAD bytes. It may only run once the
// CPU has been found to offer those extensions.
inline constexpr std::size_t MAGSGN_AVX512_PAD = 80;

// True when the CPU (and OS) offer what the AVX-512 kernels need.
bool cpu_has_avx512_kernels();

// unstuff_magsgn (readers.hpp) with AVX-512: same bytes written, same value
// returned. Only once cpu_has_avx512_kernels() has answered yes.
std::size_t unstuff_magsgn_avx512(const std::uint8_t* src, std::size_t size, std::uint8_t* dst);

Result<void> cleanup_magsgn_avx512(const std::uint8_t* seg, std::size_t length,
                                   const std::uint16_t* qe, const std::uint8_t* qu,
                                   std::uint32_t* line, std::uint32_t* out, std::size_t width,
                                   std::size_t height, std::size_t stride,
                                   std::uint32_t missing_msbs, std::uint8_t* sig,
                                   std::size_t sstride, std::uint8_t* bitbuf);

}  // namespace varnel::htj2k::detail
