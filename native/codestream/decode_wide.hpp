// varnel codestream: decoding a codestream whose K_max needs the 64-bit
// datapath (quant.hpp, needs_wide_datapath): code-blocks decoded as 64-bit
// words (htj2k/block/block64.hpp) into 64-bit coefficient planes, the 5/3
// undone in 64 bits (htj2k/dwt/dwt_wide.hpp). Whole planes, or one plane
// streamed row by row: only 32-bit samples need this path.
#pragma once

#include <cstdint>
#include <span>

#include "codestream/decode_plan.hpp"
#include "codestream/reader.hpp"
#include "core/error.hpp"
#include "htj2k/dwt/dwt_wide.hpp"

namespace varnel::codestream {

// The plan's blocks into `planes` (one per component, at least width *
// height samples each, any contents on entry), then the inverse 5/3: the
// reconstructed samples before the component transform and the DC level
// shift. InvalidArgument for planes that do not match the plan; Malformed
// for the blocks, as run_decode.
Result<void> run_decode_wide(const Codestream& cs, const DecodePlan& plan,
                             std::span<const std::span<std::int64_t>> planes);

// run_decode_wide of a one-component plan without a plane: its rows go to
// `sink` top to bottom (as run_decode_rows does on the 32-bit path). It
// holds the coarsest level's LL band and, per level, one strip of the
// high-pass bands (a row of code-blocks, 64-bit coefficients), decoded
// just before the inverse transform reads it, and four rows per level:
// about 1536 bytes per plane column with 64 x 64 blocks, plus the LL band.
// With no level to undo it holds one strip of the plane's blocks. The rows are those of run_decode_wide bit for bit. InvalidArgument for a
// plan of several components; Malformed for the blocks, as run_decode, and
// "code-block outside its strip" for blocks no valid plan places so.
Result<void> run_decode_wide_rows(const Codestream& cs, const DecodePlan& plan,
                                  htj2k::WideRowSink sink);

// run_decode of a codestream that needs the 64-bit datapath, into 32-bit
// planes: run_decode_wide, the inverse component transform and the DC level
// shift (when asked) in 64 bits, then each sample clamped to the 32-bit
// signed range (a sample of a 32-bit unsigned component may not fit: the
// chunk driver narrows the 64-bit planes itself).
Result<void> run_decode_wide_clamped(const Codestream& cs, const DecodePlan& plan,
                                     std::span<const std::span<std::int32_t>> planes,
                                     bool dc_shift);

}  // namespace varnel::codestream
