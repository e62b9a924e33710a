// varnel htj2k: the HT block decoder (ITU-T T.814 | ISO/IEC 15444-15).
//
// Decodes one code-block's HT segments -- the cleanup pass and, when present,
// the SigProp and MagRef refinement passes of one HT set -- into 32-bit
// sign-magnitude sample words (bit 31 the sign, bits 0..30 the magnitude, the
// band's most significant bit-plane at bit 30). With p = 30 - missing_msbs a
// sample significant after the cleanup pass with magnitude index mu receives
// (2 mu + 1) << (p - 1): mu << p plus half a quantisation step.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "htj2k/block/kernels.hpp"

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

// The first checks of every block decoder, before it touches its window:
// code-block dimensions (1..=1024 each, at most 4096 samples) and an output
// of `out_size` samples that holds `height` rows of `width` at `stride`.
Result<void> check_block_window(std::size_t width, std::size_t height, std::size_t stride,
                                std::size_t out_size);

// A decoder that keeps its scratch storage across code-blocks, so decoding a
// run of blocks allocates only while the largest block seen grows. Not
// thread-safe: use one per thread.
class BlockDecoder {
 public:
  // Decodes with the kernel family of `kernels` (kernels.hpp); by default the
  // one the process selected. Every family gives the same words and errors.
  explicit BlockDecoder(const BlockKernels& kernels = block_kernels()) : kernels_(&kernels) {}

  // data: the code-block's bytes (cleanup segment then refinement segment).
  // out: output window, sample (x, y) at out[y * stride + x], zero on entry.
  // vertically_causal: code-block style bit 3 (affects SigProp only).
  // Errors: InvalidArgument for the geometry, Malformed (offset counted from
  // data[0]) for the segment; the window is untouched on the checks made
  // before decoding starts.
  Result<void> decode(std::span<const std::uint8_t> data, std::span<std::uint32_t> out,
                      std::size_t width, std::size_t height, std::size_t stride,
                      std::uint32_t missing_msbs, BlockPasses passes, bool vertically_causal);

  // `decode` for a caller that wants two's-complement coefficients: the
  // word's magnitude >> shift (shift <= 31, else InvalidArgument), negated
  // when its sign bit is set. A block without refinement passes gets them
  // straight from its cleanup pass and the answer is true; otherwise the
  // window holds the words (as from `decode`) and the answer is false: the
  // caller converts them.
  Result<bool> decode_coefficients(std::span<const std::uint8_t> data,
                                   std::span<std::int32_t> out, std::size_t width,
                                   std::size_t height, std::size_t stride,
                                   std::uint32_t missing_msbs, BlockPasses passes,
                                   bool vertically_causal, unsigned shift);

  // `decode_coefficients` of two blocks (their windows must not overlap),
  // the answers in order. Gives what two calls give, faster: blocks of the
  // same size have their first step (every codeword's chain of lookups)
  // decoded side by side. The error is the one the two calls in order give;
  // the windows then hold unspecified values.
  // With `narrow` not empty the coefficients go there in 16 bits instead
  // of to `out` (the window checks apply to it): they must fit (shift >=
  // 16; a band of M_b <= 15 does), and the block must have no refinement
  // pass to decode (else InvalidArgument, before the window is touched).
  struct CoefficientBlock {
    std::span<const std::uint8_t> data;
    std::span<std::int32_t> out;
    std::size_t width = 0, height = 0, stride = 0;
    std::uint32_t missing_msbs = 0;
    BlockPasses passes;
    unsigned shift = 0;
    std::span<std::int16_t> narrow;
  };
  Result<std::array<bool, 2>> decode_coefficients_pair(const CoefficientBlock& a,
                                                       const CoefficientBlock& b,
                                                       bool vertically_causal);
  // `decode_coefficients` of one such block.
  Result<bool> decode_coefficients(const CoefficientBlock& block, bool vertically_causal);

 private:
  // What `check` found of a block's segment and shape.
  struct Checked {
    const std::uint8_t* seg = nullptr;
    std::size_t lcup = 0, scup = 0, lref = 0, nqx = 0, nqy = 0;
    std::uint32_t npasses = 0;
  };
  static std::span<std::uint32_t> as_words(std::span<std::int32_t> out) {
    return {reinterpret_cast<std::uint32_t*>(out.data()), out.size()};
  }
  // The checks of every decode, before anything is touched.
  static Result<Checked> check(std::span<const std::uint8_t> data, std::size_t out_size,
                               std::size_t width, std::size_t height, std::size_t stride,
                               std::uint32_t missing_msbs, BlockPasses passes);
  static Result<Checked> check(const CoefficientBlock& b);
  // The first step of one block (every quad's CxtVLC entry and u), into
  // the scratch's first quads.
  void first_step(const Checked& c);
  // The steps after the first, from the quads at `quads` of the scratch.
  Result<bool> finish(const Checked& c, std::size_t quads, std::span<std::uint32_t> out,
                      std::size_t width, std::size_t height, std::size_t stride,
                      std::uint32_t missing_msbs, bool vertically_causal, unsigned coef,
                      std::int16_t* narrow = nullptr);
  Result<bool> finish(const Checked& c, std::size_t quads, const CoefficientBlock& b,
                      bool vertically_causal);
  // `decode` and `decode_coefficients`: coef = 0 for words, shift + 1 for coefficients.
  Result<bool> run(std::span<const std::uint8_t> data, std::span<std::uint32_t> out,
                   std::size_t width, std::size_t height, std::size_t stride,
                   std::uint32_t missing_msbs, BlockPasses passes, bool vertically_causal,
                   unsigned coef);

  const BlockKernels* kernels_;
  // First step: the CxtVLC table entry of every quad (rho, u_off, e_k, e_1,
  // codeword length), row after row.
  std::vector<std::uint16_t> quad_entry_;
  // First step: u_q of every quad (without kappa).
  std::vector<std::uint8_t> quad_u_;
  // Second step: entry k = OR of the values 2 mu - 1 of the bottom-row
  // samples in columns 2k - 1 and 2k of the quad row above (for kappa).
  std::vector<std::uint32_t> line_v_;
  // Second step: the MagSgn stream with its stuffed bits dropped (for the
  // families that read it so).
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
