// varnel htj2k: the kernel families of the HT block decoder.
//
// A `BlockKernels` table holds the steps of the block decoder that have
// instruction-set forms of their own; the rest of the decoder is shared. The
// families (core/cpu.hpp) give the same words and the same errors. A new
// family is one file defining its table function and one entry in the list of
// `block_kernels_for` (decode.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/cpu.hpp"
#include "core/error.hpp"

namespace varnel::htj2k {

// The MagSgn step of the cleanup pass (T.814 clause 7.3.8): decodes the
// MagSgn values of every quad of a code-block from the per-quad table entries
// (qe) and u values (qu) of the first step and writes the sample words to the
// window (sample (x, y) at out[y * stride + x]). The MagSgn segment is the
// `length` bytes at seg. line must hold magsgn_line_words(nqx) words (scratch),
// bitbuf length + the table's bitbuf_pad bytes (scratch). sig (may be null)
// receives the cleanup significance as 4-bit column masks per 4-row stripe,
// sstride bytes per stripe, column c at sig[1 + c]. With coef = 0 the
// window receives the sample words; with coef = k + 1 (k <= 31) it receives
// the two's-complement coefficients of those words instead: magnitude >> k,
// negated when the sign bit is set (then sig must be null). Fails with
// Malformed "U_q exceeds the magnitude bound" at offset 0.
using CleanupMagSgn = Result<void> (*)(const std::uint8_t* seg, std::size_t length,
                                       const std::uint16_t* qe, const std::uint8_t* qu,
                                       std::uint32_t* line, std::uint32_t* out,
                                       std::size_t width, std::size_t height, std::size_t stride,
                                       std::uint32_t missing_msbs, std::uint8_t* sig,
                                       std::size_t sstride, std::uint8_t* bitbuf, unsigned coef);

// `CleanupMagSgn` with coefficients (coef >= 17, sig null) written as int16
// to `out`: what fits 16 bits, as a band of M_b <= 15 does, is exact; a
// larger magnitude keeps its low 16 bits.
using CleanupMagSgn16 = Result<void> (*)(const std::uint8_t* seg, std::size_t length,
                                         const std::uint16_t* qe, const std::uint8_t* qu,
                                         std::uint32_t* line, std::int16_t* out,
                                         std::size_t width, std::size_t height,
                                         std::size_t stride, std::uint32_t missing_msbs,
                                         std::uint8_t* sig, std::size_t sstride,
                                         std::uint8_t* bitbuf, unsigned coef);

// The MagSgn stream of `size` bytes at src without its stuffed bits, as
// unstuff_magsgn (readers.hpp) writes it and with its return value; dst must
// hold size + the table's bitbuf_pad bytes.
using UnstuffMagSgn = std::size_t (*)(const std::uint8_t* src, std::size_t size,
                                      std::uint8_t* dst);

struct BlockKernels {
  CleanupMagSgn cleanup_magsgn;
  CleanupMagSgn16 cleanup_magsgn16;
  // The unstuffing the MagSgn step of this family runs (tests compare them).
  UnstuffMagSgn unstuff_magsgn;
  // Bytes of bitbuf past the segment length that cleanup_magsgn needs.
  std::size_t bitbuf_pad;
};

// The family tables: portable (decode.cpp), avx2 (magsgn_avx2.cpp), avx512
// (magsgn_avx512.cpp), and simd128 (magsgn_simd128.cpp, WebAssembly builds
// only, where it stands as the portable family). Call them only through
// `block_kernels_for`, which never hands out a family the CPU lacks.
const BlockKernels& block_portable_kernels();
const BlockKernels& block_avx2_kernels();
const BlockKernels& block_avx512_kernels();
#if defined(__wasm_simd128__)
const BlockKernels& block_simd128_kernels();
#endif

// The table of `isa`, or of the highest lower family the CPU runs.
const BlockKernels& block_kernels_for(Isa isa);
// The table decoders use by default: `block_kernels_for(isa_selected())`,
// chosen once.
const BlockKernels& block_kernels();

}  // namespace varnel::htj2k
