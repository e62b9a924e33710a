// varnel htj2k: what the MagSgn steps of the HT cleanup pass share, the
// portable one (decode.cpp) and those of the other kernel families
// (magsgn_<family>.cpp; the step's signature is in kernels.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

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

}  // namespace varnel::htj2k::detail
