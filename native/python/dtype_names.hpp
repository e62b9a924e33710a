// varnel python: the messages refusing a dtype a codec does not code, shared
// by both modules' entry points. The names themselves are core/dtype.hpp's
// one table, which each codec filters to the types it codes
// (zarr::htj2k_element_type, zfpc::zfp_element_type).
#pragma once

namespace varnel::python {

inline constexpr const char* kHtj2kRejection = "htj2k has no integer path for dtype ";
inline constexpr const char* kZfpRejection = "zfp has no path for dtype ";

}  // namespace varnel::python
