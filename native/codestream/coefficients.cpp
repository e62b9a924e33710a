// The portable words-to-coefficients kernel and the family list.
#include "codestream/coefficients.hpp"

namespace varnel::codestream {
namespace {

void words_to_coefficients(std::int32_t* row, std::size_t width, std::size_t height,
                           std::size_t stride, unsigned shift) {
  for (std::size_t y = 0; y < height; ++y, row += stride) {
    for (std::size_t x = 0; x < width; ++x) {
      const std::uint32_t w = static_cast<std::uint32_t>(row[x]);
      const std::int32_t m = static_cast<std::int32_t>((w & 0x7FFFFFFFu) >> shift);
      const std::int32_t s = static_cast<std::int32_t>(w) >> 31;  // 0 or -1
      row[x] = (m ^ s) - s;
    }
  }
}

constexpr CoefficientKernels kPortable{words_to_coefficients};

}  // namespace

const CoefficientKernels& coefficient_portable_kernels() { return kPortable; }

const CoefficientKernels& coefficient_kernels_for(Isa isa) {
  static constexpr Family<CoefficientKernels> kFamilies[] = {
      {Isa::portable, coefficient_portable_kernels},
      {Isa::avx512, coefficient_avx512_kernels},
  };
  return pick_family(kFamilies, isa);
}

const CoefficientKernels& coefficient_kernels() {
  static const CoefficientKernels& chosen = coefficient_kernels_for(isa_selected());
  return chosen;
}

}  // namespace varnel::codestream
