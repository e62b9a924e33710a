// The portable narrowing (one loop per element width that the compiler
// vectorises with the baseline instruction set) and the family list.
#include "zarr/narrow.hpp"

#include <algorithm>
#include <cstring>

namespace varnel::zarr {
namespace {

template <class T>
bool run(const std::int32_t* __restrict src, std::uint8_t* __restrict dst, std::size_t n,
         const Narrowing& how) {
  const std::int32_t clo = how.clamp_lo, chi = how.clamp_hi, add = how.add;
  const std::uint32_t lo = static_cast<std::uint32_t>(how.lo), span = how.span;
  std::uint32_t outside = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::int32_t s = std::min(std::max(src[i], clo), chi) + add;
    outside |= static_cast<std::uint32_t>(static_cast<std::uint32_t>(s) - lo > span);
    const auto v = static_cast<T>(s);
    std::memcpy(dst + i * sizeof(T), &v, sizeof(T));
  }
  return outside == 0;
}

bool narrow(const std::int32_t* src, std::uint8_t* dst, std::size_t n, const Narrowing& how) {
  switch (how.width) {
    case 1: return run<std::uint8_t>(src, dst, n, how);
    case 2: return run<std::uint16_t>(src, dst, n, how);
    default: return run<std::uint32_t>(src, dst, n, how);
  }
}

constexpr NarrowKernels kPortable{narrow};

}  // namespace

const NarrowKernels& narrow_portable_kernels() { return kPortable; }

const NarrowKernels& narrow_kernels_for(Isa isa) {
  static constexpr Family<NarrowKernels> kFamilies[] = {
#if defined(__wasm_simd128__)
      {Isa::portable, narrow_simd128_kernels},  // the baseline of a WebAssembly build
#else
      {Isa::portable, narrow_portable_kernels},
#endif
      {Isa::avx2, narrow_avx2_kernels},
      {Isa::avx512, narrow_avx512_kernels},
  };
  return pick_family(kFamilies, isa);
}

const NarrowKernels& narrow_kernels() {
  static const NarrowKernels& chosen = narrow_kernels_for(isa_selected());
  return chosen;
}

}  // namespace varnel::zarr
