// varnel zarr: the chunk driver's 64-bit decode of one plane, for the
// codestreams whose K_max needs the 64-bit datapath (32-bit samples after
// the wavelet's gain; codestream/decode_wide.hpp). Internal to htj2k.cpp.
#pragma once

#include <cstdint>

#include "codestream/decode_plan.hpp"
#include "codestream/reader.hpp"
#include "core/dtype.hpp"
#include "core/error.hpp"

namespace varnel::zarr {

// Decodes the one-component `plan` of `cs` and writes its width x height
// samples to `dst` as `dtype`, with the DC level shift of an unsigned
// component; below full resolution (`reduce` > 0) a signed component's
// samples are clipped to its range, as on the 32-bit path, and at full
// resolution a 32-bit unsigned one's are taken modulo 2^32. Malformed
// "decoded sample range [lo, hi] does not fit dtype ..." when a sample does
// not fit, with nothing promised about `dst`.
Result<void> decode_plane_wide(const codestream::Codestream& cs,
                               const codestream::DecodePlan& plan, ElementType dtype,
                               std::uint8_t reduce, std::uint8_t* dst);

}  // namespace varnel::zarr
