// varnel htj2k: the MagSgn step of the HT cleanup pass, shared between the
// portable decoder (decode.cpp) and its AVX2 form (magsgn_avx2.cpp).
//
// cleanup_magsgn_avx2 decodes the MagSgn values of every quad of a code-block
// from the per-quad table entries (qe) and u values (qu) of the first step and
// writes the sample words to the window; it consumes the same bits and writes
// the same words as the portable step. line must hold magsgn_line_words(nqx)
// words. It may only run once the CPU has been found to offer AVX2.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/error.hpp"

namespace varnel::htj2k::detail {

// Scratch words the MagSgn step needs for its line of neighbour values.
inline std::size_t magsgn_line_words(std::size_t nqx) { return 8 * (nqx + 2); }

// sig (may be null) receives the cleanup significance as 4-bit column masks
// per 4-row stripe, sstride bytes per stripe, column c at sig[1 + c].
Result<void> cleanup_magsgn_avx2(const std::uint8_t* seg, std::size_t length,
                                 const std::uint16_t* qe, const std::uint8_t* qu,
                                 std::uint32_t* line, std::uint32_t* out, std::size_t width,
                                 std::size_t height, std::size_t stride,
                                 std::uint32_t missing_msbs, std::uint8_t* sig,
                                 std::size_t sstride);

}  // namespace varnel::htj2k::detail
