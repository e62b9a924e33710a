// varnel codestream: decoded code-block words to wavelet coefficients.
//
// The block decoder writes sign-magnitude words with the band's top
// bit-plane at bit 30; the wavelet wants two's-complement coefficients:
// magnitude >> (31 - M_b), negated when bit 31 is set. The half step below
// the lowest decoded bit-plane falls away when that plane is bit 31 - M_b.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varnel::codestream {

// Converts the width x height window at row (row stride `stride`) in place,
// with AVX-512 when the CPU offers it.
void words_to_coefficients(std::int32_t* row, std::size_t width, std::size_t height,
                           std::size_t stride, unsigned shift);

namespace detail {
// The portable form, and the AVX-512 one (only after a CPU check).
void words_to_coefficients_portable(std::int32_t* row, std::size_t width, std::size_t height,
                                    std::size_t stride, unsigned shift);
void words_to_coefficients_avx512(std::int32_t* row, std::size_t width, std::size_t height,
                                  std::size_t stride, unsigned shift);
}  // namespace detail

}  // namespace varnel::codestream
