// Narrowing of decoded planes to chunk elements: the DC level shift of an
// unsigned component (clamp, then add), the check against the dtype's range
// and the store in the dtype's width, in one pass. `narrow_portable` runs
// anywhere; `narrow_avx2` gives identical results and may only run once
// cpu_has_avx2() (core/cpu.hpp) has said yes.
#pragma once

#include <cstddef>
#include <cstdint>

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

// Both return false when some sample is out of range (dst then holds
// unspecified bytes for the whole run).
bool narrow_portable(const std::int32_t* src, std::uint8_t* dst, std::size_t n, const Narrowing& how);
bool narrow_avx2(const std::int32_t* src, std::uint8_t* dst, std::size_t n, const Narrowing& how);

}  // namespace varnel::zarr
