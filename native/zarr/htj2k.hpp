// varnel zarr: the htj2k chunk drivers.
//
// `encode_chunk` cuts an n-D chunk (native-endian elements, C order) into its
// trailing (y, x) planes, codes each as one lossless HTJ2K codestream and
// assembles the chunk container; `decode_chunk` reverses it, checking the
// container against the expected shape and every decoded sample against the
// element type.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/dtype.hpp"
#include "core/error.hpp"

namespace varnel::zarr {

struct Htj2kConfig {
  std::uint8_t xy_levels = 5;       // wavelet levels of every plane, 0..=32
  bool reversible = true;           // false is refused (lossless only)
  std::string progression = "RPCL"; // LRCP, RLCP, RPCL, PCRL or CPRL
  bool index = true;                // plane index in the container, PLT/TLM in each codestream

  // The SGcod progression order code (T.800 Table A.16) of `progression`.
  Result<std::uint8_t> progression_order() const;
};

Result<std::vector<std::uint8_t>> encode_chunk(std::span<const std::uint8_t> chunk,
                                               std::span<const std::uint64_t> shape,
                                               SampleType dtype, const Htj2kConfig& config);

Result<std::vector<std::uint8_t>> decode_chunk(std::span<const std::uint8_t> chunk,
                                               std::span<const std::uint64_t> shape,
                                               SampleType dtype);

}  // namespace varnel::zarr
