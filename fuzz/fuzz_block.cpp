// Fuzz target: the HT block decoder, every kernel family the CPU runs
// against the portable one. Input: 8 bytes of geometry and passes -- width - 1
// (b0 | (b1 & 3) << 8), extra stride (b1 >> 2 & 3), height - 1
// (b2 | (b3 & 3) << 8), missing MSBs (b4 & 31), coefficient shift (b4 >> 5),
// pass count (b5 & 3), vertically causal (b5 & 4), Lref (b6 | b7 << 8, at
// most the rest) -- then the segments (Lcup = the rest - Lref). The families
// must give the same words, the same errors, and coefficients that match
// the words; a pair of the block with itself gives its coefficients twice.
// The 64-bit decoder reads the same input with 32 missing MSBs
// more (the same bit-plane p): wherever a 32-bit family decodes, it gives
// the same magnitudes and signs (its larger bounds only let it go on where
// the 32-bit one stops, and keep the bit above a 32-bit word's magnitude).
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "core/cpu.hpp"
#include "htj2k/block/block64.hpp"
#include "htj2k/block/decode.hpp"

using namespace varnel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  const std::size_t width = 1 + (data[0] | (data[1] & 3u) << 8);
  const std::size_t height = 1 + (data[2] | (data[3] & 3u) << 8);
  const std::size_t stride = width + (data[1] >> 2 & 3);
  if (width * height > 8192) return 0;  // past the 4096 bound: enough to test its check
  const std::uint32_t msbs = data[4] & 31;
  const unsigned shift = data[4] >> 5;
  const bool causal = data[5] & 4;
  const std::span<const std::uint8_t> seg(data + 8, size - 8);
  const std::uint32_t lref = std::min<std::size_t>(data[6] | data[7] << 8, seg.size());
  const htj2k::BlockPasses passes{static_cast<std::uint32_t>(seg.size() - lref), lref,
                                  static_cast<std::uint32_t>(data[5] & 3)};

  static std::vector<htj2k::BlockDecoder> decoders;  // scratch reused across inputs
  if (decoders.empty())
    for (Isa isa : isa_runnable()) decoders.emplace_back(htj2k::block_kernels_for(isa));
  std::vector<std::uint32_t> ref(stride * height), words(stride * height);
  std::vector<std::int32_t> coefs(stride * height);
  auto first = decoders[0].decode(seg, ref, width, height, stride, msbs, passes, causal);
  static htj2k::WideBlockDecoder wide_decoder;
  std::vector<std::uint64_t> wide(stride * height);
  auto w = wide_decoder.decode(seg, wide, width, height, stride, msbs + 32, passes, causal);
  if (first && !w) __builtin_trap();
  // A damaged stream may give a sample mu = 2^(missing MSBs + 1), whose
  // magnitude needs bit 31: the 32-bit word drops it, the 64-bit one keeps it.
  constexpr std::uint64_t kAbove = 0x7FFFFFFF80000000u;
  if (first)
    for (std::size_t i = 0; i < ref.size(); ++i)
      if ((wide[i] & ~kAbove) != (std::uint64_t{ref[i] >> 31} << 63 | (ref[i] & 0x7FFFFFFFu)) ||
          ((wide[i] & kAbove) != 0 && (wide[i] & kAbove) != std::uint64_t{1} << 31))
        __builtin_trap();
  for (std::size_t f = 0; f < decoders.size(); ++f) {
    std::fill(words.begin(), words.end(), 0u);
    auto r = decoders[f].decode(seg, words, width, height, stride, msbs, passes, causal);
    if (r.has_value() != first.has_value() || (!r && r.error() != first.error())) __builtin_trap();
    if (r && words != ref) __builtin_trap();
    std::fill(coefs.begin(), coefs.end(), 0);
    auto c = decoders[f].decode_coefficients(seg, coefs, width, height, stride, msbs, passes, causal, shift);
    if (c.has_value() != first.has_value() || (!c && c.error() != first.error())) __builtin_trap();
    // The block paired with itself (decoded side by side) gives the same.
    std::vector<std::int32_t> pa(stride * height), pb(stride * height);
    const htj2k::BlockDecoder::CoefficientBlock one{seg, pa, width, height, stride, msbs, passes, shift, {}};
    htj2k::BlockDecoder::CoefficientBlock two = one;
    two.out = pb;
    auto p = decoders[f].decode_coefficients_pair(one, two, causal);
    if (p.has_value() != c.has_value() || (!p && p.error() != c.error())) __builtin_trap();
    if (p && ((*p)[0] != *c || (*p)[1] != *c || pa != coefs || pb != coefs)) __builtin_trap();
    if (!c) continue;
    for (std::size_t i = 0; i < ref.size(); ++i) {
      const auto m = static_cast<std::int32_t>((ref[i] & 0x7FFFFFFFu) >> shift);
      if (*c ? coefs[i] != (ref[i] >> 31 ? -m : m) : static_cast<std::uint32_t>(coefs[i]) != ref[i])
        __builtin_trap();
    }
  }
  return 0;
}
