#include "codestream/coefficients.hpp"

#include "htj2k/block/magsgn.hpp"

namespace varnel::codestream {

void detail::words_to_coefficients_portable(std::int32_t* row, std::size_t width,
                                            std::size_t height, std::size_t stride,
                                            unsigned shift) {
  for (std::size_t y = 0; y < height; ++y, row += stride) {
    for (std::size_t x = 0; x < width; ++x) {
      const std::uint32_t w = static_cast<std::uint32_t>(row[x]);
      const std::int32_t m = static_cast<std::int32_t>((w & 0x7FFFFFFFu) >> shift);
      const std::int32_t s = static_cast<std::int32_t>(w) >> 31;  // 0 or -1
      row[x] = (m ^ s) - s;
    }
  }
}

void words_to_coefficients(std::int32_t* row, std::size_t width, std::size_t height,
                           std::size_t stride, unsigned shift) {
  // The block decoder's AVX-512 check covers what this needs (AVX-512 F).
  if (htj2k::detail::cpu_has_avx512_kernels())
    detail::words_to_coefficients_avx512(row, width, height, stride, shift);
  else
    detail::words_to_coefficients_portable(row, width, height, stride, shift);
}

}  // namespace varnel::codestream
