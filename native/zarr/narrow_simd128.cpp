// The SIMD128 narrowing for WebAssembly, whose baseline it is (scripts/wasm.sh
// builds with -msimd128; narrow.cpp lists this table as the portable family
// there): eight samples a step (clamp, add, an unsigned range test, then the
// low bytes of each lane gathered by one shuffle into one store), the rest
// one at a time as the portable loop does. Elsewhere this file compiles to
// nothing.
#if defined(__wasm_simd128__)

#include <wasm_simd128.h>

#include <algorithm>
#include <cstring>

#include "zarr/narrow.hpp"

namespace varnel::zarr {
namespace {

// Out-of-range samples leave non-zero bits in `bad` (max(t, span) != span);
// the stores keep the low bytes of each sample, as the scalar store does.
template <unsigned Width>
bool run(const std::int32_t* src, std::uint8_t* dst, std::size_t n, const Narrowing& how) {
  const v128_t clo = wasm_i32x4_splat(how.clamp_lo), chi = wasm_i32x4_splat(how.clamp_hi);
  const v128_t add = wasm_i32x4_splat(how.add), lo = wasm_i32x4_splat(how.lo);
  const v128_t span = wasm_i32x4_splat(static_cast<std::int32_t>(how.span));
  v128_t bad = wasm_i32x4_splat(0);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    v128_t a = wasm_v128_load(src + i), b = wasm_v128_load(src + i + 4);
    a = wasm_i32x4_add(wasm_i32x4_min(wasm_i32x4_max(a, clo), chi), add);
    b = wasm_i32x4_add(wasm_i32x4_min(wasm_i32x4_max(b, clo), chi), add);
    const v128_t ta = wasm_u32x4_max(wasm_i32x4_sub(a, lo), span);
    const v128_t tb = wasm_u32x4_max(wasm_i32x4_sub(b, lo), span);
    bad = wasm_v128_or(bad, wasm_v128_or(wasm_v128_xor(ta, span), wasm_v128_xor(tb, span)));
    std::uint8_t* const d = dst + i * Width;
    if constexpr (Width == 4) {
      wasm_v128_store(d, a);
      wasm_v128_store(d + 16, b);
    } else if constexpr (Width == 2) {
      wasm_v128_store(d, wasm_i8x16_shuffle(a, b, 0, 1, 4, 5, 8, 9, 12, 13, 16, 17, 20, 21, 24,
                                            25, 28, 29));
    } else {
      wasm_v128_store64_lane(d, wasm_i8x16_shuffle(a, b, 0, 4, 8, 12, 16, 20, 24, 28, 0, 4, 8,
                                                   12, 16, 20, 24, 28), 0);
    }
  }
  std::uint32_t outside = wasm_v128_any_true(bad) ? 1u : 0u;
  const std::int32_t c_lo = how.clamp_lo, c_hi = how.clamp_hi;
  for (; i < n; ++i) {
    const std::int32_t s = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(std::min(std::max(src[i], c_lo), c_hi)) +
        static_cast<std::uint32_t>(how.add));
    outside |= static_cast<std::uint32_t>(static_cast<std::uint32_t>(s) -
                                          static_cast<std::uint32_t>(how.lo) > how.span);
    std::memcpy(dst + i * Width, &s, Width);  // little-endian: the low bytes
  }
  return outside == 0;
}

bool narrow(const std::int32_t* src, std::uint8_t* dst, std::size_t n, const Narrowing& how) {
  switch (how.width) {
    case 1: return run<1>(src, dst, n, how);
    case 2: return run<2>(src, dst, n, how);
    default: return run<4>(src, dst, n, how);
  }
}

constexpr NarrowKernels kSimd128{narrow};

}  // namespace

const NarrowKernels& narrow_simd128_kernels() { return kSimd128; }

}  // namespace varnel::zarr

#endif
