// varnel htj2k: the HT block coder for samples deeper than the 32-bit
// datapath holds (K_max > 30: 32-bit samples after the wavelet's gain).
//
// Words are 64-bit sign-magnitude: bit 63 the sign, bits 0..62 the
// magnitude, the band's most significant bit-plane at bit 62. With
// p = 62 - missing_msbs the coded magnitude of a word is magnitude >> p, and
// a decoded sample significant after the cleanup pass with magnitude index
// mu gets (2 mu + 1) << (p - 1). The coding is that of encode.hpp and
// decode.hpp, bit for bit; only the width of the samples differs, so U-VLC
// values above 32 (the 4-bit extension of T.814) and MagSgn values of up to
// 63 bits can occur. These coders are plain scalar code: only data that
// needs them (full-range 32-bit samples) takes them, and 8..16-bit data
// never does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "htj2k/block/decode.hpp"

namespace varnel::htj2k {

class WideBlockEncoder {
 public:
  // Codes one code-block (the geometry rules of BlockEncoder::encode;
  // missing_msbs < 62, else InvalidArgument) and appends its cleanup segment
  // to `out`; returns the bytes appended (Lcup). Every word is codable: a
  // magnitude has 63 bits, so a coded one up to missing_msbs + 1 and its
  // MagSgn value up to 63. On error `out` is left unchanged.
  Result<std::size_t> encode(std::span<const std::uint64_t> samples, std::size_t width,
                             std::size_t height, std::size_t stride, std::uint32_t missing_msbs,
                             std::vector<std::uint8_t>& out);

 private:
  std::vector<std::uint8_t> magsgn_, mel_, vlc_;
  std::vector<std::uint8_t> exps_;   // E of every sample, padded
  std::vector<std::uint64_t> vals_;  // MagSgn value v of every sample
};

class WideBlockDecoder {
 public:
  // Decodes one code-block's cleanup segment and refinement passes into the
  // zeroed window `out` (sample (x, y) at out[y * stride + x]), with the
  // checks and errors of BlockDecoder::decode, the missing MSBs bounded by
  // 62 instead of 30. Malformed input never reads or writes outside `data`
  // and the window.
  Result<void> decode(std::span<const std::uint8_t> data, std::span<std::uint64_t> out,
                      std::size_t width, std::size_t height, std::size_t stride,
                      std::uint32_t missing_msbs, BlockPasses passes, bool vertically_causal);

 private:
  std::vector<std::uint8_t> exps_;  // E of the bottom row of the quad row above, padded
  std::vector<std::uint8_t> sig_;   // refinement: cleanup map, then working map
};

}  // namespace varnel::htj2k
