// varnel htj2k: the reversible 5/3 wavelet on 64-bit coefficients, for
// planes whose samples are too deep for the 32-bit transform of dwt.hpp
// (32-bit samples: the transform adds up to 4 bits a level).
//
// Same layout, level order and results as `forward_53` / `inverse_53` on
// any plane both can hold; the arithmetic wraps in 64 bits, so malformed
// coefficients cannot overflow. Plain scalar code over the whole plane, with
// one plane-sized scratch buffer: only data that needs it takes this path.
// Fails only with InvalidArgument "plane buffer smaller than width * height"
// (also for width 0 or height 0), before touching the plane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/error.hpp"

namespace varnel::htj2k {

Result<void> forward_53_wide(std::span<std::int64_t> plane, std::size_t width,
                             std::size_t height, std::uint8_t levels);

Result<void> inverse_53_wide(std::span<std::int64_t> plane, std::size_t width,
                             std::size_t height, std::uint8_t levels);

}  // namespace varnel::htj2k
