// varnel codestream: decoded code-block words to wavelet coefficients, and
// coefficients to 16 bits, a kernel kind with a table per instruction-set
// family (core/cpu.hpp).
//
// The block decoder writes sign-magnitude words with the band's top
// bit-plane at bit 30; the wavelet wants two's-complement coefficients:
// magnitude >> (31 - M_b), negated when bit 31 is set. The half step below
// the lowest decoded bit-plane falls away when that plane is bit 31 - M_b.
// The families give the same coefficients; a new one is one file defining
// its table function and one entry in the list of `coefficient_kernels_for`.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/cpu.hpp"

namespace varnel::codestream {

// Converts the width x height window at row (row stride `stride`) in place.
using WordsToCoefficients = void (*)(std::int32_t* row, std::size_t width, std::size_t height,
                                     std::size_t stride, unsigned shift);

// Copies the width x height window of coefficients at `from` (rows `width`
// apart) to int16 at `to` (rows `stride` apart), saturated: the 16-bit
// strips of the streamed decode.
using NarrowCoefficients = void (*)(const std::int32_t* from, std::size_t width,
                                    std::size_t height, std::int16_t* to, std::size_t stride);

struct CoefficientKernels {
  WordsToCoefficients words_to_coefficients;
  NarrowCoefficients narrow_coefficients;
};

// The family tables: portable (coefficients.cpp), avx512
// (coefficients_avx512.cpp). Call them only through `coefficient_kernels_for`,
// which never hands out a family the CPU lacks.
const CoefficientKernels& coefficient_portable_kernels();
const CoefficientKernels& coefficient_avx512_kernels();

// The table of `isa`, or of the highest lower family the CPU runs.
const CoefficientKernels& coefficient_kernels_for(Isa isa);
// The table decoding uses: `coefficient_kernels_for(isa_selected())`, chosen
// once.
const CoefficientKernels& coefficient_kernels();

}  // namespace varnel::codestream
