// The zfp fuzz input's element type: bits 0-2 of its first byte index the
// zfp codec's eight types in this order (the order the seeds and the kept
// regression inputs were written in).
#pragma once

#include <cstdint>

#include "core/dtype.hpp"

namespace varnel::fuzz {

inline constexpr ElementType kZfpInputTypes[8] = {ElementType::U8,  ElementType::I8,  ElementType::U16,
                                                  ElementType::I16, ElementType::I32, ElementType::I64,
                                                  ElementType::F32, ElementType::F64};

inline ElementType zfp_input_type(std::uint8_t b0) { return kZfpInputTypes[b0 & 7]; }

}  // namespace varnel::fuzz
