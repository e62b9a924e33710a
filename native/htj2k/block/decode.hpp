// varnel htj2k: the HT block decoder (ITU-T T.814 | ISO/IEC 15444-15).
//
// Decodes one code-block's HT segments -- the cleanup pass and, when present,
// the SigProp and MagRef refinement passes of one HT set -- into 32-bit
// sign-magnitude sample words (bit 31 the sign, bits 0..30 the magnitude, the
// band's most significant bit-plane at bit 30). With p = 30 - missing_msbs a
// sample significant after the cleanup pass with magnitude index mu receives
// (2 mu + 1) << (p - 1): mu << p plus half a quantisation step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"

namespace varnel::htj2k {

// The coding passes of one code-block as the packet header gives them:
// lcup = length of the cleanup segment, lref = length of the refinement
// segment (SigProp forward + MagRef backward, 0 when absent), count = number
// of coding passes.
struct BlockPasses {
  std::uint32_t lcup = 0;
  std::uint32_t lref = 0;
  std::uint32_t count = 0;
};

// A decoder that keeps its scratch storage across code-blocks, so decoding a
// run of blocks allocates only while the largest block seen grows. Not
// thread-safe: use one per thread.
class BlockDecoder {
 public:
  // data: the code-block's bytes (cleanup segment then refinement segment).
  // out: output window, sample (x, y) at out[y * stride + x], zero on entry.
  // vertically_causal: code-block style bit 3 (affects SigProp only).
  // Errors: InvalidArgument for the geometry, Malformed (offset counted from
  // data[0]) for the segment; the window is untouched on the checks made
  // before decoding starts.
  Result<void> decode(std::span<const std::uint8_t> data, std::span<std::uint32_t> out,
                      std::size_t width, std::size_t height, std::size_t stride,
                      std::uint32_t missing_msbs, BlockPasses passes, bool vertically_causal);

 private:
  // One 16-bit word per quad: the CxtVLC entry of the first step.
  std::vector<std::uint16_t> quad_entry_;
  // One byte per quad: u_q (or U_q in the initial quad row).
  std::vector<std::uint8_t> quad_u_;
  // Per-column reconstructed v values of the bottom row of the quad row above.
  std::vector<std::uint32_t> line_v_;
  // Significance masks for the refinement passes: one 32-bit word per group
  // of 8 columns x 4 rows (bit 4 * column + row).
  std::vector<std::uint32_t> sig_;
};

// One-shot form of BlockDecoder::decode (allocates its scratch per call).
Result<void> decode_block(std::span<const std::uint8_t> data, std::span<std::uint32_t> out,
                          std::size_t width, std::size_t height, std::size_t stride,
                          std::uint32_t missing_msbs, BlockPasses passes,
                          bool vertically_causal);

}  // namespace varnel::htj2k
