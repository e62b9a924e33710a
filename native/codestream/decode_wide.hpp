// varnel codestream: decoding a codestream whose K_max needs the 64-bit
// datapath (quant.hpp, needs_wide_datapath): code-blocks decoded as 64-bit
// words (htj2k/block/block64.hpp) into 64-bit coefficient planes, the 5/3
// undone in 64 bits (htj2k/dwt/dwt_wide.hpp). Whole planes, no streaming:
// only 32-bit samples need this path.
#pragma once

#include <cstdint>
#include <span>

#include "codestream/decode_plan.hpp"
#include "codestream/reader.hpp"
#include "core/error.hpp"

namespace varnel::codestream {

// The plan's blocks into `planes` (one per component, at least width *
// height samples each, any contents on entry), then the inverse 5/3: the
// reconstructed samples before the component transform and the DC level
// shift. InvalidArgument for planes that do not match the plan; Malformed
// for the blocks, as run_decode.
Result<void> run_decode_wide(const Codestream& cs, const DecodePlan& plan,
                             std::span<const std::span<std::int64_t>> planes);

// run_decode of a codestream that needs the 64-bit datapath, into 32-bit
// planes: run_decode_wide, the inverse component transform and the DC level
// shift (when asked) in 64 bits, then each sample clamped to the 32-bit
// signed range (a sample of a 32-bit unsigned component may not fit: the
// chunk driver narrows the 64-bit planes itself).
Result<void> run_decode_wide_clamped(const Codestream& cs, const DecodePlan& plan,
                                     std::span<const std::span<std::int32_t>> planes,
                                     bool dc_shift);

}  // namespace varnel::codestream
