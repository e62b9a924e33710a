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

class BlockEncoder {
 public:
  // Codes one code-block and appends its cleanup segment to `out`; returns
  // the number of bytes appended (Lcup). On error `out` is left unchanged.
  Result<std::size_t> encode(std::span<const std::uint32_t> samples, std::size_t width,
                             std::size_t height, std::size_t stride, std::uint32_t missing_msbs,
                             std::vector<std::uint8_t>& out);

 private:
  // Stream buffers, sized for the worst case of the block being coded.
  std::vector<std::uint8_t> magsgn_, mel_, vlc_;
  // Exponents and MagSgn values of the sample rows of one quad row, and
  // the exponents of the bottom sample row of the quad row above.
  std::vector<std::uint32_t> rows_;
  // Per quad of one quad row: table key, U_q and u_q; per sample: MagSgn
  // bit count and value.
  std::vector<std::uint32_t> plan_;
};

}  // namespace varnel::htj2k
