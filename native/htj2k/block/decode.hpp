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

// The widest MagSgn kernel a decoder may use (each still needs the CPU to
// offer its instructions, else the next narrower one runs).
enum class MagSgnKernel : std::uint8_t { portable, avx2, avx512 };

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

  // The same with the choice of kernels made by the caller: with
  // allow_avx2 false only the portable steps run (the AVX2 ones still need
  // the CPU to offer AVX2). Both give the same words and errors; this is how
  // tests compare them.
  Result<void> decode_with(bool allow_avx2, std::span<const std::uint8_t> data,
                           std::span<std::uint32_t> out, std::size_t width, std::size_t height,
                           std::size_t stride, std::uint32_t missing_msbs, BlockPasses passes,
                           bool vertically_causal);
  Result<void> decode_with(MagSgnKernel best, std::span<const std::uint8_t> data,
                           std::span<std::uint32_t> out, std::size_t width, std::size_t height,
                           std::size_t stride, std::uint32_t missing_msbs, BlockPasses passes,
                           bool vertically_causal);

 private:
  // First step: the CxtVLC table entry of every quad (rho, u_off, e_k, e_1,
  // codeword length), row after row.
  std::vector<std::uint16_t> quad_entry_;
  // First step: u_q of every quad (without kappa).
  std::vector<std::uint8_t> quad_u_;
  // Second step: entry k = OR of the values 2 mu - 1 of the bottom-row
  // samples in columns 2k - 1 and 2k of the quad row above (for kappa).
  std::vector<std::uint32_t> line_v_;
  // Second step: the MagSgn stream with its stuffed bits dropped.
  std::vector<std::uint8_t> magsgn_bits_;
  // Refinement passes: a 4-bit significance mask (bit j = row 4s + j) per
  // column of each 4-row stripe, with one zero column on either side; the
  // cleanup-pass map followed by the working map of the SigProp pass.
  std::vector<std::uint8_t> sig_;
};

// One-shot form of BlockDecoder::decode (allocates its scratch per call).
Result<void> decode_block(std::span<const std::uint8_t> data, std::span<std::uint32_t> out,
                          std::size_t width, std::size_t height, std::size_t stride,
                          std::uint32_t missing_msbs, BlockPasses passes,
                          bool vertically_causal);

}  // namespace varnel::htj2k
