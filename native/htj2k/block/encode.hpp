// varnel HT block encoder: codes one code-block into one HT cleanup segment
// (ITU-T T.814), the only coding pass this library writes.
//
// Input samples are 32-bit sign-magnitude words (bit 31 the sign, bits 0..30
// the magnitude, the band's most significant bit-plane at bit 30). Sample
// (x, y) is samples[y * stride + x]. With p = 30 - missing_msbs the coded
// magnitude of a sample is magnitude >> p.
//
// `encode_block` is the one-shot form; `BlockEncoder` keeps its stream and
// line buffers across blocks, so coding many blocks allocates nothing once the
// buffers have grown to their working size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"

namespace varnel::htj2k {

// Largest code-block side and area (T.800 Annex B.7).
inline constexpr std::size_t MAX_BLOCK_SIDE = 1024;
inline constexpr std::size_t MAX_BLOCK_AREA = 4096;

// The cleanup segment (Lcup bytes, Scup in its last two bytes) of one
// code-block. Fails with InvalidArgument on bad geometry, a short buffer, or
// missing_msbs >= 30.
Result<std::vector<std::uint8_t>> encode_block(std::span<const std::uint32_t> samples,
                                               std::size_t width, std::size_t height,
                                               std::size_t stride, std::uint32_t missing_msbs);

struct EncodeKernels;

class BlockEncoder {
 public:
  // With the kernel family of the process (enc_kernels.hpp), or a given one
  // (tests compare families).
  BlockEncoder();
  explicit BlockEncoder(const EncodeKernels& kernels);

  // Codes one code-block and appends its cleanup segment to `out`; returns
  // the number of bytes appended (Lcup). On error `out` is left unchanged.
  Result<std::size_t> encode(std::span<const std::uint32_t> samples, std::size_t width,
                             std::size_t height, std::size_t stride, std::uint32_t missing_msbs,
                             std::vector<std::uint8_t>& out);

  // `encode` of a code-block given as two's-complement coefficients whose
  // magnitudes are below 2^magb (1 <= magb <= 30): the segment `encode`
  // gives for the words sign | |c| << (31 - magb) with missing_msbs =
  // magb - 1, without forming them. A block whose coefficients are all 0
  // appends nothing and returns 0 (such a block is left out of its packet).
  // InvalidArgument for magb outside 1..=30 or a magnitude of 2^magb or more
  // (INT32_MIN included), which the band's bit-planes cannot hold.
  Result<std::size_t> encode_coefficients(std::span<const std::int32_t> coefficients,
                                          std::size_t width, std::size_t height,
                                          std::size_t stride, std::uint32_t magb,
                                          std::vector<std::uint8_t>& out);

 private:
  // The coder behind both entries; `rows` loads the per-sample terms of a
  // sample row (encode.cpp). A row whose magnitudes have a bit of `excess`
  // set is refused.
  template <class Rows>
  Result<std::size_t> encode_rows(const Rows* rows, std::size_t width, std::size_t height,
                                  bool skip_empty, std::uint32_t excess,
                                  std::vector<std::uint8_t>& out);

  const EncodeKernels* kernels_;
  // Stream buffers, sized for the worst case of the block being coded.
  std::vector<std::uint8_t> magsgn_, mel_, vlc_;
  // Exponents and MagSgn values of the sample rows of one quad row, the
  // exponents of the bottom sample row of the quad row above, and per quad
  // of the row its table key and U_q, u_q.
  std::vector<std::uint32_t> rows_;
  // Per quad of one quad row: its MagSgn bits and their count.
  std::vector<std::uint64_t> words_;
};

}  // namespace varnel::htj2k
