// varnel core: CRC-32C (Castagnoli, reflected polynomial 0x82F63B78, initial
// and final value ~0), the checksum of zarr's crc32c codec and of iSCSI.
//
// `crc32c_extend(crc, bytes)` continues the checksum `crc` of some bytes over
// `bytes` that follow them, so a run of prefixes of one buffer is checksummed
// in a single pass: crc32c(a ++ b) == crc32c_extend(crc32c(a), b).
//
// Two kernel families (core/cpu.hpp): portable (slicing-by-8 tables) and the
// SSE4.2 crc32 instruction, which every CPU of the avx2 family has; the
// latter is the only code built with -msse4.2 (crc32c_sse42.cpp). Both give
// identical results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/cpu.hpp"

namespace varnel {

struct Crc32cKernels {
  // Advances the raw (uninverted) register `state` over n bytes.
  std::uint32_t (*update)(std::uint32_t state, const std::uint8_t* bytes, std::size_t n);
};

// The family tables; call them only through `crc32c_kernels_for`, which never
// hands out a family the CPU lacks.
const Crc32cKernels& crc32c_portable_kernels();
const Crc32cKernels& crc32c_sse42_kernels();

const Crc32cKernels& crc32c_kernels_for(Isa isa);
// `crc32c_kernels_for(isa_selected())`, chosen once.
const Crc32cKernels& crc32c_kernels();

inline std::uint32_t crc32c_extend(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  return ~crc32c_kernels().update(~crc, bytes.data(), bytes.size());
}

inline std::uint32_t crc32c(std::span<const std::uint8_t> bytes) { return crc32c_extend(0, bytes); }

}  // namespace varnel
