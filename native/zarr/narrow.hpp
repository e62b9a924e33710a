// Narrowing of decoded planes to chunk elements: the DC level shift of an
// unsigned component (clamp, then add), the check against the dtype's range
// and the store in the dtype's width, in one pass. The kernel families
// (core/cpu.hpp) give identical results; a new family is one file defining
// its table function and one entry in the list of `narrow_kernels_for`
// (narrow.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/cpu.hpp"

namespace varnel::zarr {

// Sample s becomes v = min(max(s, clamp_lo), clamp_hi) + add, which must lie
// in [lo, lo + span] (unsigned difference) and is stored as its low `width`
// bytes (1, 2 or 4), little-endian. The identity shift clamps to the whole
// int32 range and adds 0.
struct Narrowing {
  std::int32_t clamp_lo = INT32_MIN, clamp_hi = INT32_MAX, add = 0;
  std::int32_t lo = 0;
  std::uint32_t span = 0;
  unsigned width = 1;
};

struct NarrowKernels {
  // Narrows n samples from src to dst; false when some sample is out of
  // range (dst then holds unspecified bytes for the whole run).
  bool (*narrow)(const std::int32_t* src, std::uint8_t* dst, std::size_t n, const Narrowing& how);
};

// The family tables: portable (narrow.cpp), avx2 (narrow_avx2.cpp), avx512
// (narrow_avx512.cpp). Call them only through `narrow_kernels_for`, which
// never hands out a family the CPU lacks.
const NarrowKernels& narrow_portable_kernels();
const NarrowKernels& narrow_avx2_kernels();
const NarrowKernels& narrow_avx512_kernels();
#if defined(__wasm_simd128__)
// WebAssembly builds only (narrow_simd128.cpp), where it stands as portable.
const NarrowKernels& narrow_simd128_kernels();
#endif

// The table of `isa`, or of the highest lower family the CPU runs.
const NarrowKernels& narrow_kernels_for(Isa isa);
// The table the chunk decoder uses: `narrow_kernels_for(isa_selected())`,
// chosen once.
const NarrowKernels& narrow_kernels();

}  // namespace varnel::zarr
