// varnel python: the dtype names of the htj2k codec (the zfp codec's are
// zfpc::zfp_dtype_from_zarr_name), shared by both modules' entry points.
#pragma once

#include <optional>
#include <string_view>

#include "core/dtype.hpp"

namespace varnel::python {

// Exact, case-sensitive names: "uint8" "u1" "|u1", "int8" "i1" "|i1",
// "uint16" "u2" "<u2", "int16" "i2" "<i2", "uint32" "u4" "<u4", "int32" "i4"
// "<i4"; no big-endian or "=" forms, no "<" on the one-byte types, no "|"
// on the wider ones.
std::optional<SampleType> sample_type(std::string_view name);

inline constexpr const char* kHtj2kRejection = "htj2k has no integer path for dtype ";
inline constexpr const char* kZfpRejection = "zfp has no path for dtype ";

}  // namespace varnel::python
